// The socket calls that read the same on Winsock and POSIX sockets.
#include "http/socket.h"

namespace tarn {

socket_t open_tcp_socket() { return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

bool parse_ipv4(const std::string& text, in_addr& address) { return ::inet_pton(AF_INET, text.c_str(), &address) == 1; }

bool bind_ipv4(socket_t s, const sockaddr_in& address) {
    return ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// SOMAXCONN: the largest backlog the platform offers.
bool listen_max(socket_t s) { return ::listen(s, SOMAXCONN) == 0; }

std::uint16_t local_port(socket_t s) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace tarn
