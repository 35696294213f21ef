// Failures: how a CRwError's code is encoded, what its detail holds and how it
// reads in a log line.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include <boost/make_shared.hpp>

#include "common/CRwError.h"
#include "common/FXString.h"
#include "host/FXErrorUtil.h"
#include "platform/string_format.h"

namespace {

uint32_t EncodeWin32(uint32_t code) {
    // The usual HRESULT form keeps small system numbers recognisable in hex.
    return code <= 0xFFFFu ? (0x80070000u | code) : (0x80000000u | code);
}

FXErrorPrivate::Frame MakeFrame(const FXCodeLocation& location, std::string message) {
    FXErrorPrivate::Frame frame;
    frame.file = location.file ? location.file : "";
    frame.function = location.function ? location.function : "";
    frame.line = location.line;
    frame.message = std::move(message);
    return frame;
}

CRwError MakeWin32(const FXCodeLocation& location, uint32_t code, std::string message) {
    CRwError error;
    error.code = EncodeWin32(code);
    auto detail = boost::make_shared<FXErrorPrivate>();
    detail->kind = FXErrorPrivate::Kind::Win32;
    detail->win32Code = code;
    detail->message = message;
    detail->trail.push_back(MakeFrame(location, std::move(message)));
    error.detail = detail;
    return error;
}

// A failure whose code was set by hand has no detail yet; give it one so that
// pushed locations are not lost.
FXErrorPrivate& EnsureDetail(CRwError& error) {
    if (!error.detail) {
        auto detail = boost::make_shared<FXErrorPrivate>();
        detail->kind = FXErrorPrivate::Kind::Win32;
        detail->win32Code = (error.code & 0xFFFF0000u) == 0x80070000u ? (error.code & 0xFFFFu)
                                                                      : (error.code & 0x7FFFFFFFu);
        error.detail = detail;
    }
    return *error.detail;
}

std::string RenderArgument(const boost::any& value) {
    if (const std::string* text = boost::any_cast<std::string>(&value)) return *text;
    if (const uint64_t* number = boost::any_cast<uint64_t>(&value)) return std::to_string(*number);
    return "?";
}

}  // namespace

CRwError::~CRwError() = default;

CRwError& CRwError::operator<<(const boost::any& value) {
    // A success carries no detail; arguments only make sense on an event failure.
    if (!IsError()) return *this;
    EnsureDetail(*this).arguments.push_back(value);
    return *this;
}

CRwError& CRwError::Push(const FXCodeLocation& location) {
    if (!IsError()) return *this;
    EnsureDetail(*this).trail.push_back(MakeFrame(location, std::string()));
    return *this;
}

CRwError& CRwError::Push(const FXCodeLocation& location, const char* format, ...) {
    if (!IsError()) return *this;
    va_list args;
    va_start(args, format);
    std::string message = snaphost::FormatV(format, args);
    va_end(args);
    EnsureDetail(*this).trail.push_back(MakeFrame(location, std::move(message)));
    return *this;
}

std::string CRwError::AsString() const {
    if (!IsError()) return "Success";
    std::string text;
    const FXErrorPrivate* d = detail.get();
    if (d == nullptr) return FXString::Format("error (0x%08X)", code);

    if (d->kind == FXErrorPrivate::Kind::EventMessage) {
        text = FXString::Format("event 0x%08X (0x%08X)", static_cast<uint32_t>(d->eventId), code);
    } else {
        text = FXString::Format("error %" PRIu32 " (0x%08X)", d->win32Code, code);
    }
    if (!d->message.empty()) text += ": " + d->message;
    if (!d->arguments.empty()) {
        text += " | args [";
        for (size_t i = 0; i < d->arguments.size(); ++i) {
            if (i != 0) text += ", ";
            text += RenderArgument(d->arguments[i]);
        }
        text += "]";
    }
    for (size_t i = 0; i < d->trail.size(); ++i) {
        const FXErrorPrivate::Frame& frame = d->trail[i];
        text += i == 0 ? " | at " : " <- ";
        text += frame.function + " (" + frame.file + ":" + std::to_string(frame.line) + ")";
        if (!frame.message.empty()) text += ": " + frame.message;
    }
    return text;
}

namespace FXErrorUtil {

std::string MessagesOf(const CRwError& error) {
    if (!error.IsError() || !error.detail) return std::string();
    const FXErrorPrivate* d = error.detail.get();
    std::string text;
    for (auto frame = d->trail.rbegin(); frame != d->trail.rend(); ++frame) {
        if (frame->message.empty()) continue;
        if (!text.empty()) text += ": ";
        text += frame->message;
    }
    if (!d->message.empty()) text += (text.empty() ? "" : ": ") + d->message;
    return text;
}

}  // namespace FXErrorUtil

namespace FXErrorUtil {

CRwError ErrorWin32(const FXCodeLocation& location, uint32_t code) {
    return MakeWin32(location, code, std::string());
}

CRwError ErrorWin32(const FXCodeLocation& location, uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = snaphost::FormatV(format, args);
    va_end(args);
    return MakeWin32(location, code, std::move(message));
}

CRwError ErrorEventMessage(const FXCodeLocation& location, int32_t id) {
    CRwError error;
    error.code = 0x80000000u | static_cast<uint32_t>(id);
    auto detail = boost::make_shared<FXErrorPrivate>();
    detail->kind = FXErrorPrivate::Kind::EventMessage;
    detail->eventId = id;
    detail->trail.push_back(MakeFrame(location, std::string()));
    error.detail = detail;
    return error;
}

uint32_t Win32CodeOf(const CRwError& error) {
    const FXErrorPrivate* d = error.Detail();
    if (!error.IsError() || d == nullptr || d->kind != FXErrorPrivate::Kind::Win32) return 0;
    return d->win32Code;
}

int32_t EventIdOf(const CRwError& error) {
    const FXErrorPrivate* d = error.Detail();
    if (!error.IsError() || d == nullptr || d->kind != FXErrorPrivate::Kind::EventMessage) return 0;
    return d->eventId;
}

std::string MessageOf(const CRwError& error) {
    const FXErrorPrivate* d = error.Detail();
    if (!error.IsError() || d == nullptr) return std::string();
    return d->message;
}

}  // namespace FXErrorUtil
