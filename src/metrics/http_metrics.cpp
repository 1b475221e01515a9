// The HTTP server's events as metrics.
#include "metrics/http_metrics.h"

namespace tarn {

void HttpMetrics::replied(std::string_view path, int status) noexcept {
    metrics_.count_request(route_of(path), status);
}

void HttpMetrics::refused(HttpRefusal why) noexcept {
    switch (why) {
        case HttpRefusal::server_busy: metrics_.count_refusal(Refusal::server_busy); return;
        case HttpRefusal::address_busy: metrics_.count_refusal(Refusal::address_busy); return;
        case HttpRefusal::memory_busy: metrics_.count_refusal(Refusal::memory_busy); return;
    }
}

}  // namespace tarn
