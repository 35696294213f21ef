#pragma once

// Symbols that the agent process (here: libsnaphost.so) provides to the plug-in.
// The plug-in is built with hidden visibility, so everything it imports from the
// host must be declared with default visibility, or the link would bind it locally.
#define SNAPHOST_API __attribute__((visibility("default")))
