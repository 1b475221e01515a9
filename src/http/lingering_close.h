// Closing a connection after an early reply without losing the reply: the
// sending side is shut down, what the client still sends is read and
// dropped for a while, and only then is the socket closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

#include "http/socket.h"

namespace tarn {

// Closing a socket whose client is still sending (a body the server did not
// want) makes the system answer with a reset, which can throw away the reply
// before the client reads it. One thread of its own lingers over every
// such socket, so that no connection thread or connection slot waits for
// it.
class LingeringCloser {
public:
    struct Limits {
        int linger_ms;            // longest wait for the client to finish
        std::size_t drop_bytes;   // most bytes read and dropped per socket
        std::size_t max_sockets;  // more than this lingering at once: closed at once
    };

    LingeringCloser() = default;
    // Calls stop().
    ~LingeringCloser();
    LingeringCloser(const LingeringCloser&) = delete;
    LingeringCloser& operator=(const LingeringCloser&) = delete;

    // Starts the thread with `limits`. Throws std::system_error when it
    // cannot be created. Called once, before the first close().
    void start(const Limits& limits);

    // Takes `socket`, whose reply has been sent: shuts down its sending side,
    // and closes it once the client has closed its side, has sent
    // limits.drop_bytes, or limits.linger_ms have passed. Returns at once.
    // Without a running thread, or with max_sockets lingering already, the
    // socket is closed at once. Any thread.
    void close(Socket socket) noexcept;

    // Lets every lingering socket whose client is still sending run out its
    // time, closes the others at once, and ends the thread. Idempotent. Call
    // from the thread that called start().
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    struct Lingering {
        Socket socket;
        Clock::time_point deadline;
        std::size_t dropped = 0;
    };

    void run();

    Limits limits_{};  // written by start() only
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::list<Lingering> lingering_;  // guarded by mutex_
    bool running_ = false;            // guarded by mutex_
    bool stopping_ = false;           // guarded by mutex_
    std::thread thread_;
};

}  // namespace tarn
