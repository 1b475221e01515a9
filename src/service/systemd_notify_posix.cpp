// systemd's notify protocol: datagrams to the socket named by NOTIFY_SOCKET.
#include "service/systemd_notify_posix.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace tarn {

NotifySocket::NotifySocket(const std::string& address) : address_(address) {
    if (address_.empty() || address_.size() >= sizeof(sockaddr_un::sun_path)) return;
    if (address_[0] != '/' && address_[0] != '@') return;
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

NotifySocket::~NotifySocket() {
    if (fd_ != -1) ::close(fd_);
}

void NotifySocket::send(const std::string& message) const {
    if (fd_ == -1) return;
    sockaddr_un target{};
    target.sun_family = AF_UNIX;
    std::memcpy(target.sun_path, address_.data(), address_.size());
    // "@name" names a socket in the abstract namespace: a leading NUL byte.
    if (address_[0] == '@') target.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    // A datagram that does not go out is lost: the service carries on.
    ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target), length);
}

}  // namespace tarn
