#pragma once

#include <cstdint>
#include <string>

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>

#include "common/FXCodeLocation.h"
#include "host/SnapHostExport.h"

struct FXErrorPrivate;

// The result of every operation. A failure exactly when bit 31 of `code` is set;
// copies share one detail object, so arguments streamed into one copy show in all.
// The inline part lives here; building failures, pushing locations, rendering and
// the destructor belong to the host (platform/error).
class SNAPHOST_API CRwError {
public:
    CRwError() : code(0) {}
    CRwError(const CRwError& other) : code(other.code), detail(other.detail) {}
    ~CRwError();

    CRwError& operator=(const CRwError& other) {
        code = other.code;
        detail = other.detail;
        return *this;
    }

    static CRwError Success() { return CRwError(); }

    bool IsError() const { return (code & 0x80000000u) != 0; }

    // Adds one argument for the placeholders of an event message. A null text
    // adds an empty string, never nothing.
    CRwError& operator<<(const char* text) {
        return *this << boost::any(std::string(text ? text : ""));
    }
    // Appends one argument: a std::string or an unsigned 64-bit number (other
    // types are kept but shown as "?"). Ignored on a success, which has no detail.
    CRwError& operator<<(const boost::any& value);

    // Adds a location (and a printf-style message) to the trail of a failure and
    // returns the same object. A no-op on a success.
    CRwError& Push(const FXCodeLocation& location);
    CRwError& Push(const FXCodeLocation& location, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Readable text of a failure: code, message, event id with its arguments and
    // the trail of pushed locations. "Success" for a success.
    std::string AsString() const;

    // Read access to the details, for hosts and tests (null for a success).
    const FXErrorPrivate* Detail() const { return detail.get(); }

    uint32_t code;
    boost::shared_ptr<FXErrorPrivate> detail;
};
