// The lingering closer's thread: waits on many sockets at once and drops
// what arrives until each one may be closed.
#include "http/lingering_close.h"

#include <algorithm>
#include <vector>

namespace tarn {
namespace {

// Longest single wait, so that a socket handed over meanwhile is looked at soon.
constexpr int poll_slice_ms = 50;

}  // namespace

LingeringCloser::~LingeringCloser() { stop(); }

void LingeringCloser::start(const Limits& limits) {
    std::lock_guard<std::mutex> lock(mutex_);
    limits_ = limits;
    thread_ = std::thread([this] { run(); });
    running_ = true;
}

void LingeringCloser::close(Socket socket) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || stopping_ || lingering_.size() >= limits_.max_sockets) return;  // `socket` closes here
    shutdown_send(socket.get());
    try {
        lingering_.push_back(Lingering{std::move(socket), Clock::now() + std::chrono::milliseconds(limits_.linger_ms)});
    } catch (const std::bad_alloc&) {
        return;  // no memory for the entry: the socket closes at once
    }
    arrived_.notify_one();
}

void LingeringCloser::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        arrived_.notify_one();
    }
    // The thread ends only once every socket is closed.
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

void LingeringCloser::run() {
    std::vector<socket_t> sockets;
    std::vector<bool> readable;
    char scratch[16384];
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        arrived_.wait(lock, [this] { return stopping_ || !lingering_.empty(); });
        if (lingering_.empty()) return;  // stopping, and nothing left to wait for

        // Only this thread removes entries, so the sockets stay valid while
        // the lock is released for the wait.
        try {
            sockets.assign(lingering_.size(), invalid_socket);
        } catch (const std::bad_alloc&) {
            lingering_.clear();  // no memory to wait on them: every one closes at once
            continue;
        }
        std::size_t k = 0;
        for (const Lingering& entry : lingering_) sockets[k++] = entry.socket.get();
        lock.unlock();
        bool waited = false;
        try {
            waited = wait_readable(sockets, readable, poll_slice_ms);
        } catch (const std::bad_alloc&) {}
        // Nothing known this round: only deadlines count, after a pause.
        if (!waited) std::this_thread::sleep_for(std::chrono::milliseconds(poll_slice_ms));
        lock.lock();
        if (!waited) readable.clear();

        const Clock::time_point now = Clock::now();
        std::size_t i = 0;
        for (auto it = lingering_.begin(); it != lingering_.end(); ++i) {
            const bool has_data = i < readable.size() && readable[i];
            // Once stopping, a client that sent nothing for a whole slice is
            // not waited for: nothing unread is left to turn the close into a
            // reset.
            bool done = now >= it->deadline || (stopping_ && i < readable.size() && !has_data);
            if (!done && has_data) {
                const std::size_t want = std::min(sizeof scratch, limits_.drop_bytes - it->dropped);
                const long n = receive_some(it->socket.get(), scratch, want);
                if (n > 0) it->dropped += static_cast<std::size_t>(n);
                done = n <= 0 || it->dropped >= limits_.drop_bytes;
            }
            it = done ? lingering_.erase(it) : std::next(it);
        }
    }
}

}  // namespace tarn
