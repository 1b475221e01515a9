// The HTTP front end alone, answering {"ok":true} to every request, for
// run-health to measure. Usage: health_server <bind_addr> <port>; runs until
// SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "http/http_server.h"

namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_signal(int) { stop_signal = 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: health_server <bind_addr> <port>\n");
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    tarn::HttpServer server(argv[1], static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 10)),
                            [](const tarn::HttpRequest&) {
                                tarn::HttpResponse response;
                                response.body = "{\"ok\":true}";
                                return response;
                            });
    if (!server.start()) return 1;
    while (stop_signal == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
    return 0;
}
