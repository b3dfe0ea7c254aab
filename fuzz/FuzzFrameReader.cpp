// The stream frame reader: any bytes, cut anywhere, give the frames that one
// read of them gives; no message is longer than the limit, nor is more held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/FrameReader.h"

namespace {

using Frames = std::vector<std::pair<std::string, quorvel::TFrameEnd>>;
constexpr size_t kLimit = 64;

Frames Read(std::string_view stream, const std::vector<size_t>& cuts, uint64_t& discarded) {
    quorvel::TFrameReader reader(kLimit);
    Frames frames;
    const quorvel::TFrameReader::TSink sink = [&frames](std::string_view m, quorvel::TFrameEnd e) {
        if (m.empty() || m.size() > kLimit) std::abort();
        frames.emplace_back(m, e);
    };
    size_t at = 0;
    for (size_t cut : cuts) {
        reader.Feed(stream.substr(at, cut - at), sink);
        if (reader.Buffered() > kLimit + 2) std::abort();
        at = cut;
    }
    reader.Feed(stream.substr(at), sink);
    reader.Finish(sink);
    discarded = reader.Discarded();
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte seeds where the stream is cut.
    unsigned seed = data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        at += 1 + (seed >> 16) % 17;
        if (at < stream.size()) cuts.push_back(at);
    }
    uint64_t wholeDiscarded = 0, cutDiscarded = 0;
    const Frames whole = Read(stream, {}, wholeDiscarded);
    if (Read(stream, cuts, cutDiscarded) != whole || cutDiscarded != wholeDiscarded) std::abort();
    return 0;
}
