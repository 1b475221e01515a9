-- wrk script: POSTs one batch file to /api/ingest, one request per connection.
--
--   TARN_E2E_BODY=batch.json TARN_E2E_TOKEN=... wrk -t1 -c1 -d30s -s post_batch.lua http://127.0.0.1:PORT/api/ingest
--
-- With TARN_E2E_CONTENT_ENCODING=gzip the file is sent as it is, with that
-- Content-Encoding (a batch gzipped beforehand).
--
-- At the end prints one line of key=value words for bench/run:
--   e2e requests=.. ok=.. non_ok=.. socket_errors=.. seconds=.. p50_ms=.. p99_ms=.. max_ms=..
-- "ok" counts 200 replies; the other counters say why a request did not count.

local body_path = os.getenv("TARN_E2E_BODY")
local token = os.getenv("TARN_E2E_TOKEN") or ""
local content_encoding = os.getenv("TARN_E2E_CONTENT_ENCODING") or ""

local file = assert(io.open(body_path or "", "rb"), "TARN_E2E_BODY must name the batch file")
local body = file:read("*a")
file:close()

wrk.method = "POST"
wrk.body = body
wrk.headers["Content-Type"] = "application/json"
wrk.headers["X-Tarn-Token"] = token
wrk.headers["Connection"] = "close"
if content_encoding ~= "" then
    wrk.headers["Content-Encoding"] = content_encoding
end

function done(summary, latency, requests)
    local errors = summary.errors
    local socket_errors = errors.connect + errors.read + errors.write + errors.timeout
    local non_ok = errors.status
    io.write(string.format(
        "e2e requests=%d ok=%d non_ok=%d socket_errors=%d seconds=%.3f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f\n",
        summary.requests, summary.requests - non_ok, non_ok,
        socket_errors, summary.duration / 1e6, latency:percentile(50) / 1000, latency:percentile(99) / 1000,
        latency.max / 1000))
end
