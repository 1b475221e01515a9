// The IPv4 listener with its accept thread and one thread per connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "http/body_budget.h"
#include "http/http_message.h"
#include "http/http_observer.h"
#include "http/lingering_close.h"
#include "http/request_head.h"
#include "http/socket.h"

namespace tarn {

// The service's request limits.
// The connection is dropped, without a reply, once this much has arrived
// without a complete header block (counting whatever came with it).
constexpr std::size_t http_header_limit_bytes = 65536;
// Largest body taken (4 MiB): announced by Content-Length, decoded from
// chunks, or inflated from gzip; more gets 413.
constexpr std::uint32_t http_max_body_bytes = 4194304;
// Body bytes all connections together may hold (1 GiB): a request whose
// announced body does not fit beside the others gets 503 "server busy" at
// once, and a chunked or gzip body that outgrows it gets the same.
constexpr std::size_t http_body_budget_bytes = std::size_t{1} << 30;

// The service's connection timeouts.
// Receive and send timeout of each accepted socket: bounds every single recv
// and send, in both phases, so a silent peer frees its thread.
constexpr int http_receive_timeout_ms = 15000;
constexpr int http_send_timeout_ms = 15000;
// The whole header block must have arrived this long after the accept,
// otherwise the connection is closed without a reply; a peer that trickles a
// byte at a time cannot hold a thread for long.
constexpr int http_header_deadline_ms = 30000;
// Send timeout of the 503 "server busy" reply, which the accept thread
// writes itself; short, so that a dead peer cannot stall accepting.
constexpr int http_busy_send_timeout_ms = 1000;
// After an early reply (400, 401, 413, 503) the client's remaining bytes are
// read and dropped for at most this long, so that it reads the reply.
constexpr int http_linger_ms = 2000;
// A client whose stream has ended (a FIN) counts as gone only once its
// request has waited this long, a gateway's usual reply time-out (the ESP32
// HTTP clients default to 5 s): before that it may be a client that
// half-closed and still reads its reply. A reset counts at once.
constexpr int http_half_close_patience_ms = 5000;

// How long a connection may take. The defaults are the service's values;
// only tests shorten them.
struct HttpTimeouts {
    int receive_ms = http_receive_timeout_ms;
    int send_ms = http_send_timeout_ms;
    int header_deadline_ms = http_header_deadline_ms;
    int busy_send_ms = http_busy_send_timeout_ms;
    int linger_ms = http_linger_ms;
    int half_close_patience_ms = http_half_close_patience_ms;
};

// Serves one request per connection with the one handler it owns.
// Constructed, started, stopped and destroyed on one thread (the runtime's);
// never copied or moved.
class HttpServer {
public:
    // Most connections served at once; one more gets 503 "server busy".
    static constexpr std::size_t max_connections = 256;
    // Most connections served at once for one client address, so that one
    // host cannot take every slot; one more from it gets 503 "server busy".
    static constexpr std::size_t max_connections_per_peer = 64;

    // Stores the settings; opens nothing and logs nothing. An empty
    // `bind_addr` or "0.0.0.0" means every local interface. `check_head`, when
    // given, sees each request before its body is read and may answer it.
    HttpServer(std::string bind_addr, std::uint16_t bind_port, HttpHandler handler, HttpHeadCheck check_head = {});
    // Calls stop().
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Replaces the connection timeouts. Call before start(); the service
    // keeps the defaults of HttpTimeouts, tests shorten them.
    void set_timeouts(const HttpTimeouts& timeouts);

    // Replaces the body budget of http_body_budget_bytes. Call before
    // start(); only tests shrink it.
    void set_body_budget(std::size_t bytes);

    // Tells `observer` (not owned; it must outlive the server) of replies,
    // refusals, connections and bodies. Call before start().
    void set_observer(HttpObserver* observer) { observer_ = observer; }

    // Opens the listening socket and starts the accept thread. Returns true
    // when listening; false after logging the cause and releasing what it
    // had opened. Call at most once.
    bool start();

    // Stops accepting, joins the accept thread, cuts off connections that are
    // still reading their request (one whose body was arriving gets 503),
    // waits for every connection thread to end (a request inside the handler
    // runs to its end and gets its reply), lets early replies finish
    // lingering, then logs "http: stopped".
    // Only the first call acts; safe after a failed start(). After it returns
    // no connection thread touches the server or the handler.
    void stop();

    // The port the listener is bound to (the one the system chose when
    // constructed with port 0); 0 before a successful start().
    std::uint16_t port() const { return bound_port_; }

    // Connections accepted and not yet closed; any thread.
    std::size_t live_connections() const;

private:
    using Clock = std::chrono::steady_clock;

    // One accepted connection, registered by the accept thread before its
    // thread starts and removed by that thread as its very last step.
    struct Connection {
        Socket socket;
        std::uint32_t peer = 0;  // IPv4 address, network order
        Clock::time_point accepted_at;
        bool in_handler = false;           // set once the handler runs; stop() then lets it finish
        std::atomic<bool> cut_off{false};  // set by stop() for a connection still reading

        Connection(Socket s, std::uint32_t from, Clock::time_point when)
            : socket(std::move(s)), peer(from), accepted_at(when) {}
    };
    using Connections = std::list<Connection>;
    enum class Admission { admitted, server_busy, peer_busy };

    void accept_loop();
    // Registers accepted socket `s` from `peer` unless max_connections, or
    // max_connections_per_peer from that address, are served already.
    Admission admit(Socket& s, std::uint32_t peer, Connections::iterator& connection);
    void reply_busy(Socket s, Admission admission, std::uint32_t peer);
    // The connection routine: reads one request, calls the handler, replies,
    // and closes the socket (through finish_connection) on every path. An
    // exception anywhere on the way is logged and answered 503 while no
    // reply has gone out yet.
    void handle_connection(Connections::iterator connection);
    // Reads and answers one request: the reply to send, or none to close
    // without one. `early` is set for a reply sent before the whole request
    // was read (the close then lingers).
    // `path` is set once the request line has been read.
    std::optional<HttpResponse> serve(Connections::iterator connection, std::string& path, bool& early);
    // Reads the header block into `buffer`, up to and past its blank line at
    // `marker`. False when the connection is to be closed without a reply.
    bool read_header_block(Connection& connection, std::string& buffer, std::size_t& marker);
    // Reads the rest of a body framed by `framing` into `body`, which holds
    // what came with the header block, within `reservation`. Returns none
    // when it is complete; otherwise the early reply.
    std::optional<HttpResponse> read_body(Connection& connection, const RequestFraming& framing, std::string& body,
                                          BodyReservation& reservation);
    // Inflates a gzip `body` in place, within the budget. Returns none when
    // it is done; otherwise the early reply.
    std::optional<HttpResponse> inflate_body(std::string& body, BodyReservation& reservation);
    // The 503 "server busy" reply for a body that does not fit the budget;
    // logged once per spell of refusals.
    HttpResponse body_budget_refusal();
    // Marks the connection as inside the handler, so that stop() no longer
    // cuts it off.
    void enter_handler(Connections::iterator connection);
    // Closes the socket (after a lingering close when `linger`) and removes
    // the connection, under the mutex, so that stop() never shuts down a
    // socket number that has been reused. The calling thread must not touch
    // the server afterwards.
    void finish_connection(Connections::iterator connection, bool linger);
    // Shuts down the receive side of every connection not yet in the
    // handler and waits until no connection is left.
    void cut_off_connections();

    const std::string bind_addr_;
    const std::uint16_t bind_port_;
    HttpHandler handler_;
    HttpHeadCheck check_head_;
    std::atomic<bool> stopping_{false};
    Socket listen_socket_;
    std::thread accept_thread_;
    bool winsock_started_ = false;
    HttpTimeouts timeouts_;
    std::uint16_t bound_port_ = 0;
    std::unique_ptr<BodyBudget> body_budget_ = std::make_unique<BodyBudget>(http_body_budget_bytes);
    std::atomic<bool> body_budget_refusal_logged_{false};
    LingeringCloser closer_;
    HttpObserver* observer_ = nullptr;

    mutable std::mutex connections_mutex_;
    std::condition_variable connections_changed_;
    Connections connections_;                                // guarded by connections_mutex_
    std::map<std::uint32_t, std::size_t> peer_connections_;  // guarded by connections_mutex_
    // Accept thread only: one Warn line per busy spell, for the server and
    // for each address.
    bool busy_logged_ = false;
    std::set<std::uint32_t> busy_peers_logged_;
};

}  // namespace tarn
