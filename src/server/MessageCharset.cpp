// UTF-8 messages beside Shift_JIS ones: telling them apart, matching
// keywords in them, and reading a Quorvel.ini saved as UTF-8.

#include "server/MessageCharset.h"

#include "platform/TextEncoding.h"
#include "util/Chars.h"
#include "util/Utf8Text.h"

namespace quorvel {

namespace {

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::string HexCode(const char* prefix, uint32_t value, int digits) {
    std::string out(prefix);
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += HexDigit(value >> shift, true);
    return out;
}

}  // namespace

bool ContainsAtCharacterStart(std::string_view text, std::string_view keyword) {
    size_t boundary = 0;  // a known character start at or before the candidate
    for (size_t pos = text.find(keyword); pos != std::string_view::npos; pos = text.find(keyword, pos + 1)) {
        while (boundary < pos) boundary += IsSJISLeadByte(static_cast<unsigned char>(text[boundary])) ? 2 : 1;
        if (boundary == pos) return true;
    }
    return false;
}

bool ReadsAsUtf8(TMessageCharset charset, std::string_view message) {
    if (charset == TMessageCharset::Auto) return DetectTextCharset(message) == TTextCharset::Utf8;
    return charset == TMessageCharset::Utf8;
}

const TKeyword* FindKeywordInUtf8(const TKeywordList& keywords, std::string_view message) {
    const std::string_view searched = message.substr(0, message.find('\0'));
    // Converted once, and only for the first keyword that is not ASCII: an
    // ASCII byte never lies inside a UTF-8 sequence, so an ASCII keyword is
    // found in the bytes as they came, at a character start by nature.
    std::vector<size_t> marks;
    std::string sjis;
    bool converted = false;
    for (const TKeyword& keyword : keywords) {
        if (keyword.Keyword.empty()) continue;
        if (IsAscii(keyword.Keyword)) {
            if (searched.find(keyword.Keyword) != std::string_view::npos) return &keyword;
            continue;
        }
        if (!converted) {
            // The IBM kanji are folded on both sides: the same character may
            // reach the file and the message as either of code page 932's two forms.
            sjis = FoldIbmExtensions(platform::Utf8ToSjis(searched, &marks));
            converted = true;
        }
        const std::string_view text(sjis);
        const std::string folded = FoldIbmExtensions(keyword.Keyword);
        // A mark stands for a character no keyword can hold: the pieces
        // between the marks are searched, each starting on a character.
        size_t start = 0;
        for (size_t i = 0; i <= marks.size(); ++i) {
            const size_t end = i < marks.size() ? marks[i] : text.size();
            if (ContainsAtCharacterStart(text.substr(start, end - start), folded)) return &keyword;
            start = end + kGetaSjis.size();
        }
    }
    return nullptr;
}

std::string ReplaceControlBytes(std::string_view text, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        } else if (c != '\0') {
            out += replacement;
        }
    }
    return out;
}

std::string MailText(std::string_view text, bool utf8, TMailCharset charset) {
    if (charset == MC_UTF8) return utf8 ? CleanUtf8(text, kGetaUtf8) : platform::SjisToUtf8(text, kGetaUtf8);
    return utf8 ? FoldIbmExtensions(platform::Utf8ToSjis(text)) : std::string(text);
}

std::vector<TIniCharNote> ConvertUtf8IniLines(TStringList& lines) {
    std::vector<TIniCharNote> notes;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        std::vector<size_t> marks;
        std::string sjis = FoldIbmExtensions(platform::Utf8ToSjis(line, &marks));
        if (!marks.empty()) {
            TIniCharNote note{i + 1, {}};
            // Character by character, only for the rare line that needs it.
            auto name = [&note](const std::string& code) { note.Chars += (note.Chars.empty() ? "" : " ") + code; };
            for (size_t pos = 0; pos < line.size();) {
                const size_t length = Utf8CharLength(line, pos);
                if (length == 0) {
                    name(HexCode("0x", static_cast<unsigned char>(line[pos]), 2));
                    ++pos;
                    continue;
                }
                std::vector<size_t> missing;
                if (length > 1) platform::Utf8ToSjis(line.substr(pos, length), &missing);
                const uint32_t cp = Utf8CodePoint(line, pos);
                if (!missing.empty()) name(HexCode("U+", cp, cp > 0xFFFF ? 5 : 4));
                pos += length;
            }
            notes.push_back(std::move(note));
        }
        line = std::move(sjis);
    }
    return notes;
}

}  // namespace quorvel
