#pragma once
// The one step of Utf8ToSjis that needs the system's table (backend-internal).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::platform {

// Well-formed UTF-8 in; a character code page 932 lacks becomes the geta
// mark, its offset appended to missing.
std::string EncodeCodePage932(std::string_view utf8, std::vector<size_t>& missing);

}  // namespace quorvel::platform
