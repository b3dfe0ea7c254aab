#include "platform/TextEncoding.h"

#include "platform/TextEncodingBackend.h"
#include "util/Utf8Text.h"

namespace quorvel::platform {

std::string Utf8ToSjis(std::string_view utf8, std::vector<size_t>* missing) {
    // Most of what senders send is ASCII, which both read alike.
    bool ascii = true;
    for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(utf8);
    // An ill-formed piece turns into U+FFFD, which code page 932 lacks, so
    // the system's step marks it like any other missing character.
    std::vector<size_t> marks;
    std::string sjis = EncodeCodePage932(FoldJisVariants(CleanUtf8(utf8, kReplacementUtf8)), marks);
    if (missing != nullptr) missing->insert(missing->end(), marks.begin(), marks.end());
    return sjis;
}

}  // namespace quorvel::platform
