#include "modbus/mbap_framer.h"

#include <cstring>

namespace qel::modbus {

namespace {

// An HTTP request line's method and its space ("GET /metrics ...").
bool StartsHttp(const std::uint8_t* bytes, std::size_t size) {
    static const char* const kMethods[] = {"GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS ", "PATCH ",
                                           "CONNECT ", "TRACE "};
    for (const char* method : kMethods) {
        const std::size_t length = std::strlen(method);
        if (size >= length && std::memcmp(bytes, method, length) == 0) return true;
    }
    return false;
}

}  // namespace

void MbapFramer::Append(const std::uint8_t* data, std::size_t size) {
    if (bad_ || size == 0) return;
    // What was taken is dropped before the buffer grows, so it holds at most
    // one partial request and the bytes of one receive.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

MbapFramer::Status MbapFramer::Next() {
    if (bad_) return Status::Bad;
    const std::size_t held = Buffered();
    if (held < kMbapHeaderLength) return Status::NeedMore;
    const std::uint8_t* header = buffer_.data() + start_;
    const unsigned protocol = static_cast<unsigned>(header[2]) << 8 | header[3];
    const std::size_t length = static_cast<std::size_t>(header[4]) << 8 | header[5];
    if (protocol != 0 && StartsHttp(header, held)) {
        http_ = true;
        reason_ = "it sent an HTTP request, not Modbus TCP";
    } else if (protocol != 0) {
        reason_ = "protocol id " + std::to_string(protocol) + " is not Modbus (0)";
    } else if (length < 2) {
        reason_ = "MBAP length " + std::to_string(length) + " leaves no function code";
    } else if (length > kMaxMbapLength) {
        reason_ = "MBAP length " + std::to_string(length) + " is above 254";
    }
    if (!reason_.empty()) {
        bad_ = true;
        buffer_.clear();
        start_ = 0;
        return Status::Bad;
    }
    const std::size_t whole = 6 + length;
    if (held < whole) return Status::NeedMore;
    request_.assign(header, header + whole);
    start_ += whole;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Status::Whole;
}

}  // namespace qel::modbus
