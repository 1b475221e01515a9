// The chunked transfer coding, decoded byte by byte (chunk data in bulk).
#include "http/chunked_body.h"

#include <algorithm>

namespace tarn {
namespace {

// The value of hexadecimal digit `c`, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

ChunkedDecoder::Status ChunkedDecoder::feed(std::string_view input, std::string& body) {
    std::size_t i = 0;
    while (status_ == Status::more && i < input.size()) {
        if (state_ == State::data) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_left_, input.size() - i));
            body.append(input.data() + i, n);
            i += n;
            decoded_ += n;
            chunk_left_ -= n;
            if (chunk_left_ == 0) state_ = State::data_cr;
        } else {
            status_ = step(input[i++]);
        }
    }
    return status_;
}

ChunkedDecoder::Status ChunkedDecoder::step(char c) {
    switch (state_) {
        case State::size: return size_byte(c);
        case State::extension:
            if (++line_bytes_ > chunk_size_line_limit_bytes || c == '\n') return Status::malformed;
            if (c == '\r') state_ = State::size_lf;
            return Status::more;
        case State::size_lf:
            if (c != '\n') return Status::malformed;
            state_ = chunk_left_ == 0 ? State::trailer : State::data;
            return Status::more;
        case State::data_cr:
            if (c != '\r') return Status::malformed;
            state_ = State::data_lf;
            return Status::more;
        case State::data_lf:
            if (c != '\n') return Status::malformed;
            state_ = State::size;
            digits_ = 0;
            line_bytes_ = 0;
            return Status::more;
        case State::trailer:
            if (++trailer_bytes_ > chunk_trailer_limit_bytes || c == '\n') return Status::malformed;
            if (c == '\r') {
                state_ = State::trailer_lf;
            } else {
                trailer_line_empty_ = false;
            }
            return Status::more;
        case State::trailer_lf:
            if (c != '\n') return Status::malformed;
            if (trailer_line_empty_) return Status::done;
            trailer_line_empty_ = true;
            state_ = State::trailer;
            return Status::more;
        case State::data: return Status::more;  // taken in bulk by feed()
    }
    return Status::malformed;
}

ChunkedDecoder::Status ChunkedDecoder::size_byte(char c) {
    if (++line_bytes_ > chunk_size_line_limit_bytes) return Status::malformed;
    const int digit = hex_value(c);
    if (digit >= 0) {
        ++digits_;
        // Checked digit by digit, so the size never overflows.
        chunk_left_ = chunk_left_ * 16 + static_cast<std::uint64_t>(digit);
        return chunk_left_ > max_body_bytes_ - decoded_ ? Status::too_large : Status::more;
    }
    if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
        state_ = State::extension;
        return Status::more;
    }
    if (digits_ > 0 && c == '\r') {
        state_ = State::size_lf;
        return Status::more;
    }
    return Status::malformed;
}

}  // namespace tarn
