// A client's byte stream cut into Modbus TCP requests by the MBAP header
// alone (transaction id, protocol id, length, unit): whatever the function,
// exactly the length the header gives is one request. Nothing here reads the
// PDU; a header that cannot start a request ends the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel::modbus {

constexpr std::size_t kMbapHeaderLength = 7;  // the unit id is the last byte
constexpr std::size_t kMaxMbapLength = 254;   // unit id and PDU (253 bytes at most)
constexpr std::size_t kMaxAduLength = 6 + kMaxMbapLength;

class MbapFramer {
public:
    enum class Status {
        NeedMore,  // no whole request yet
        Whole,     // Request() is the next whole request
        Bad,       // the stream cannot be framed: close it (Reason() says why)
    };

    void Append(const std::uint8_t* data, std::size_t size);
    // Takes the next request off the buffer when it is whole.
    Status Next();
    // The request Next() last gave as Whole: the header and exactly the
    // length it names.
    const std::vector<std::uint8_t>& Request() const { return request_; }
    const std::string& Reason() const { return reason_; }
    // Whether the stream that could not be framed starts as an HTTP request
    // ("GET /metrics HTTP/1.1" read as a header has protocol id 0x2F6D).
    bool Http() const { return http_; }
    // Bytes held that are not yet a whole request.
    std::size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // the first byte not yet taken
    std::vector<std::uint8_t> request_;
    std::string reason_;
    bool bad_ = false;
    bool http_ = false;
};

}  // namespace qel::modbus
