// How the peer monitor's JSON and the log pipe's dumps tell a text's characters from stray
// bytes: one rule for both, so that the log shows a text as the peer does.
#pragma once

#include <cstddef>
#include <string_view>

namespace velm::tools {

// The length of the well-formed UTF-8 sequence that starts `bytes` (no overlong form, no
// surrogate, nothing above U+10FFFF); 0 when there is none.
[[nodiscard]] constexpr std::size_t utf8Length(std::string_view bytes) noexcept {
    const auto at = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;
    std::size_t length = 4;
    unsigned char low = 0x80;  // the range of the second byte, narrowed by the lead
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf) return 0;
    }
    return length;
}

static_assert(utf8Length("\xc3\xa9") == 2 && utf8Length("\xe2\x82\xac") == 3);
static_assert(utf8Length("\xf0\x9f\x98\x80") == 4 && utf8Length("\xf4\x90\x80\x80") == 0);
static_assert(utf8Length("\xc0\x80") == 0 && utf8Length("\xed\xa0\x80") == 0);

}  // namespace velm::tools
