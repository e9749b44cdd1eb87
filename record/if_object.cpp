#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "record/endian.h"
#include "record/if_dump.h"
#include "record/if_fields.h"
#include "record/mgmt_event.h"

namespace velm::record {
namespace {

constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

[[nodiscard]] char* put(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

template <typename Integer>
[[nodiscard]] char* putDecimal(char* out, Integer value) noexcept {
    // The buffer is sized for the widest value of every field, so this cannot run short.
    return std::to_chars(out, out + 20, value).ptr;
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

[[nodiscard]] char* putValue(char* out, const unsigned char* field, const Field& desc) noexcept {
    switch (desc.kind) {
        case FieldKind::Flag:
            return putDecimal(out, static_cast<std::int32_t>(endian::loadHost32(field)));
        case FieldKind::Unsigned:
            return putDecimal(out, endian::loadHost32(field));
        case FieldKind::UnsignedLong:
            return putDecimal(out, static_cast<unsigned long>(endian::loadHost32(field)));
        case FieldKind::Mac:
            return putMac(out, field);
        case FieldKind::Text:
            return putText(out, field, desc.size);
    }
    return out;
}

void swapIntegers(AdslIfObject* obj) noexcept {
    auto* bytes = reinterpret_cast<unsigned char*>(obj);
    for (const Field& field : kIfFields) {
        if (!isInteger(field.kind)) continue;
        unsigned char* at = bytes + field.offset;
        endian::storeHost32(at, endian::swapHostNet32(endian::loadHost32(at)));
    }
}

}  // namespace

std::size_t formatIfObject(const AdslIfObject& obj, std::span<char, kDumpMaxChars> out) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&obj);
    char* at = out.data();
    for (const Field& field : kIfFields) {
        at = put(at, field.name);
        at = put(at, kDumpSeparator);
        at = putValue(at, bytes + field.offset, field);
        *at++ = '\n';
    }
    return static_cast<std::size_t>(at - out.data());
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
