#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "record/endian.h"
#include "record/if_dump.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::record {
namespace {

constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// Out of line and shared by all thirteen integer fields, so that unrolling the lines adds
// little code. The buffer is sized for the widest value of every field, so this cannot run
// short. Written out rather than std::to_chars, whose digit loop libc++ keeps in the C++
// library, which the daemon does not link.
[[gnu::noinline]] [[nodiscard]] char* putDecimal(char* out, std::uint32_t value) noexcept {
    std::array<char, 10> digits{};
    std::size_t first = digits.size();
    do {
        digits[--first] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    const std::size_t length = digits.size() - first;
    std::memcpy(out, digits.data() + first, length);
    return out + length;
}

[[nodiscard]] char* putSigned(char* out, std::int32_t value) noexcept {
    if (value < 0) *out++ = '-';
    // The magnitude in unsigned arithmetic, which -2147483648 needs.
    const auto bits = static_cast<std::uint32_t>(value);
    return putDecimal(out, value < 0 ? 0U - bits : bits);
}

[[nodiscard]] char* putMac(char* out, const unsigned char* mac) noexcept {
    for (std::size_t i = 0; i < 6; ++i) {
        if (i != 0) *out++ = ':';
        *out++ = kHexDigits[mac[i] >> 4];
        *out++ = kHexDigits[mac[i] & 0x0f];
    }
    return out;
}

[[nodiscard]] char* putText(char* out, const unsigned char* text, std::size_t width) noexcept {
    const void* nul = std::memchr(text, '\0', width);
    const std::size_t length =
        nul == nullptr ? width
                       : static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - text);
    std::memcpy(out, text, length);
    return out + length;
}

// The integer fields' offsets, picked from the table at compile time: a conversion walks
// these thirteen instead of testing all 23 fields.
constexpr auto kIntegerOffsets = [] {
    std::array<std::uint16_t, detail::integerFieldCount()> offsets{};
    std::size_t at = 0;
    for (const Field& field : kIfFields) {
        if (isInteger(field.kind)) offsets[at++] = static_cast<std::uint16_t>(field.offset);
    }
    return offsets;
}();

void swapIntegers(AdslIfObject* obj) noexcept {
    auto* bytes = reinterpret_cast<unsigned char*>(obj);
    for (const std::size_t offset : kIntegerOffsets) {
        unsigned char* at = bytes + offset;
        endian::storeHost32(at, endian::swapHostNet32(endian::loadHost32(at)));
    }
}

// A field's name and separator as one constant, so that each line starts with one copy of a
// size known at compile time.
template <std::size_t Index>
constexpr auto kLineHead = [] {
    constexpr std::string_view name = kIfFields[Index].name;
    std::array<char, name.size() + kDumpSeparator.size()> head{};
    std::size_t at = 0;
    for (const char c : name) head[at++] = c;
    for (const char c : kDumpSeparator) head[at++] = c;
    return head;
}();

// The printed form is chosen at compile time, so a line reads neither the table nor a switch
// at run time, whether or not the compiler inlines it (at -Os it does not).
template <std::size_t Index>
[[nodiscard]] char* putLine(char* out, const unsigned char* bytes) noexcept {
    constexpr Field kField = kIfFields[Index];
    std::memcpy(out, kLineHead<Index>.data(), kLineHead<Index>.size());
    out += kLineHead<Index>.size();
    const unsigned char* field = bytes + kField.offset;
    if constexpr (kField.kind == FieldKind::Flag) {
        out = putSigned(out, static_cast<std::int32_t>(endian::loadHost32(field)));
    } else if constexpr (isInteger(kField.kind)) {
        // %lu of a 32-bit value widened to unsigned long prints the digits %u does.
        out = putDecimal(out, endian::loadHost32(field));
    } else if constexpr (kField.kind == FieldKind::Mac) {
        out = putMac(out, field);
    } else {
        out = putText(out, field, kField.size);
    }
    *out++ = '\n';
    return out;
}

// Unrolled at compile time: the table walk, the choice of printed form and the name's length
// cost nothing per event.
template <std::size_t... Index>
[[nodiscard]] char* putLines(char* out, const unsigned char* bytes,
                             std::index_sequence<Index...>) noexcept {
    ((out = putLine<Index>(out, bytes)), ...);
    return out;
}

}  // namespace

std::size_t formatIfObject(const AdslIfObject& obj, std::span<char, kDumpMaxChars> out) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&obj);
    const char* end = putLines(out.data(), bytes, std::make_index_sequence<kIfFields.size()>());
    return static_cast<std::size_t>(end - out.data());
}

}  // namespace velm::record

extern "C" int htonIfObject(AdslIfObject* obj) {
    velm::record::swapIntegers(obj);
    return 0;
}

extern "C" int ntohIfObject(AdslIfObject* obj) {
    velm::record::swapIntegers(obj);
    return 0;
}

extern "C" int adslIfDump(const AdslIfObject* obj) {
    std::array<char, velm::record::kDumpMaxChars> text;
    const std::size_t length = velm::record::formatIfObject(*obj, text);
    // One stdio call, so the 23 lines reach standard output in one piece even when the
    // event service runs the handler on a thread of its own.
    std::fwrite(text.data(), 1, length, stdout);
    return 0;
}
