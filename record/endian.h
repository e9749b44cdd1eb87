// Unaligned, byte-order-explicit access to the record's integers.
//
// The record is packed, five of its integers sit at offsets that are not multiples of four,
// and the record itself may start at any address. Every integer read or write on a record
// goes through this pair, so that nothing ever does a plain aligned 32-bit access on its
// memory (a bus error on strict-alignment CPUs, silent garbage on some ARM cores).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velm::endian {

static_assert(std::endian::native == std::endian::big || std::endian::native == std::endian::little,
              "mixed-endian hosts are not supported");

// memcpy of four bytes is the one spelling every compiler lowers to an access that is safe at
// any alignment (byte loads on ARMv5, lwl/lwr on MIPS, a plain load where that is allowed).
[[nodiscard]] inline std::uint32_t loadHost32(const unsigned char* p) noexcept {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline void storeHost32(unsigned char* p, std::uint32_t value) noexcept {
    std::memcpy(p, &value, sizeof value);
}

// Host to network order and back: the same permutation in both directions.
[[nodiscard]] constexpr std::uint32_t swapHostNet32(std::uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        return value;
    } else {
        return __builtin_bswap32(value);
    }
}

}  // namespace velm::endian
