#include "host/CFileServerSnapClientBase.h"

// The interface's one out-of-line member, so that its vtable and type information
// live here, in the host library, for every plug-in loaded with dlopen.
CFileServerSnapClientBase::~CFileServerSnapClientBase() = default;
