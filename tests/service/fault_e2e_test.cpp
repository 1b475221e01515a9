// The real executable under the faults of production: a hung database,
// content the database can never take, a user without privileges, and
// clients that try to lock the gateway out.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An event batch that names itself, so that its rows can be counted.
std::string event_batch(const std::string& name, const std::string& payload = "1") {
    return R"({"events":[{"event_type":")" + name + R"(","gateway_received_at":"2024-05-01","payload":)" + payload +
           "}]}";
}

std::string stored(const std::string& name) {
    return sql("SELECT COUNT(*) FROM events WHERE event_type = '" + name + "'");
}

// Stops the private MariaDB (SIGSTOP: a hung server, or a path that drops
// packets) until resume(), and always lets it go on in the end.
class HungDatabase {
public:
    HungDatabase() : pid_(std::stoi(text_of(env_or("TARN_TEST_MARIADB_DIR", "") + "/mysqld.pid"))) {
        ::kill(pid_, SIGSTOP);
    }
    ~HungDatabase() { resume(); }
    void resume() { ::kill(pid_, SIGCONT); }

private:
    pid_t pid_;
};

// Posts on a thread of its own; the reply and how long it took.
struct Post {
    std::thread thread;
    RawResponse reply;
    Clock::duration took{};

    Post(std::uint16_t port, const std::string& request)
        : thread([this, port, request] {
              const auto begin = Clock::now();
              RawClient client;
              if (client.connect(port, "", 60000) && client.send(request))
                  reply = parse_raw_response(client.read_all());
              took = Clock::now() - begin;
          }) {}
    ~Post() {
        if (thread.joinable()) thread.join();
    }
};

// A hung database held every batch without end, a gateway's resends queued
// behind it and were all stored once it came back (256 copies of one reading
// that never got a 200), and the service could not be stopped. Every wait is
// bounded now, a batch whose client gave up is not written, and the service
// recovers by itself.
TEST_F(ServiceTest, DatabaseHangIsBoundedStoresNoAbandonedCopyAndRecovers) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.err();
    const std::string run = "hang-" + std::to_string(::getpid()) + "-";
    ASSERT_EQ(send(ingest_request(event_batch(run + "before"))).status, 200);
    {
        HungDatabase hung;
        Post in_flight(port_, ingest_request(event_batch(run + "in-flight")));
        std::this_thread::sleep_for(300ms);
        Post queued(port_, ingest_request(event_batch(run + "queued")));
        std::this_thread::sleep_for(700ms);
        const auto stop_begin = Clock::now();
        service_.signal(SIGTERM);
        queued.thread.join();
        EXPECT_EQ(queued.reply.body, R"({"error":"server stopping"})");
        EXPECT_LT(queued.took, 5s) << "a waiting batch is answered as soon as the stop begins";
        // The batch being written fails within the read time-out and one
        // connect attempt with its own time-out; then the process exits.
        EXPECT_EQ(service_.wait(std::chrono::seconds(60)), 0);
        EXPECT_LT(Clock::now() - stop_begin, 50s);
        in_flight.thread.join();
        EXPECT_EQ(in_flight.reply.status, 503) << in_flight.reply.body;
    }
    ASSERT_TRUE(start_service()) << service_.err();
    {
        HungDatabase hung;  // for a few seconds this time
        Post in_flight(port_, ingest_request(event_batch(run + "in-flight-2")));
        std::this_thread::sleep_for(300ms);
        RawClient gave_up;  // queued behind it, gives up after a second as a gateway would
        ASSERT_TRUE(gave_up.connect(port_) && gave_up.send(ingest_request(event_batch(run + "gave-up"))));
        Post queued(port_, ingest_request(event_batch(run + "queued-2")));
        std::this_thread::sleep_for(1s);
        gave_up.close();
        std::this_thread::sleep_for(2s);
        hung.resume();
    }
    EXPECT_EQ(send(ingest_request(event_batch(run + "after"))).status, 200);
    for (const char* name : {"before", "in-flight-2", "queued-2", "after"})
        EXPECT_EQ(stored(run + name), "1\n") << name;
    for (const char* name : {"in-flight", "queued", "gave-up"}) EXPECT_EQ(stored(run + name), "0\n") << name;
    EXPECT_NE(text_of(log_path_).find("[WRN] db: client gone before its batch began; nothing written"),
              std::string::npos);
}

// Content that no resend can store is 422, so that the gateway's queue does
// not stick behind it; a database that refuses this user is 503 with the
// server's own reason; texts are stored byte for byte.
TEST_F(ServiceTest, ContentTheDatabaseCanNeverTakeIs422AndItsOwnRefusalIs503) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.err();
    // 900,000 numbers 1.1: under the 4 MiB body limit, yet written back as
    // 1.1000000000000001 each they exceed the server's max_allowed_packet.
    std::string numbers = "1.1";
    for (int i = 1; i < 900000; ++i) numbers += ",1.1";
    const RawResponse big = send(ingest_request(event_batch("too-big", "[" + numbers + "]")));
    EXPECT_EQ(big.status, 422);
    EXPECT_NE(big.body.find("larger than the server's max_allowed_packet"), std::string::npos) << big.body;
    const std::string name = "nul-" + std::to_string(::getpid());
    EXPECT_EQ(send(ingest_request(event_batch("\\u0000" + name))).status, 200);
    EXPECT_EQ(sql("SELECT COUNT(*) FROM events WHERE event_type = CONCAT(CHAR(0), '" + name + "')"), "1\n");
    stop_service(SIGTERM);

    Strings config = standard_config();
    config.push_back("mysql_user=" + mariadb_fact("reader"));
    config.push_back("mysql_pass=" + mariadb_fact("reader_password"));
    write_config(config);
    ASSERT_TRUE(start_service()) << service_.err();
    const RawResponse denied = send(ingest_request(event_batch("denied")));
    EXPECT_EQ(denied.status, 503);
    EXPECT_NE(denied.body.find("[42000]"), std::string::npos) << denied.body;
    EXPECT_NE(denied.body.find("command denied"), std::string::npos) << denied.body;
}

// 256 clients without the token, sending headers and then a body byte now
// and then, held every connection for as long as they liked: health and
// ingest answered 503 "server busy". The token is checked once the head has
// arrived, and one address holds at most 64 connections.
TEST_F(ServiceTest, ClientsWithoutTheTokenCannotLockTheGatewayOut) {
    write_config(standard_config("gateway-token"));
    ASSERT_TRUE(start_service()) << service_.err();
    const std::string slow_head = "POST /api/ingest HTTP/1.1\r\nContent-Length: 1000\r\n\r\nx";
    std::vector<RawClient> attackers(256);
    for (std::size_t i = 0; i < attackers.size(); ++i) {
        ASSERT_TRUE(attackers[i].connect(port_, "127.0.0." + std::to_string(2 + i % 4)) &&
                    attackers[i].send(slow_head));
    }
    std::vector<RawClient> tricklers(65);  // header bytes only, all from one address
    for (RawClient& client : tricklers) ASSERT_TRUE(client.connect(port_, "127.0.0.6") && client.send("P"));
    EXPECT_EQ(parse_raw_response(tricklers.back().read_all()).body, R"({"error":"server busy"})");

    EXPECT_EQ(send(ingest_request(event_batch("gateway"), "gateway-token")).status, 200);
    for (RawClient& client : attackers) EXPECT_EQ(parse_raw_response(client.read_all()).status, 401);
    EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").status, 200);
}

}  // namespace
}  // namespace tarn::test
