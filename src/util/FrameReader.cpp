#include "util/FrameReader.h"

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

TFrameReader::TFrameReader(size_t limit) : limit_(limit) {}

void TFrameReader::EmitLine(std::string_view content, const TSink& sink) {
    const size_t raw = content.size();
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    if (content.size() > limit_) {
        discarded_ += raw - limit_;
        sink(content.substr(0, limit_), TFrameEnd::Cut);
    } else if (!content.empty()) {
        sink(content, TFrameEnd::Whole);
    }
}

void TFrameReader::Feed(std::string_view bytes, const TSink& sink) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        switch (state_) {
            case TState::Start:
                buffer_.clear();
                state_ = IsDigit(*p) ? TState::Count : TState::Line;
                break;

            case TState::Count: {
                while (p < end && IsDigit(*p) && buffer_.size() < kMaxCountDigits) buffer_ += *p++;
                if (p == end) break;
                if (*p != ' ') {
                    // No count after all (RFC 6587 3.4.1 leaves this to the
                    // receiver): the digits begin a line.
                    state_ = TState::Line;
                    break;
                }
                ++p;
                uint64_t count = 0;
                for (char c : buffer_) count = count * 10 + static_cast<uint64_t>(c - '0');
                buffer_.clear();
                remaining_ = count;
                state_ = count == 0 ? TState::Start : TState::Counted;
                break;
            }

            case TState::Counted: {
                const size_t available = static_cast<size_t>(std::min<uint64_t>(remaining_, end - p));
                if (buffer_.empty() && available == remaining_ && remaining_ <= limit_) {
                    // The whole frame is in this read: no copy.
                    sink(std::string_view(p, available), TFrameEnd::Whole);
                    p += available;
                    state_ = TState::Start;
                    break;
                }
                const size_t take = std::min(available, limit_ - buffer_.size());
                buffer_.append(p, take);
                p += take;
                remaining_ -= take;
                if (remaining_ == 0) {
                    sink(buffer_, TFrameEnd::Whole);
                    state_ = TState::Start;
                } else if (buffer_.size() == limit_) {
                    // Handed on now: a sender that claims a huge frame must
                    // not keep the part that fits waiting for the rest.
                    sink(buffer_, TFrameEnd::Cut);
                    buffer_.clear();
                    state_ = TState::SkipCounted;
                }
                break;
            }

            case TState::SkipCounted: {
                const size_t skip = static_cast<size_t>(std::min<uint64_t>(remaining_, end - p));
                p += skip;
                remaining_ -= skip;
                discarded_ += skip;
                if (remaining_ == 0) state_ = TState::Start;
                break;
            }

            case TState::Line: {
                const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
                if (lf != nullptr) {
                    const std::string_view piece(p, static_cast<size_t>(lf - p));
                    if (buffer_.empty()) {
                        EmitLine(piece, sink);
                    } else if (buffer_.size() + piece.size() <= limit_ + 1) {
                        buffer_.append(piece);
                        EmitLine(buffer_, sink);
                    } else {
                        // Too long even without a CR; only what is kept is copied.
                        discarded_ += buffer_.size() + piece.size() - limit_;
                        if (buffer_.size() < limit_) buffer_.append(piece.data(), limit_ - buffer_.size());
                        sink(std::string_view(buffer_).substr(0, limit_), TFrameEnd::Cut);
                    }
                    p = lf + 1;
                    state_ = TState::Start;
                    break;
                }
                // limit + 1 bytes may still be a message of limit bytes and
                // the CR of its line end; one more and it is too long.
                const size_t take = std::min(static_cast<size_t>(end - p), limit_ + 2 - buffer_.size());
                buffer_.append(p, take);
                p += take;
                if (buffer_.size() == limit_ + 2) {
                    discarded_ += 2;
                    sink(std::string_view(buffer_).substr(0, limit_), TFrameEnd::Cut);
                    buffer_.clear();
                    state_ = TState::SkipLine;
                }
                break;
            }

            case TState::SkipLine: {
                const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
                const char* stop = lf != nullptr ? lf : end;
                discarded_ += static_cast<uint64_t>(stop - p);
                p = stop;
                if (lf != nullptr) {
                    ++p;
                    state_ = TState::Start;
                }
                break;
            }
        }
    }
}

bool TFrameReader::Finish(const TSink& sink) {
    const bool open = (state_ == TState::Count || state_ == TState::Counted || state_ == TState::Line) &&
                      !buffer_.empty();
    if (open) {
        // A line of limit + 1 bytes was kept for the CR that did not come.
        if (buffer_.size() > limit_) discarded_ += buffer_.size() - limit_;
        sink(std::string_view(buffer_).substr(0, limit_), TFrameEnd::Unfinished);
    }
    state_ = TState::Start;
    buffer_.clear();
    remaining_ = 0;
    return open;
}

}  // namespace quorvel
