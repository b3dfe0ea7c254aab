#pragma once
// Splits one line into fields separated by the delimiter, blanks or tabs,
// with double-quoted fields; Shift_JIS trail bytes are never separators.

#include <string>
#include <vector>

namespace quorvel {

class TCSVList {
public:
    TCSVList() = default;

    void SetLine(const std::string& line);

    int Count() const { return count_; }
    // index must be below Count().
    const std::string& Fields(int index) const { return fields_[static_cast<size_t>(index)]; }

    char Delimiter() const { return delimiter_; }
    void SetDelimiter(char delimiter) { delimiter_ = delimiter; }

private:
    int count_ = 0;
    std::string line_;
    char delimiter_ = ',';
    std::vector<std::string> fields_;
};

}  // namespace quorvel
