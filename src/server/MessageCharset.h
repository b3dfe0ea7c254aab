#pragma once
// UTF-8 beside Shift_JIS on the server's side: which a message is read as,
// keywords matched in a UTF-8 message, the texts of a mail in its charset
// and a settings file saved as UTF-8. Safe from any thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/Settings.h"
#include "util/DInifile.h"

namespace quorvel {

// True when the keyword occurs in the Shift_JIS text where a character
// starts, never from the trail byte of a double-byte character.
bool ContainsAtCharacterStart(std::string_view text, std::string_view keyword);

// True when the message is read as UTF-8 under the instance's MESSAGECHARSET.
bool ReadsAsUtf8(TMessageCharset charset, std::string_view message);

// The first keyword of the list that a UTF-8 message holds, compared as the
// same characters: the message in Shift_JIS, matched at character starts,
// never across a character Shift_JIS lacks; nullptr when none.
const TKeyword* FindKeywordInUtf8(const TKeywordList& keywords, std::string_view message);

// A UTF-8 message after CNVCTRLCODE (given in UTF-8): each control byte
// replaced, each NUL dropped, as the Shift_JIS lines do.
std::string ReplaceControlBytes(std::string_view text, std::string_view replacement);

// A text of the mail (Shift_JIS, or UTF-8 when utf8) in the mail's charset.
std::string MailText(std::string_view text, bool utf8, TMailCharset charset);

// A line of a UTF-8 settings file that held characters Shift_JIS lacks.
struct TIniCharNote {
    size_t Line;         // from 1
    std::string Chars;   // "U+1F600 U+2B50", ill-formed bytes as "0xC0"
};

// The lines of a settings file saved as UTF-8, converted in place to the
// Shift_JIS every reader expects; a character it lacks becomes the geta mark
// and is noted.
std::vector<TIniCharNote> ConvertUtf8IniLines(TStringList& lines);

}  // namespace quorvel
