#include "platform/xpc/xpc_frame.h"

#include <fmt/format.h>
#include <sys/socket.h>

#include <cerrno>

namespace korvane::xpc {
namespace {

void putU32(Data& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void putU64(Data& out, std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t getU32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint64_t getU64(const std::uint8_t* p) {
    return (std::uint64_t{getU32(p)} << 32) | getU32(p + 4);
}

class BodyCursor {
public:
    explicit BodyCursor(std::span<const std::uint8_t> body) : body_(body) {}

    std::uint8_t u8(const char* what) {
        need(1, what);
        return body_[pos_++];
    }
    std::uint64_t u64(const char* what) {
        need(8, what);
        const auto v = getU64(body_.data() + pos_);
        pos_ += 8;
        return v;
    }
    std::span<const std::uint8_t> bytes(std::size_t n, const char* what) {
        need(n, what);
        auto s = body_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    std::span<const std::uint8_t> rest() {
        auto s = body_.subspan(pos_);
        pos_ = body_.size();
        return s;
    }

private:
    void need(std::size_t n, const char* what) const {
        if (body_.size() - pos_ < n) throw FrameError(fmt::format("frame truncated in {}", what));
    }
    std::span<const std::uint8_t> body_;
    std::size_t pos_ = 0;
};

std::optional<Data> readData(BodyCursor& cursor) {
    const auto flag = cursor.u8("data flag");
    auto rest = cursor.rest();
    if (flag == 0) {
        if (!rest.empty()) throw FrameError("frame carries bytes after an empty data flag");
        return std::nullopt;
    }
    if (flag != 1) throw FrameError(fmt::format("frame has an invalid data flag {}", flag));
    return Data(rest.begin(), rest.end());
}

} // namespace

Data encodeFrame(const Frame& frame) {
    Data body;
    body.push_back(static_cast<std::uint8_t>(frame.type));
    putU64(body, frame.callId);
    switch (frame.type) {
    case FrameType::call:
        if (frame.selector.empty() || frame.selector.size() > kMaxSelectorLength) {
            throw FrameError(fmt::format("selector length {} out of range", frame.selector.size()));
        }
        body.push_back(static_cast<std::uint8_t>(frame.selector.size()));
        body.insert(body.end(), frame.selector.begin(), frame.selector.end());
        [[fallthrough]];
    case FrameType::reply:
        body.push_back(frame.data ? 1 : 0);
        if (frame.data) body.insert(body.end(), frame.data->begin(), frame.data->end());
        break;
    case FrameType::refused:
        break;
    }
    if (body.size() > kMaxFrameBody) {
        throw FrameError(fmt::format("frame of {} bytes exceeds the limit of {}", body.size(), kMaxFrameBody));
    }
    Data out;
    out.reserve(kFrameHeaderSize + body.size());
    putU32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Frame decodeFrameBody(std::span<const std::uint8_t> body) {
    BodyCursor cursor(body);
    Frame frame;
    const auto type = cursor.u8("type");
    frame.callId = cursor.u64("call id");
    switch (type) {
    case static_cast<std::uint8_t>(FrameType::call): {
        frame.type = FrameType::call;
        const auto length = cursor.u8("selector length");
        if (length == 0) throw FrameError("call frame has an empty selector");
        const auto selector = cursor.bytes(length, "selector");
        frame.selector.assign(selector.begin(), selector.end());
        frame.data = readData(cursor);
        break;
    }
    case static_cast<std::uint8_t>(FrameType::reply):
        frame.type = FrameType::reply;
        frame.data = readData(cursor);
        break;
    case static_cast<std::uint8_t>(FrameType::refused):
        frame.type = FrameType::refused;
        if (!cursor.rest().empty()) throw FrameError("refused frame carries extra bytes");
        break;
    default:
        throw FrameError(fmt::format("unknown frame type {}", type));
    }
    return frame;
}

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
    // Drop what has been consumed before growing, so a long-lived stream does not accumulate.
    if (offset_ > 0 && (offset_ == buffer_.size() || offset_ > 64 * 1024)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameReader::next() {
    const std::size_t available = buffer_.size() - offset_;
    if (available < kFrameHeaderSize) return std::nullopt;
    const std::uint32_t length = getU32(buffer_.data() + offset_);
    if (length == 0) throw FrameError("frame with an empty body");
    if (length > kMaxFrameBody) {
        throw FrameError(fmt::format("frame of {} bytes exceeds the limit of {}", length, kMaxFrameBody));
    }
    if (available - kFrameHeaderSize < length) return std::nullopt;
    const std::span<const std::uint8_t> body(buffer_.data() + offset_ + kFrameHeaderSize, length);
    Frame frame = decodeFrameBody(body);
    offset_ += kFrameHeaderSize + length;
    return frame;
}

bool writeAll(int fd, const Data& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace korvane::xpc
