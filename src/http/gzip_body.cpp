// gzip bodies inflated with zlib, in steps, within a limit.
#include "http/gzip_body.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace tarn {
namespace {

// How much the output grows by at a time.
constexpr std::size_t inflate_step_bytes = std::size_t{64} * 1024;
// zlib's window bits for a gzip wrapper only (not zlib's own, not raw).
constexpr int gzip_window_bits = 16 + MAX_WBITS;

// One inflate stream, ended on every path.
class Inflater {
public:
    Inflater() { ready_ = inflateInit2(&stream_, gzip_window_bits) == Z_OK; }
    ~Inflater() {
        if (ready_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool ready() const { return ready_; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

InflateResult inflate_gzip(std::string_view compressed, std::size_t max_bytes,
                           const std::function<bool(std::size_t)>& may_hold, std::string& out) {
    Inflater inflater;
    if (!inflater.ready()) return InflateResult::no_memory;
    z_stream& z = inflater.stream();
    // zlib never writes through next_in; the body is at most a few MiB, well
    // within uInt.
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    std::string inflated;
    std::size_t produced = 0;
    for (;;) {
        if (produced == inflated.size()) {
            // One byte past the limit is room enough to tell that it is passed.
            const std::size_t grown = inflated.size() + std::min(inflate_step_bytes, max_bytes + 1 - inflated.size());
            if (!may_hold(grown)) return InflateResult::no_memory;
            inflated.resize(grown);
        }
        z.next_out = reinterpret_cast<Bytef*>(&inflated[produced]);
        z.avail_out = static_cast<uInt>(inflated.size() - produced);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced = inflated.size() - z.avail_out;
        if (produced > max_bytes) return InflateResult::too_large;
        if (rc == Z_STREAM_END) {
            if (z.avail_in == 0) {
                inflated.resize(produced);
                out = std::move(inflated);
                return InflateResult::inflated;
            }
            // Another member follows.
            if (inflateReset(&z) != Z_OK) return InflateResult::corrupt;
        } else if (rc == Z_MEM_ERROR) {
            return InflateResult::no_memory;
        } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && z.avail_out == 0)) {
            // Z_BUF_ERROR with room left: the input ended inside the stream.
            return InflateResult::corrupt;
        }
    }
}

}  // namespace tarn
