#pragma once
// Syslog frames out of a byte stream (TCP, TLS), RFC 6587: octet counting
// ("LEN SP MSG", section 3.4.1) and non-transparent framing (a frame ends at
// LF, section 3.4.2), told apart frame by frame as rsyslog and OpenBSD's
// syslogd do: a frame that starts with digits and a space is counted, any
// other frame, an invalid count included, runs to the next LF.
// Pure: no socket, no clock. One reader per connection, used by one thread.
//
// Decisions, so that a frame gives the line its bytes would give as a UDP
// datagram (what `logger` sends over UDP is the message without a line end):
// - The LF that ends a frame is not part of the message, nor is one CR just
//   before it: "msg\r\n" and "msg\n" both give "msg".
// - A counted frame is taken as it is, a CR or LF inside it included.
// - A count of up to nine digits; leading zeros are allowed, and "0 " is an
//   empty frame. An empty message is dropped, as an empty datagram is.
// - A message longer than the limit (the largest datagram) is cut there and
//   handed on at once; the rest of its frame is discarded and counted.
// - What the stream ends in the middle of (Finish) is one last message,
//   marked unfinished.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorvel {

enum class TFrameEnd {
    Whole,       // a complete frame
    Cut,         // longer than the limit: the first limit bytes
    Unfinished,  // the stream ended inside the frame
};

class TFrameReader {
public:
    // Called once per message, in stream order; the view lives until the
    // call returns.
    using TSink = std::function<void(std::string_view message, TFrameEnd end)>;

    // The most digits of a count: a billion bytes, more than any sender means.
    static constexpr size_t kMaxCountDigits = 9;

    explicit TFrameReader(size_t limit);

    // Hands every message that the bytes complete to sink.
    void Feed(std::string_view bytes, const TSink& sink);
    // The end of the stream: hands on the message it cut short, if any, and
    // starts over. True when there was one.
    bool Finish(const TSink& sink);

    // Bytes held for a frame not yet complete: never more than limit + 2.
    size_t Buffered() const { return buffer_.size(); }
    // Bytes of over-long frames discarded since the start (line ends and
    // counts not included).
    uint64_t Discarded() const { return discarded_; }

private:
    enum class TState { Start, Count, Counted, Line, SkipCounted, SkipLine };

    // One non-transparent frame's content, without its LF.
    void EmitLine(std::string_view content, const TSink& sink);

    const size_t limit_;
    TState state_ = TState::Start;
    std::string buffer_;
    uint64_t remaining_ = 0;  // Counted, SkipCounted: bytes of the frame still to come
    uint64_t discarded_ = 0;
};

}  // namespace quorvel
