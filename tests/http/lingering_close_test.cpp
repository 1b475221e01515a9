// The lingering closer on its own, over loopback socket pairs: what it reads
// and drops, how long it waits, how many sockets it keeps, and its stop.
#include "http/lingering_close.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "http/http_message.h"
#include "http/socket.h"
#include "test_env.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

// Two ends of one loopback connection: the client's, and the server's that
// the closer takes.
struct Pair {
    Socket client, server;
};

Pair connected_pair() {
    static const bool started [[maybe_unused]] = socket_library_startup();
    Socket listener(open_tcp_socket());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    parse_ipv4("127.0.0.1", address.sin_addr);
    EXPECT_TRUE(bind_ipv4(listener.get(), address) && listen_max(listener.get()));
    address.sin_port = htons(local_port(listener.get()));
    Pair pair{Socket(open_tcp_socket()), Socket()};
    EXPECT_EQ(::connect(pair.client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    std::uint32_t peer = 0;
    pair.server.reset(accept_connection(listener.get(), peer));
    return pair;
}

bool send_bytes(const Socket& s, std::size_t count) { return send_all(s.get(), std::string(count, 'b')); }

// The state of the client's peer (the server end) as it settles: a reset
// once the server end is closed with bytes unread (or written to after it
// was closed), the end of its stream while it lingers.
PeerState settled(const Socket& client, PeerState wanted, std::chrono::milliseconds timeout = 5s) {
    eventually([&] { return peer_state(client.get()) == wanted; }, timeout);
    return peer_state(client.get());
}

// True once the server end is closed: a byte sent to it is refused with a reset.
bool refuses_more(const Socket& client) {
    return eventually([&] { return !send_bytes(client, 1) || peer_state(client.get()) == PeerState::gone; }, 5s);
}

class Lingering : public ::testing::Test {
protected:
    ~Lingering() override { closer_.stop(); }
    LingeringCloser closer_;
};

// The cap on dropped bytes was computed with drop_bytes + dropped, and
// nothing noticed. A client that sends more than the cap, in more than one
// read's worth, is cut off with a reset once the cap has been read.
TEST_F(Lingering, ClientSendingPastTheByteCapIsCutOffOnceTheCapIsRead) {
    closer_.start({60000, 20000, 8});
    Pair pair = connected_pair();
    ASSERT_TRUE(send_bytes(pair.client, 30000));  // all of it waiting before the closer reads
    closer_.close(std::move(pair.server));
    EXPECT_EQ(settled(pair.client, PeerState::gone), PeerState::gone);
}

// A client that stops sending is closed at the deadline: what it sends
// afterwards is refused with a reset. Before, it is read and dropped.
TEST_F(Lingering, ClientIsClosedAtTheDeadlineNotBefore) {
    closer_.start({1500, 1 << 20, 8});
    Pair pair = connected_pair();
    closer_.close(std::move(pair.server));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(settled(pair.client, PeerState::done_sending), PeerState::done_sending);
    EXPECT_TRUE(refuses_more(pair.client));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 1400ms);
}

// Past the socket limit a socket is closed at once, so a byte it had not
// read turns into a reset; the one within the limit lingers.
TEST_F(Lingering, SocketPastTheLimitIsClosedAtOnce) {
    closer_.start({60000, 1 << 20, 1});
    Pair kept = connected_pair(), over = connected_pair();
    ASSERT_TRUE(send_bytes(kept.client, 1) && send_bytes(over.client, 1));
    closer_.close(std::move(kept.server));
    closer_.close(std::move(over.server));
    EXPECT_EQ(settled(over.client, PeerState::gone), PeerState::gone);
    EXPECT_EQ(settled(kept.client, PeerState::done_sending, 500ms), PeerState::done_sending);
}

// A stop does not wait out the deadline for a client that sends nothing
// more: it is closed at once, and the stop returns.
TEST_F(Lingering, StopClosesAQuietClientAtOnce) {
    closer_.start({60000, 1 << 20, 8});
    Pair pair = connected_pair();
    closer_.close(std::move(pair.server));
    ASSERT_EQ(settled(pair.client, PeerState::done_sending), PeerState::done_sending);
    const auto begin = std::chrono::steady_clock::now();
    closer_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_TRUE(refuses_more(pair.client));
    Pair late = connected_pair();
    ASSERT_TRUE(send_bytes(late.client, 1));
    closer_.close(std::move(late.server));  // after the stop: closed at once
    EXPECT_EQ(settled(late.client, PeerState::gone), PeerState::gone);
}

}  // namespace
}  // namespace tarn::test
