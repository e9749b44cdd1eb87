// The 1- and 2-byte atomics on every lane of a word, with values whose top bit is set. On ARMv5
// each is a call into the toolchain's runtime (toolchain/armeb-atomics.c on the device), which
// works on the whole aligned word: it must change its own lane only, in either byte order,
// whatever the upper bits of the register it is passed (GCC sign-extends such values).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#if defined(__arm__) && __ARM_ARCH < 6
// No compiler calls these for a builtin, which each makes of the value form: called by name.
using BoolCas = bool(volatile void*, unsigned, unsigned);
extern "C" BoolCas velmBoolCas1 __asm__("__sync_bool_compare_and_swap_1");
extern "C" BoolCas velmBoolCas2 __asm__("__sync_bool_compare_and_swap_2");
#endif

namespace {

// The byte repeated across the width: 0xc8 or 0xc8c8.
template <typename T>
constexpr T v(unsigned byte) {
    return static_cast<T>(byte * 0x01010101U);
}

// A word whose lanes hold values with clear top bits, which a spilled 0xff or a lane picked in
// the wrong byte order would change; lane `at` holds `value`.
template <typename T>
struct Word {
    static constexpr std::size_t kLanes = 4 / sizeof(T);
    alignas(4) T lanes[kLanes];
    explicit Word(std::size_t at, T value) {
        for (std::size_t i = 0; i < kLanes; ++i)
            lanes[i] = i == at ? value : v<T>(0x11U * (1U + static_cast<unsigned>(i)));
    }
    [[nodiscard]] std::vector<unsigned> seen() const { return {lanes, lanes + kLanes}; }
};

template <typename T>
void expectEveryLaneRight() {
    constexpr int kSeq = __ATOMIC_SEQ_CST;
    for (std::size_t at = 0; at < Word<T>::kLanes; ++at) {
        SCOPED_TRACE(testing::Message() << sizeof(T) << " bytes, lane " << at);
        Word<T> word(at, v<T>(0xc8));
        T* lane = &word.lanes[at];
        const auto only = [&](unsigned byte) { return Word<T>(at, v<T>(byte)).seen(); };
        EXPECT_EQ(__atomic_exchange_n(lane, v<T>(0x90), kSeq), v<T>(0xc8));
        EXPECT_EQ(word.seen(), only(0x90));
        T expected = v<T>(0x90);
        EXPECT_TRUE(__atomic_compare_exchange_n(lane, &expected, v<T>(0xc8), false, kSeq, kSeq));
        EXPECT_EQ(word.seen(), only(0xc8));
        // A failed one says so, and what it found.
        expected = v<T>(0x90);
        EXPECT_FALSE(__atomic_compare_exchange_n(lane, &expected, v<T>(0xa5), false, kSeq, kSeq));
        EXPECT_EQ(expected, v<T>(0xc8));
        EXPECT_EQ(__sync_lock_test_and_set(lane, v<T>(0x90)), v<T>(0xc8));
        EXPECT_EQ(__sync_val_compare_and_swap(lane, v<T>(0x90), v<T>(0xc8)), v<T>(0x90));
        EXPECT_FALSE(__sync_bool_compare_and_swap(lane, v<T>(0x90), v<T>(0xa5)));
        EXPECT_EQ(word.seen(), only(0xc8));
#if defined(__arm__) && __ARM_ARCH < 6
        // With the values sign-extended, as GCC passes them.
        const auto boolCas = sizeof(T) == 1 ? velmBoolCas1 : velmBoolCas2;
        const auto wide = [](unsigned byte) {
            return static_cast<unsigned>(static_cast<std::make_signed_t<T>>(v<T>(byte)));
        };
        EXPECT_FALSE(boolCas(lane, wide(0x90), wide(0xa5)));
        EXPECT_TRUE(boolCas(lane, wide(0xc8), wide(0x90)));
        EXPECT_EQ(word.seen(), only(0x90));
#endif
        EXPECT_TRUE(__sync_bool_compare_and_swap(lane, *lane, v<T>(0x41)));
        EXPECT_EQ(__atomic_fetch_or(lane, v<T>(0x80), kSeq), v<T>(0x41));
        EXPECT_EQ(__sync_or_and_fetch(lane, v<T>(0x82)), v<T>(0xc3));
        EXPECT_EQ(word.seen(), only(0xc3));
        // A carry out of the lane is lost, not added to its neighbour.
        *lane = v<T>(0x7f);
        const T sum = static_cast<T>(v<T>(0x7f) + v<T>(0x81) + v<T>(0x90));
        const T total = static_cast<T>(sum + v<T>(0xf0));
        EXPECT_EQ(__atomic_fetch_add(lane, v<T>(0x81), kSeq), v<T>(0x7f));
        EXPECT_EQ(__atomic_add_fetch(lane, v<T>(0x90), kSeq), sum);
        EXPECT_EQ(__sync_add_and_fetch(lane, v<T>(0xf0)), total);
        EXPECT_EQ(word.seen(), Word<T>(at, total).seen());
    }
}

TEST(SubwordAtomics, EachOperationChangesItsOwnLaneOnlyAndReturnsWhatItShould) {
    expectEveryLaneRight<std::uint8_t>();
    expectEveryLaneRight<std::uint16_t>();
}

}  // namespace
