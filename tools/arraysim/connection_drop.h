// Closing the connection a request came in on, for the "drop" fault: the HTTP library does not
// hand its sockets to handlers, so the socket is found by its addresses.
#pragma once

#include <string>

namespace arraysim {

// Shuts down (both ways) the open socket whose local port is `localPort` and whose peer is
// remoteAddr:remotePort. Returns false when no such socket is open.
bool ShutdownConnection(int localPort, const std::string& remoteAddr, int remotePort);

// Shuts down every accepted connection on `localPort`, so a stopping server need not wait for
// idle keep-alive clients.
void ShutdownAllConnections(int localPort);

}  // namespace arraysim
