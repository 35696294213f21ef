#pragma once

#include <boost/shared_ptr.hpp>

#include "common/CRwError.h"
#include "host/SnapHostExport.h"

// The process-wide job event sender. An event is a CRwError built by
// FXErrorUtil::ErrorEventMessage with its arguments streamed in.
// The default sender appends one JSON line per event to "events.jsonl" in the
// log directory: {"time":..,"id":"0x11000093","arguments":[..],"severity":..,
// "operation":"post"|"send"} and logs it.
class SNAPHOST_API ISendEventInterface {
public:
    virtual ~ISendEventInterface();

    static boost::shared_ptr<ISendEventInterface> GetInstance();
    // Replaces the process-wide sender (tests capture events); null restores the default.
    static void SetInstance(const boost::shared_ptr<ISendEventInterface>& sender);

    // Queued job event: severity and a reserved value (the client passes 6 and 0).
    virtual CRwError PostEvent(const CRwError& event, int severity, int reserved) = 0;
    // Immediate job event (the client passes 0 and 0).
    virtual CRwError SendEvent(const CRwError& event, int severity, int reserved) = 0;
};
