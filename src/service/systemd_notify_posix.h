// The sender side of systemd's notify protocol (sd_notify), spoken directly:
// one datagram per state change to the socket named by NOTIFY_SOCKET.
#pragma once

#include <string>

namespace tarn {

class NotifySocket {
public:
    // Opens a datagram socket for `address` (a path, or "@name" for an
    // abstract socket); an address it cannot use makes every send fail.
    explicit NotifySocket(const std::string& address);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Sends `message` ("READY=1\nSTATUS=...") as one datagram. A datagram
    // that cannot be sent is dropped: the service carries on either way.
    void send(const std::string& message) const;

private:
    int fd_ = -1;
    std::string address_;
};

}  // namespace tarn
