#pragma once
// Japanese trace texts of the SMTP client, as the Shift_JIS bytes they are
// written in. Generated with iconv -f UTF-8 -t CP932.

namespace quorvel::mailtext {

// "応答待機の間に例外が発生 : "
inline constexpr char kWaitException[] =
    "\x89\x9e\x93\x9a\x91\xd2\x8b\x40\x82\xcc\x8a\xd4\x82\xc9\x97\xe1\x8a\x4f\x82\xaa\x94\xad"
    "\x90\xb6\x20\x3a\x20";

}  // namespace quorvel::mailtext
