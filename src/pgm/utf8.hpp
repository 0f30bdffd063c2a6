#pragma once
// Strict UTF-8 validation of a whole input file (RFC 3629): no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence at the end.

#include <string_view>

namespace quillmere::pgm {

bool is_valid_utf8(std::string_view text);

}  // namespace quillmere::pgm
