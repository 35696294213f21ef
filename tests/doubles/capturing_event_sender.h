#pragma once

// An event sender that records every event instead of delivering it, installed
// with ISendEventInterface::SetInstance for its own lifetime (the default
// sender comes back afterwards).

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "common/CRwError.h"
#include "host/ISendEventInterface.h"

namespace snapscan_test {

// One argument of an event message: a text or an unsigned 64-bit number.
using EventArg = std::variant<std::string, uint64_t>;

struct RecordedEvent {
    std::string operation;  // "post" or "send"
    int32_t eventId = 0;    // FXErrorUtil::EventIdOf
    std::vector<EventArg> arguments;
    int severity = 0;
    int reserved = 0;
    CRwError event;  // the event itself
};

class CapturingEventSender {
public:
    CapturingEventSender();
    ~CapturingEventSender();

    CapturingEventSender(const CapturingEventSender&) = delete;
    CapturingEventSender& operator=(const CapturingEventSender&) = delete;

    std::vector<RecordedEvent> Events() const;
    void Clear();

    class Sender;

private:
    boost::shared_ptr<Sender> m_sender;
};

// Arguments of text only, as a vector of strings, for short assertions.
std::vector<EventArg> TextArgs(const std::vector<std::string>& texts);

}  // namespace snapscan_test
