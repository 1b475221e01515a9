// The listener, its accept thread, and the bookkeeping of connection threads.
#include "http/http_server.h"

#include <exception>
#include <utility>

#include "http/thread_start.h"
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

// A lingering client may send at most a whole request before it is cut off.
constexpr std::size_t linger_drop_bytes = http_max_body_bytes + http_header_limit_bytes;
// Sockets lingering at once; more are closed at once.
constexpr std::size_t max_lingering_sockets = 1024;

std::string ipv4_text(std::uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &in, text, sizeof text) != nullptr ? text : "?";
}

}  // namespace

HttpServer::HttpServer(std::string bind_addr, std::uint16_t bind_port, HttpHandler handler, HttpHeadCheck check_head)
    : bind_addr_(std::move(bind_addr)),
      bind_port_(bind_port),
      handler_(std::move(handler)),
      check_head_(std::move(check_head)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::set_timeouts(const HttpTimeouts& timeouts) { timeouts_ = timeouts; }

void HttpServer::set_body_budget(std::size_t bytes) { body_budget_ = std::make_unique<BodyBudget>(bytes); }

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

    Socket s(open_tcp_socket());
    // On a failure the socket is closed before the socket library is released.
    const auto fail = [&s, this] {
        s.reset();
        socket_library_cleanup();
        winsock_started_ = false;
        return false;
    };
    if (!s.valid()) {
        Log::write(LogLevel::Error, "http: socket() failed: %d", last_socket_error());
        return fail();
    }
    set_listen_address_options(s.get());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(bind_port_);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bind_addr_.empty() && bind_addr_ != "0.0.0.0" && !parse_ipv4(bind_addr_, address.sin_addr)) {
        Log::write(LogLevel::Error, "http: bad bind_addr %s", bind_addr_.c_str());
        return fail();
    }
    if (!bind_ipv4(s.get(), address)) {
        Log::write(LogLevel::Error, "http: bind %s:%u failed: %d", bind_addr_.c_str(), unsigned{bind_port_},
                   last_socket_error());
        return fail();
    }
    if (!listen_max(s.get())) {
        Log::write(LogLevel::Error, "http: listen failed: %d", last_socket_error());
        return fail();
    }

    bound_port_ = local_port(s.get());
    // The accept thread reads listen_socket_ from its first step on.
    listen_socket_ = std::move(s);
    try {
        closer_.start({timeouts_.linger_ms, linger_drop_bytes, max_lingering_sockets});
        accept_thread_ = std::thread([this] { accept_loop(); });
    } catch (const std::exception& e) {
        Log::write(LogLevel::Error, "http: cannot start the server's threads: %s", e.what());
        closer_.stop();
        s = std::move(listen_socket_);
        return fail();
    }
    Log::write(LogLevel::Info, "http: listening on %s:%u", bind_addr_.c_str(), unsigned{bind_port_});
    return true;
}

void HttpServer::stop() {
    if (stopping_.exchange(true)) return;

    // The accept thread reads listen_socket_ until it is joined; it is reset
    // only afterwards.
    bool listener_closed = false;
    if (listen_socket_.valid()) listener_closed = stop_listening(listen_socket_.get());
    if (accept_thread_.joinable()) accept_thread_.join();
    if (listener_closed) listen_socket_.release();
    listen_socket_.reset();

    // Every accepted connection is registered by now (the accept thread
    // registers before it starts a connection thread, and it has ended).
    cut_off_connections();
    closer_.stop();

    if (winsock_started_) {
        socket_library_cleanup();
        winsock_started_ = false;
    }
    Log::write(LogLevel::Info, "http: stopped");
}

void HttpServer::accept_loop() {
    for (;;) {
        if (stopping_.load()) return;
        std::uint32_t peer = 0;
        Socket s(accept_connection(listen_socket_.get(), peer));
        if (!s.valid()) {
            const int code = last_socket_error();
            if (stopping_.load() || accept_error_ends_loop(code)) return;
            Log::write(LogLevel::Warn, "http: accept failed: %d", code);
            std::this_thread::sleep_for(accept_retry_pause);
            continue;
        }

        // Memory can run out here too: that connection is refused (or, once
        // registered, unregistered), and accepting goes on.
        Connections::iterator connection;
        try {
            const Admission admission = admit(s, peer, connection);
            if (admission != Admission::admitted) {
                reply_busy(std::move(s), admission, peer);
                continue;
            }
        } catch (const std::exception& e) {
            Log::write(LogLevel::Warn, "http: cannot take a connection: %s", e.what());
            continue;
        }
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
            finish_connection(connection, false);
        }
    }
}

HttpServer::Admission HttpServer::admit(Socket& s, std::uint32_t peer, Connections::iterator& connection) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    if (connections_.size() >= max_connections) return Admission::server_busy;
    std::size_t& from_peer = peer_connections_[peer];
    if (from_peer >= max_connections_per_peer) return Admission::peer_busy;
    set_receive_timeout(s.get(), timeouts_.receive_ms);
    set_send_timeout(s.get(), timeouts_.send_ms);
    // Registered before it is counted: the registration is what can throw.
    connection = connections_.emplace(connections_.end(), std::move(s), peer, Clock::now());
    ++from_peer;
    if (observer_ != nullptr) observer_->connection_opened();
    busy_logged_ = false;
    busy_peers_logged_.erase(peer);
    return Admission::admitted;
}

void HttpServer::reply_busy(Socket s, Admission admission, std::uint32_t peer) {
    if (admission == Admission::server_busy && !busy_logged_) {
        Log::write(LogLevel::Warn, "http: %u connections open, refusing more with 503",
                   static_cast<unsigned>(max_connections));
        busy_logged_ = true;
    } else if (admission == Admission::peer_busy && busy_peers_logged_.insert(peer).second) {
        Log::write(LogLevel::Warn, "http: %u connections open from %s, refusing more from it with 503",
                   static_cast<unsigned>(max_connections_per_peer), ipv4_text(peer).c_str());
    }
    if (observer_ != nullptr) {
        observer_->refused(admission == Admission::server_busy ? HttpRefusal::server_busy : HttpRefusal::address_busy);
        observer_->replied({}, 503);
    }
    HttpResponse response;
    response.status = 503;
    response.body = "{\"error\":\"server busy\"}";
    set_send_timeout(s.get(), timeouts_.busy_send_ms);
    write_response(s.get(), response);
    closer_.close(std::move(s));
}

void HttpServer::enter_handler(Connections::iterator connection) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    connection->in_handler = true;
}

void HttpServer::finish_connection(Connections::iterator connection, bool linger) {
    std::lock_guard<std::mutex> lock(connections_mutex_);
    if (linger) closer_.close(std::move(connection->socket));
    const auto from_peer = peer_connections_.find(connection->peer);
    if (from_peer != peer_connections_.end() && --from_peer->second == 0) peer_connections_.erase(from_peer);
    connections_.erase(connection);
    if (observer_ != nullptr) observer_->connection_closed();
    if (connections_.empty()) connections_changed_.notify_all();
    // Unlocking the mutex is the last access to the server: stop() may
    // return, and the server be destroyed, as soon as it is released.
}

void HttpServer::cut_off_connections() {
    std::unique_lock<std::mutex> lock(connections_mutex_);
    for (Connection& connection : connections_) {
        if (connection.in_handler) continue;
        connection.cut_off = true;
        shutdown_receive(connection.socket.get());
    }
    connections_changed_.wait(lock, [this] { return connections_.empty(); });
}

}  // namespace tarn
