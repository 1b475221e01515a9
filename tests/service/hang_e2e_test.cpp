// The real executable with a hung database: every wait is bounded, a batch
// whose client gave up is not written, and the service recovers by itself.
// It waits out the service's own time-outs, so it runs apart (label slow).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "service_fixture.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
    RawResponse reply;
    Clock::duration took{};
    std::thread thread;  // last: it starts once the members it writes exist

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

}  // namespace
}  // namespace tarn::test
