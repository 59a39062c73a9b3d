#pragma once
// The wire format of the IPC channel: length-prefixed frames over a Unix stream socket.
//
//   u32 body length (big-endian), then the body:
//   u8  type      1 = call, 2 = reply, 3 = refused (the listener turned the peer away)
//   u64 call id   (big-endian; 0 for refused)
//   call:    u8 selector length (1..255), selector bytes, u8 has-data (0/1), data bytes
//   reply:   u8 has-data (0/1), data bytes
//   refused: nothing
//
// The data bytes are carried unchanged. A body larger than kMaxFrameBody is refused as soon as
// its length is read, so a peer cannot make the other side buffer without bound.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::xpc {

using Data = std::vector<std::uint8_t>;

inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::size_t kMaxFrameBody = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxSelectorLength = 255;

enum class FrameType : std::uint8_t { call = 1, reply = 2, refused = 3 };

struct Frame {
    FrameType type = FrameType::call;
    std::uint64_t callId = 0;
    std::string selector;        // calls only
    std::optional<Data> data;    // calls and replies

    friend bool operator==(const Frame&, const Frame&) = default;
};

class FrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Header and body, ready to write. Throws FrameError when the frame breaks a limit.
Data encodeFrame(const Frame& frame);

// Decodes one body (without its length header). Throws FrameError on any malformed body.
Frame decodeFrameBody(std::span<const std::uint8_t> body);

// Incremental decoder for one direction of a stream.
class FrameReader {
public:
    void feed(std::span<const std::uint8_t> bytes);
    // The next whole frame, or nothing while more bytes are needed. Throws FrameError; after
    // that the stream is unusable.
    std::optional<Frame> next();
    // True when some bytes of an unfinished frame are buffered.
    bool hasPartialFrame() const { return buffer_.size() > offset_; }

private:
    Data buffer_;
    std::size_t offset_ = 0;
};

// Writes all bytes to a stream socket without raising SIGPIPE; false when the peer is gone.
bool writeAll(int fd, const Data& bytes);

} // namespace korvane::xpc
