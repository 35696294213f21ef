#pragma once

// How a share's path on the array is derived from the texts that name it: the
// mount source of its NFS mount ("host:/path") and the scan path the agent
// lists. The array stores paths with single delimiters, so the derived export
// path must have them too, or the snapshot's path never matches it again.

#include <string>

namespace snapclient {

// The path part of a mount source with runs of "/" folded into one. A source
// whose host is a bracketed IPv6 address ("[fd00::1]:/ifs/a") is split after
// the "]:"; any other after its first ":", and one without ":" is taken whole.
std::string ExportPathOfMountSource(const std::string& source);

// The path with every run of "/" folded into one; a trailing "/" stays.
std::string FoldRepeatedDelimiters(const std::string& path);

// True when one of the path's "/"-separated components is "." or "..": such a
// path can name another share's directory than the one it seems to be below.
bool HasDotComponent(const std::string& path);

}  // namespace snapclient
