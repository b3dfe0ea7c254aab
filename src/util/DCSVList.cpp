#include "util/DCSVList.h"

#include "util/jconvert.h"

namespace quorvel {

namespace {

std::string WithoutBlanks(const std::string& line, size_t from, size_t to) {
    std::string field;
    for (size_t i = from; i < to; ++i) {
        if (line[i] != ' ' && line[i] != '\t') field += line[i];
    }
    return field;
}

// Inside a quoted field every quote comes in pairs (a lone one closes it).
std::string Unquote(const std::string& text) {
    std::string field;
    for (size_t i = 0; i < text.size(); ++i) {
        field += text[i];
        if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') ++i;
    }
    return field;
}

}  // namespace

void TCSVList::SetLine(const std::string& line) {
    count_ = 0;
    fields_.clear();
    line_ = line;
    const size_t n = line_.size();
    size_t start = 0;
    bool inQuotes = false;
    bool inField = false;
    bool doubledQuote = false;

    auto endUnquoted = [&](size_t end) {
        fields_.push_back(WithoutBlanks(line_, start, end));
        ++count_;
    };
    auto endQuoted = [&](size_t closing) {
        std::string field = line_.substr(start + 1, closing - start - 1);
        if (doubledQuote) {
            field = Unquote(field);
            doubledQuote = false;
        }
        fields_.push_back(std::move(field));
        ++count_;
    };

    size_t p = 0;
    for (; p < n; ++p) {
        const char c = line_[p];
        if (IsSJISLeadByte(static_cast<unsigned char>(c))) {
            if (!inQuotes && !inField) {
                start = p;
                inField = true;
            }
            // The trail byte may equal a delimiter byte; it is never one.
            // A lead byte at the very end has no trail: the loop just ends.
            ++p;
        } else if (c == delimiter_ || c == ' ' || c == '\t') {
            if (inField && !inQuotes) {
                endUnquoted(p);
                inField = false;
            }
        } else if (c == '"') {
            if (inQuotes && p + 1 < n && line_[p + 1] == '"') {
                doubledQuote = true;
                ++p;
            } else if (inQuotes) {
                endQuoted(p);
                inQuotes = false;
            } else {
                start = p;
                inQuotes = true;
            }
            inField = false;
        } else if (!inQuotes && !inField) {
            start = p;
            inField = true;
        }
    }
    if (inField) endUnquoted(n);
}

}  // namespace quorvel
