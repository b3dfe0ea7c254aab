#include "util/FrameReader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quorvel {
namespace {

using Frames = std::vector<std::pair<std::string, TFrameEnd>>;
constexpr TFrameEnd W = TFrameEnd::Whole, C = TFrameEnd::Cut, U = TFrameEnd::Unfinished;
constexpr size_t kLimit = 8;

using Result = std::pair<Frames, uint64_t>;  // and the bytes discarded

// The stream fed in three pieces cut at a and b, then ended.
Result Read(const std::string& stream, size_t a, size_t b) {
    TFrameReader reader(kLimit);
    Frames frames;
    const TFrameReader::TSink sink = [&frames](std::string_view m, TFrameEnd e) { frames.emplace_back(m, e); };
    reader.Feed(std::string_view(stream).substr(0, a), sink);
    reader.Feed(std::string_view(stream).substr(a, b - a), sink);
    EXPECT_LE(reader.Buffered(), kLimit + 2);
    reader.Feed(std::string_view(stream).substr(b), sink);
    reader.Finish(sink);
    return {frames, reader.Discarded()};
}

TEST(FrameReader, GivesTheSameFramesWhereverTheStreamIsCut) {
    struct Case {
        const char* name;
        std::string stream;
        Frames frames;
        uint64_t discarded = 0;
    } cases[] = {
        {"counted, glued", "3 abc5 hello", {{"abc", W}, {"hello", W}}},
        {"counted keeps CR and LF", "4 a\r\nb", {{"a\r\nb", W}}},
        {"line, CR LF and LF", "<1>a\r\n<2>b\n", {{"<1>a", W}, {"<2>b", W}}},
        {"only one CR goes", "x\r\r\n", {{"x\r", W}}},
        {"both framings on one stream", "2 ab<3>c\n1 z", {{"ab", W}, {"<3>c", W}, {"z", W}}},
        {"no space after digits: a line", "12ab\n", {{"12ab", W}}},
        {"ten digits: a line", "1234567890 \n", {{"12345678", C}}, 3},
        {"zero count is an empty frame", "0 2 hi", {{"hi", W}}},
        {"leading zeros", "002 hi", {{"hi", W}}},
        {"empty lines give nothing", "\n\r\n\nq\n", {{"q", W}}},
        {"counted at the limit", "8 12345678", {{"12345678", W}}},
        {"counted over the limit, cut and skipped", "11 abcdefghijk2 ok", {{"abcdefgh", C}, {"ok", W}}, 3},
        {"line at the limit with CR", "12345678\r\nz\n", {{"12345678", W}, {"z", W}}},
        {"line one over the limit", "123456789\nz\n", {{"12345678", C}, {"z", W}}, 1},
        {"long line cut and skipped to LF", "abcdefghijklmnop\r\nz\n", {{"abcdefgh", C}, {"z", W}}, 9},
        {"cut count prefix at the end", "5 ab", {{"ab", U}}},
        {"digits alone at the end", "42", {{"42", U}}},
        {"unfinished line", "x\ny", {{"x", W}, {"y", U}}},
        {"count announced, nothing sent", "7 ", {}},
        {"end while skipping", "20 abcdefghij", {{"abcdefgh", C}}, 2},
        {"unfinished line over the limit", "x\n123456789", {{"x", W}, {"12345678", U}}, 1},
    };
    for (const Case& c : cases)
        for (size_t a = 0; a <= c.stream.size(); ++a)
            for (size_t b = a; b <= c.stream.size(); ++b)
                ASSERT_EQ(Read(c.stream, a, b), Result(c.frames, c.discarded)) << c.name << " cut at " << a << "," << b;
}

}  // namespace
}  // namespace quorvel
