// The listener, its accept thread, and the bookkeeping of connection threads.
#include "http/http_server.h"

#include <exception>
#include <utility>

#include "log/log.h"

namespace tarn {
namespace {

// Pause after an accept failure that does not end the loop, so that a
// persistent failure (out of descriptors, say) does not spin the thread.
constexpr auto accept_retry_pause = std::chrono::milliseconds(50);

// Stack of a connection thread: 1 MiB, the usual Windows default, which the
// request path (JSON parsing with its depth cap, the database driver) fits
// in. The glibc default of 8 MiB makes thread start-up markedly slower,
// since fewer freed stacks stay cached for reuse.
constexpr std::size_t connection_stack_bytes = std::size_t{1} << 20;

}  // namespace

HttpServer::HttpServer(std::string bind_addr, std::uint16_t bind_port, HttpHandler handler)
    : bind_addr_(std::move(bind_addr)), bind_port_(bind_port), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::set_timeouts(const HttpTimeouts& timeouts) { timeouts_ = timeouts; }

std::size_t HttpServer::live_connections() const {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    return connections_.size();
}

bool HttpServer::start() {
    if (!socket_library_startup()) {
        Log::write(LogLevel::Error, "http: WSAStartup failed");
        return false;
    }
    winsock_started_ = true;

    const socket_t s = open_tcp_socket();
    bool ok = false;
    if (s == invalid_socket) {
        Log::write(LogLevel::Error, "http: socket() failed: %d", last_socket_error());
    } else {
        set_listen_address_options(s);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(bind_port_);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!bind_addr_.empty() && bind_addr_ != "0.0.0.0" && !parse_ipv4(bind_addr_, address.sin_addr)) {
            Log::write(LogLevel::Error, "http: bad bind_addr %s", bind_addr_.c_str());
        } else if (!bind_ipv4(s, address)) {
            Log::write(LogLevel::Error, "http: bind %s:%u failed: %d", bind_addr_.c_str(), unsigned{bind_port_},
                       last_socket_error());
        } else if (!listen_max(s)) {
            Log::write(LogLevel::Error, "http: listen failed: %d", last_socket_error());
        } else {
            ok = true;
        }
        if (!ok) close_socket(s);
    }
    if (!ok) {
        socket_library_cleanup();
        winsock_started_ = false;
        return false;
    }

    listen_socket_ = s;
    bound_port_ = local_port(s);
    Log::write(LogLevel::Info, "http: listening on %s:%u", bind_addr_.c_str(), unsigned{bind_port_});
    accept_thread_ = std::thread([this] { accept_loop(); });
    return true;
}

void HttpServer::stop() {
    if (stopping_.exchange(true)) return;

    // The accept thread reads listen_socket_ until it is joined; it is reset
    // only afterwards.
    bool listener_closed = false;
    if (listen_socket_ != invalid_socket) listener_closed = stop_listening(listen_socket_);
    if (accept_thread_.joinable()) accept_thread_.join();
    if (listen_socket_ != invalid_socket) {
        if (!listener_closed) close_socket(listen_socket_);
        listen_socket_ = invalid_socket;
    }

    // Every accepted connection is registered by now (the accept thread
    // registers before it starts a connection thread, and it has ended).
    cut_off_connections();

    if (winsock_started_) {
        socket_library_cleanup();
        winsock_started_ = false;
    }
    Log::write(LogLevel::Info, "http: stopped");
}

void HttpServer::accept_loop() {
    for (;;) {
        if (stopping_.load()) return;
        const socket_t s = accept_connection(listen_socket_);
        if (s == invalid_socket) {
            const int code = last_socket_error();
            if (stopping_.load() || accept_error_ends_loop(code)) return;
            Log::write(LogLevel::Warn, "http: accept failed: %d", code);
            std::this_thread::sleep_for(accept_retry_pause);
            continue;
        }

        Connections::iterator connection;
        if (!admit(s, connection)) {
            reply_busy(s);
            continue;
        }
        set_receive_timeout(s, timeouts_.receive_ms);
        set_send_timeout(s, timeouts_.send_ms);
        std::string error;
        bool started = false;
        try {
            started = start_detached_thread([this, connection] { handle_connection(connection); },
                                            connection_stack_bytes, error);
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!started) {
            Log::write(LogLevel::Warn, "http: cannot start a connection thread: %s", error.c_str());
            finish_connection(connection);
        }
    }
}

bool HttpServer::admit(socket_t s, Connections::iterator& connection) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    if (connections_.size() >= max_connections) return false;
    busy_logged_ = false;
    connection = connections_.emplace(connections_.end(), s, Clock::now());
    return true;
}

void HttpServer::reply_busy(socket_t s) {
    if (!busy_logged_) {
        Log::write(LogLevel::Warn, "http: %u connections open, refusing more with 503",
                   static_cast<unsigned>(max_connections));
        busy_logged_ = true;
    }
    HttpResponse response;
    response.status = 503;
    response.body = "{\"error\":\"server busy\"}";
    set_send_timeout(s, timeouts_.busy_send_ms);
    write_response(s, response);
    close_socket(s);
}

void HttpServer::enter_handler(Connections::iterator connection) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    connection->in_handler = true;
}

void HttpServer::finish_connection(Connections::iterator connection) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    close_socket(connection->socket);
    connections_.erase(connection);
    if (connections_.empty()) connections_changed_.notify_all();
    // Unlocking the mutex is the last access to the server: stop() may
    // return, and the server be destroyed, as soon as it is released.
}

void HttpServer::cut_off_connections() {
    std::unique_lock<std::mutex> lock(connections_mutex_);
    for (Connection& connection : connections_) {
        if (connection.in_handler) continue;
        connection.cut_off = true;
        shutdown_receive(connection.socket);
    }
    connections_changed_.wait(lock, [this] { return connections_.empty(); });
}

}  // namespace tarn
