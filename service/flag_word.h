// Relaxed atomic load and store of an aligned 32-bit word shared between threads: the
// daemon's exported loop flag, which the event service may clear while the daemon waits.
#pragma once

#include <cstdint>

namespace velm::service {

// The compiler's atomic builtins wherever they are lock-free for a word, as GCC says they are
// on every target here. clang 14 says not on ARMv5, which has no ldrex/strex, and would make
// each access a runtime call; but an aligned word load or store is single-copy atomic on every
// ARM, so there a volatile access gives the plain ldr/str that GCC makes of the builtins.
inline constexpr bool kWordBuiltinsLockFree = __atomic_always_lock_free(sizeof(std::int32_t), 0);
#ifndef __arm__
static_assert(kWordBuiltinsLockFree, "a relaxed word access needs a lock here");
#endif

[[nodiscard]] inline std::int32_t loadFlagWord(const std::int32_t* word) noexcept {
    if constexpr (kWordBuiltinsLockFree) {
        return __atomic_load_n(word, __ATOMIC_RELAXED);
    } else {
        return *static_cast<const volatile std::int32_t*>(word);
    }
}

inline void storeFlagWord(std::int32_t* word, std::int32_t value) noexcept {
    if constexpr (kWordBuiltinsLockFree) {
        __atomic_store_n(word, value, __ATOMIC_RELAXED);
    } else {
        *static_cast<volatile std::int32_t*>(word) = value;
    }
}

}  // namespace velm::service
