// The default job event sender: one JSON line per event in events.jsonl, and a
// log line, so that a job's events can be read back by tools and people alike.
#include "host/ISendEventInterface.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include "common/FXString.h"
#include "common/PrivateFiles.h"
#include "host/FXErrorUtil.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"

namespace {

std::string UtcTimestamp() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000L);
    return text;
}

nlohmann::json ArgumentsOf(const FXErrorPrivate* detail) {
    nlohmann::json arguments = nlohmann::json::array();
    if (detail == nullptr) return arguments;
    for (const boost::any& value : detail->arguments) {
        if (const std::string* text = boost::any_cast<std::string>(&value)) {
            arguments.push_back(*text);
        } else if (const uint64_t* number = boost::any_cast<uint64_t>(&value)) {
            arguments.push_back(*number);
        } else {
            arguments.push_back("?");
        }
    }
    return arguments;
}

class CFileEventSender : public ISendEventInterface {
public:
    CRwError PostEvent(const CRwError& event, int severity, int /*reserved*/) override {
        return Record(event, severity, "post");
    }
    CRwError SendEvent(const CRwError& event, int severity, int /*reserved*/) override {
        return Record(event, severity, "send");
    }

private:
    CRwError Record(const CRwError& event, int severity, const char* operation) {
        const int32_t eventId = FXErrorUtil::EventIdOf(event);
        // An event that is not an event message still gets an id: its code.
        const uint32_t id = eventId != 0 ? static_cast<uint32_t>(eventId) : event.code;
        nlohmann::json line;
        line["time"] = UtcTimestamp();
        line["id"] = FXString::Format("0x%08X", id);
        line["arguments"] = ArgumentsOf(event.Detail());
        line["severity"] = severity;
        line["operation"] = operation;
        const std::string message = FXErrorUtil::MessageOf(event);
        if (!message.empty()) line["message"] = message;
        // Arguments are byte strings (paths); bytes that are not UTF-8 are
        // replaced rather than losing the whole event.
        const std::string text =
            line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

        SNAP_LOG(0, "Event %s (%s, severity %d): %s", FXString::Format("0x%08X", id).c_str(),
                 operation, severity,
                 line["arguments"]
                     .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                     .c_str());

        const std::string directory = HostConfig::LogDir();
        const std::string path = directory + "/events.jsonl";
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string ignored;
        privatefiles::MakeDirectories(directory, ignored);
        const std::string record = text + '\n';
        const int fd = privatefiles::OpenPrivate(path, O_WRONLY | O_APPEND);
        bool written = fd >= 0 && write(fd, record.data(), record.size()) ==
                                      static_cast<ssize_t>(record.size());
        if (fd >= 0 && close(fd) != 0) written = false;
        if (!written) {
            SNAP_LOG(-1, "Event %s cannot be written to [%s]",
                     FXString::Format("0x%08X", id).c_str(), path.c_str());
            return FXErrorUtil::ErrorWin32(FX_HERE, 1627, "Cannot write event file [%s]",
                                           path.c_str());
        }
        return CRwError::Success();
    }

    std::mutex m_mutex;
};

std::mutex g_senderMutex;
boost::shared_ptr<ISendEventInterface> g_sender;

}  // namespace

ISendEventInterface::~ISendEventInterface() = default;

boost::shared_ptr<ISendEventInterface> ISendEventInterface::GetInstance() {
    std::lock_guard<std::mutex> lock(g_senderMutex);
    if (!g_sender) g_sender = boost::make_shared<CFileEventSender>();
    return g_sender;
}

void ISendEventInterface::SetInstance(const boost::shared_ptr<ISendEventInterface>& sender) {
    std::lock_guard<std::mutex> lock(g_senderMutex);
    g_sender = sender;  // null: the default is made again at the next GetInstance
}
