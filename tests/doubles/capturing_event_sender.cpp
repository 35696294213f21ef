#include "tests/doubles/capturing_event_sender.h"

#include <mutex>

#include <boost/any.hpp>
#include <boost/make_shared.hpp>

#include "host/FXErrorUtil.h"

namespace snapscan_test {

class CapturingEventSender::Sender : public ISendEventInterface {
public:
    CRwError PostEvent(const CRwError& event, int severity, int reserved) override {
        Record("post", event, severity, reserved);
        return CRwError::Success();
    }
    CRwError SendEvent(const CRwError& event, int severity, int reserved) override {
        Record("send", event, severity, reserved);
        return CRwError::Success();
    }

    void Record(const char* operation, const CRwError& event, int severity, int reserved) {
        RecordedEvent recorded;
        recorded.operation = operation;
        recorded.eventId = FXErrorUtil::EventIdOf(event);
        if (const FXErrorPrivate* detail = event.Detail()) {
            for (const boost::any& argument : detail->arguments) {
                if (const std::string* text = boost::any_cast<std::string>(&argument))
                    recorded.arguments.emplace_back(*text);
                else if (const uint64_t* number = boost::any_cast<uint64_t>(&argument))
                    recorded.arguments.emplace_back(*number);
                else
                    recorded.arguments.emplace_back(std::string("<unexpected argument type>"));
            }
        }
        recorded.severity = severity;
        recorded.reserved = reserved;
        recorded.event = event;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(recorded));
    }

    mutable std::mutex m_mutex;
    std::vector<RecordedEvent> m_events;
};

CapturingEventSender::CapturingEventSender() : m_sender(boost::make_shared<Sender>()) {
    ISendEventInterface::SetInstance(m_sender);
}

CapturingEventSender::~CapturingEventSender() {
    ISendEventInterface::SetInstance(boost::shared_ptr<ISendEventInterface>());
}

std::vector<RecordedEvent> CapturingEventSender::Events() const {
    std::lock_guard<std::mutex> lock(m_sender->m_mutex);
    return m_sender->m_events;
}

void CapturingEventSender::Clear() {
    std::lock_guard<std::mutex> lock(m_sender->m_mutex);
    m_sender->m_events.clear();
}

std::vector<EventArg> TextArgs(const std::vector<std::string>& texts) {
    return std::vector<EventArg>(texts.begin(), texts.end());
}

}  // namespace snapscan_test
