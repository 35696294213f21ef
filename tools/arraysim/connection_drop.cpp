#include "tools/arraysim/connection_drop.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace arraysim {

namespace {

bool AddressOf(const sockaddr_storage& ss, std::string& addr, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    addr = text;
    return true;
}

// Accepted sockets on localPort: (fd, peer address, peer port).
struct Peer {
    int fd;
    std::string addr;
    int port;
};

std::vector<Peer> AcceptedSockets(int localPort) {
    std::vector<Peer> out;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return out;
    std::vector<int> fds;
    while (struct dirent* d = readdir(dir)) {
        if (d->d_name[0] >= '0' && d->d_name[0] <= '9') fds.push_back(std::atoi(d->d_name));
    }
    closedir(dir);
    for (int fd : fds) {
        sockaddr_storage local{}, peer{};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) continue;
        std::string addr;
        int port = 0;
        if (!AddressOf(local, addr, port) || port != localPort) continue;
        len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;  // listener
        Peer p{fd, "", 0};
        if (AddressOf(peer, p.addr, p.port)) out.push_back(p);
    }
    return out;
}

}  // namespace

bool ShutdownConnection(int localPort, const std::string& remoteAddr, int remotePort) {
    for (const auto& p : AcceptedSockets(localPort)) {
        if (p.port == remotePort && p.addr == remoteAddr) {
            shutdown(p.fd, SHUT_RDWR);
            return true;
        }
    }
    return false;
}

void ShutdownAllConnections(int localPort) {
    for (const auto& p : AcceptedSockets(localPort)) shutdown(p.fd, SHUT_RDWR);
}

}  // namespace arraysim
