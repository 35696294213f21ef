#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/any.hpp>

#include "common/CRwError.h"
#include "common/FXCodeLocation.h"
#include "host/SnapHostExport.h"

// The details behind a failed CRwError.
struct SNAPHOST_API FXErrorPrivate {
    enum class Kind { Win32, EventMessage };

    struct Frame {
        std::string file;
        std::string function;
        int line = 0;
        std::string message;  // empty when the frame was pushed without one
    };

    Kind kind = Kind::Win32;
    uint32_t win32Code = 0;             // Kind::Win32: the system error number given
    int32_t eventId = 0;                // Kind::EventMessage: the event message id given
    std::string message;                // the failure's own message (may be empty)
    std::vector<boost::any> arguments;  // std::string or uint64_t, in placeholder order
    std::vector<Frame> trail;           // the creating location first, then each Push
};

// Builds failures. Every result built here has bit 31 of its code set.
// Win32 codes are encoded as 0x80070000 | code for codes up to 0xFFFF (the usual
// HRESULT form), otherwise as 0x80000000 | code; an event message id as
// 0x80000000 | id. The detail keeps the number as given, so nothing is lost.
namespace FXErrorUtil {

SNAPHOST_API CRwError ErrorWin32(const FXCodeLocation& location, uint32_t code);
SNAPHOST_API CRwError ErrorWin32(const FXCodeLocation& location, uint32_t code, const char* format,
                                 ...) __attribute__((format(printf, 3, 4)));
SNAPHOST_API CRwError ErrorEventMessage(const FXCodeLocation& location, int32_t id);

// The system error number of a failure built by ErrorWin32, 0 otherwise.
SNAPHOST_API uint32_t Win32CodeOf(const CRwError& error);
// The event message id of a failure built by ErrorEventMessage, 0 otherwise.
SNAPHOST_API int32_t EventIdOf(const CRwError& error);
// The failure's own message (the one it was built with), empty for a success.
SNAPHOST_API std::string MessageOf(const CRwError& error);
// Every message of the failure without the source locations: the outermost
// one pushed by a caller first, its own message last, joined by ": ". What an
// operator reads; AsString adds the trail for a developer.
SNAPHOST_API std::string MessagesOf(const CRwError& error);

}  // namespace FXErrorUtil
