#include "pgm/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace quillmere::pgm {
namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Files are mostly ASCII: skip eight bytes at a time while none has its top bit set.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The lead byte fixes the length and the range the second byte may take, which excludes
        // overlong forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i < length) return false;
        if (s[i + 1] < low || s[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (!is_continuation(s[i + k])) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace quillmere::pgm
