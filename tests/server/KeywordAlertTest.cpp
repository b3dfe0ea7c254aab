// Which keyword a message triggers. The mails themselves are checked end to
// end against an SMTP server.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SjisReference.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

using test::Sjis;
using namespace std::string_literals;

TKeywordList Keywords(std::vector<std::string> words) {
    TKeywordList list;
    for (auto& w : words) list.push_back({w, {"ops@example.org"}});
    return list;
}

std::string Match(const TKeywordList& list, std::string_view message) {
    const TKeyword* k = TSyslogService::FindKeyword(list, message);
    return k ? k->Keyword : "<none>";
}

TEST(KeywordMatch, FirstKeywordInListOrderWinsAndCaseCounts) {
    const TKeywordList list = Keywords({"Error", "error", "disk"});
    EXPECT_EQ(Match(list, "disk Error and error"), "Error");  // list order, not position
    EXPECT_EQ(Match(list, "ERROR"), "<none>");
    EXPECT_EQ(Match(Keywords({""}), "anything"), "<none>");  // an empty keyword never matches
}

TEST(KeywordMatch, TextAfterNulIsNotSearched) {
    const TKeywordList list = Keywords({"error"});
    EXPECT_EQ(Match(list, "ok\0error"s), "<none>");
    EXPECT_EQ(Match(list, "error\0ok"s), "error");
}

TEST(KeywordMatch, OccurrenceStartingOnTrailByteDoesNotCount) {
    // "ソ" is 0x83 0x5C: its trail byte is a backslash. "ア" is 0x83 0x41,
    // whose trail byte is "A".
    const TKeywordList list = Keywords({"\\n", "A"});
    EXPECT_EQ(Match(list, Sjis("ソn")), "<none>");
    EXPECT_EQ(Match(list, Sjis("ソn\\n")), "\\n");  // a later real occurrence still counts
    EXPECT_EQ(Match(list, Sjis("ア")), "<none>");
    EXPECT_EQ(Match(list, Sjis("アA")), "A");
    // A keyword spanning a whole double-byte character matches at its lead byte.
    EXPECT_EQ(Match(Keywords({Sjis("ソ")}), Sjis("xソ")), Sjis("ソ"));
}

}  // namespace
}  // namespace quorvel
