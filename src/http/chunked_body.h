// Decoding of a request body sent with chunked transfer coding: a pure
// function of the bytes, without sockets, fed as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

// Longest chunk-size line (size, extensions and CR LF), and most bytes of
// the trailer section; a longer one is malformed.
constexpr std::size_t chunk_size_line_limit_bytes = 4096;
constexpr std::size_t chunk_trailer_limit_bytes = 65536;

// One chunked body: sizes in hexadecimal, each chunk's data followed by CR
// LF, a last chunk of size 0, then trailer fields (read and ignored) up to a
// blank line. Chunk extensions are skipped. Lines end in CR LF exactly.
class ChunkedDecoder {
public:
    enum class Status {
        more,       // the body goes on: feed the next bytes
        done,       // the last chunk and the trailer section have arrived
        malformed,  // a size that is not hexadecimal, a missing CR LF, a line too long
        too_large,  // the decoded body would exceed the limit
    };

    // Decodes at most `max_body_bytes` of data.
    explicit ChunkedDecoder(std::size_t max_body_bytes) : max_body_bytes_(max_body_bytes) {}

    // Decodes the next bytes of the stream, appending chunk data to `body`.
    // Once it has returned anything but `more`, it returns the same again
    // and appends nothing; bytes after the end of the body are ignored.
    Status feed(std::string_view input, std::string& body);

    // Data bytes decoded so far.
    std::size_t decoded_bytes() const { return decoded_; }

private:
    enum class State { size, extension, size_lf, data, data_cr, data_lf, trailer, trailer_lf };

    // The status after one byte outside chunk data, and after one byte of a
    // size line.
    Status step(char c);
    Status size_byte(char c);

    const std::size_t max_body_bytes_;
    Status status_ = Status::more;
    State state_ = State::size;
    std::size_t decoded_ = 0;
    std::uint64_t chunk_left_ = 0;    // of the chunk being read, or its size while the size is read
    std::size_t digits_ = 0;          // hexadecimal digits of the size line so far
    std::size_t line_bytes_ = 0;      // bytes of the current size line
    std::size_t trailer_bytes_ = 0;   // bytes of the trailer section so far
    bool trailer_line_empty_ = true;  // no byte yet on the current trailer line
};

}  // namespace tarn
