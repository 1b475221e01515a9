// The real executable under the faults of production: content the database
// can never take, a user without privileges, and clients that try to lock the
// gateway out.
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
    for (RawClient& client : attackers) EXPECT_EQ(parse_raw_response(client.read_all()).status, 401);
    std::vector<RawClient> tricklers(65);  // header bytes only, all from one address
    for (RawClient& client : tricklers) ASSERT_TRUE(client.connect(port_, "127.0.0.6") && client.send("P"));
    EXPECT_EQ(parse_raw_response(tricklers.back().read_all()).body, R"({"error":"server busy"})");
    EXPECT_EQ(send(ingest_request(event_batch("gateway"), "gateway-token")).status, 200);
    EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").status, 200);
}

}  // namespace
}  // namespace tarn::test
