// Fuzz target: raw bytes through the server's own request reader
// (HttpServer::handle_connection) over a socket pair, delivered in chunks.
//
// Input layout: the low three bits of byte 0 give k, the number of
// chunk-size bytes that follow; the rest is what the peer sends. Chunk sizes
// cycle through 1 + b*b/8 for those bytes b (1 to 8129 bytes); with k = 0
// everything goes in one write. The peer hands over one chunk at a time and
// waits until the reader has taken all of it, so each receive sees the
// chunk boundaries; after max_paced_chunks (each one a round trip between
// the threads) the rest goes in one write. Then it shuts down its sending
// side (end of input).
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http/http_server.h"

namespace tarn {

// Runs one connection the way the accept loop does: register, set the
// socket timeouts, handle_connection (which closes the socket).
struct HttpServerTestAccess {
    static void serve(HttpServer& server, socket_t s) {
        HttpServer::Connections::iterator connection;
        if (!server.admit(s, connection)) {
            close_socket(s);
            return;
        }
        set_receive_timeout(s, server.timeouts_.receive_ms);
        set_send_timeout(s, server.timeouts_.send_ms);
        server.handle_connection(connection);
    }
};

}  // namespace tarn

namespace {

// Chunks handed over one at a time; enough to split any header block of
// the seeds anywhere, few enough to keep a run short.
constexpr std::size_t max_paced_chunks = 128;
// Largest Content-Length the reader accepts.
constexpr std::size_t max_body_bytes = 4194304;
// The reader drops a connection once this much arrived without a blank line.
constexpr std::size_t header_limit_bytes = 65536;

// The input as delivered and what the handler saw of it; set per run.
std::string_view g_sent;
bool g_handler_called = false;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool has_c_space(const std::string& text) {
    for (char c : text) {
        if (is_c_space(c)) return true;
    }
    return false;
}

// Checks the request against the bytes that were sent.
tarn::HttpResponse check_request(const tarn::HttpRequest& request) {
    g_handler_called = true;
    const std::size_t marker = g_sent.find("\r\n\r\n");
    if (marker == std::string_view::npos) fail("handler called without a blank line", g_sent);
    if (marker + 4 > header_limit_bytes) fail("handler called past the header limit", g_sent);
    if (request.method.empty() || request.path.empty()) fail("empty method or path", request.method);
    if (has_c_space(request.method) || has_c_space(request.path)) fail("white space in method or path", request.path);
    const std::string_view block = g_sent.substr(0, marker);
    if (block.find(request.method) == std::string_view::npos || block.find(request.path) == std::string_view::npos) {
        fail("method or path not from the header block", request.path);
    }
    for (const auto& [name, value] : request.headers) {
        for (char c : name) {
            if (c >= 'A' && c <= 'Z') fail("header name not lower-cased", name);
            if (c == ':') fail("colon in header name", name);
        }
        if (!value.empty() && (value.front() == ' ' || value.front() == '\t')) fail("header value not trimmed", value);
        if (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
            fail("header value not trimmed", value);
        }
    }
    // The body is exactly the bytes after the blank line, up to the
    // announced length plus whatever came with the header block.
    const std::string_view rest = g_sent.substr(marker + 4);
    if (request.body.size() > rest.size()) fail("body longer than what was sent", request.body);
    if (rest.substr(0, request.body.size()) != request.body) fail("body differs from what was sent", request.body);
    if (request.body.size() > max_body_bytes + header_limit_bytes) fail("body beyond the limit", request.path);
    const auto length = request.headers.find("content-length");
    if (length == request.headers.end() && !request.body.empty()) fail("body without content-length", request.body);
    if (length != request.headers.end() && !length->second.empty() && length->second.size() <= 7 &&
        length->second.find_first_not_of("0123456789") == std::string::npos &&
        request.body.size() < std::stoul(length->second)) {
        fail("body shorter than its content-length", length->second);
    }
    tarn::HttpResponse response;
    response.body = "{\"ok\":true}";
    return response;
}

tarn::HttpServer& server() {
    // Never started and never destroyed: only its connection routine runs.
    static tarn::HttpServer* instance = [] {
        auto* s = new tarn::HttpServer("127.0.0.1", 0, check_request);
        tarn::HttpTimeouts timeouts;
        // The peer always ends its input, so no wait should come near these;
        // the header deadline stays below libFuzzer's 10 s run timeout.
        timeouts.receive_ms = 4000;
        timeouts.send_ms = 4000;
        timeouts.header_deadline_ms = 8000;
        s->set_timeouts(timeouts);
        return s;
    }();
    return *instance;
}

// Bytes sent on `s` and not yet read by its peer (Linux: SIOCOUTQ on a
// Unix-domain socket counts the queued buffers until the reader takes them).
int unread_bytes(int s) {
    int queued = 0;
    if (ioctl(s, SIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

// Sends `payload` on `s` in chunks of the given sizes, one at a time, then
// shuts down the sending side. Stops early when the reader is done.
void send_in_chunks(int s, std::string_view payload, const std::vector<std::size_t>& sizes,
                    const std::atomic<bool>& reader_done) {
    std::size_t next_size = 0;
    for (std::size_t paced = 0; !payload.empty() && !reader_done.load(); ++paced) {
        std::size_t chunk = payload.size();
        if (!sizes.empty() && paced < max_paced_chunks) {
            chunk = std::min(chunk, sizes[next_size]);
            next_size = (next_size + 1) % sizes.size();
        }
        for (std::size_t sent = 0; sent < chunk;) {
            const long n = tarn::send_some(s, payload.data() + sent, chunk - sent);
            if (n <= 0) {
                shutdown(s, SHUT_WR);
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
        payload.remove_prefix(chunk);
        while (!payload.empty() && !reader_done.load() && unread_bytes(s) > 0) std::this_thread::yield();
    }
    shutdown(s, SHUT_WR);
}

// The sending peer: one thread for the whole session (a thread per run
// would cost more than the run), handed one payload at a time.
class Peer {
public:
    Peer() : thread_([this] { loop(); }) { thread_.detach(); }

    // Starts sending `payload` on `s`; returns at once.
    void start(int s, std::string_view payload, const std::vector<std::size_t>& sizes) {
        std::lock_guard<std::mutex> lock(mutex_);
        socket_ = s;
        payload_ = payload;
        sizes_ = sizes;
        reader_done_ = false;
        busy_ = true;
        changed_.notify_all();
    }

    // Tells the peer that the reader has returned and waits until it has
    // stopped sending.
    void finish() {
        reader_done_ = true;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }

private:
    void loop() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return busy_; });
            lock.unlock();
            send_in_chunks(socket_, payload_, sizes_, reader_done_);
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false;  // guarded by mutex_
    int socket_ = -1;
    std::string_view payload_;
    std::vector<std::size_t> sizes_;
    std::atomic<bool> reader_done_{false};
    std::thread thread_;
};

Peer& peer() {
    static Peer* instance = new Peer;  // lives as long as the process
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t k = data[0] & 7u;
    if (k > size - 1) k = size - 1;
    std::vector<std::size_t> sizes;
    for (std::size_t i = 1; i <= k; ++i) sizes.push_back(1 + std::size_t{data[i]} * data[i] / 8);
    const std::string_view payload(reinterpret_cast<const char*>(data) + 1 + k, size - 1 - k);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fail("socketpair failed", "");
    const int server_end = pair[0];
    const int peer_end = pair[1];

    g_sent = payload;
    g_handler_called = false;
    peer().start(peer_end, payload, sizes);
    tarn::HttpServerTestAccess::serve(server(), server_end);
    peer().finish();

    // The reply, if any; the server end is closed by now.
    tarn::set_receive_timeout(peer_end, 1000);
    std::string reply;
    char buffer[4096];
    for (;;) {
        const long n = tarn::receive_some(peer_end, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    tarn::close_socket(peer_end);

    // A complete header block within the limit always gets a reply.
    const bool header_complete = payload.find("\r\n\r\n") != std::string_view::npos;
    if (header_complete && payload.size() < header_limit_bytes && reply.empty()) {
        fail("complete header block got no reply", payload);
    }
    const std::string_view status = std::string_view(reply).substr(0, 13);
    if (g_handler_called) {
        if (status != "HTTP/1.1 200 ") fail("handler's reply missing", reply);
    } else if (!reply.empty() && status != "HTTP/1.1 400 " && status != "HTTP/1.1 413 ") {
        fail("unexpected reply", reply);
    }
    return 0;
}
