// The HTTP server's events counted into the service's metrics.
#pragma once

#include "http/http_observer.h"
#include "metrics/metrics.h"

namespace tarn {

// Counts replies by route and status, refusals, open connections and body
// bytes into `metrics`, which must outlive it. Any thread.
class HttpMetrics : public HttpObserver {
public:
    explicit HttpMetrics(Metrics& metrics) : metrics_(metrics) {}
    void replied(std::string_view path, int status) noexcept override;
    void refused(HttpRefusal why) noexcept override;
    void connection_opened() noexcept override { metrics_.connections_open.add(1); }
    void connection_closed() noexcept override { metrics_.connections_open.add(-1); }
    void body_received(std::size_t bytes) noexcept override { metrics_.body_bytes.add(bytes); }

private:
    Metrics& metrics_;
};

}  // namespace tarn
