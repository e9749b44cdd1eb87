// The 1- and 2-byte atomics, on every lane of a word, with values whose top bit is set. On
// ARMv5 each one is a call into the toolchain's runtime (scripts/armeb-atomics.c on the
// device), which works on the whole aligned word: it must change its own lane only, whatever
// the upper bits of the register the caller passed (GCC sign-extends such values), and in
// either byte order. Both builtin families are used: std::atomic's and GCC's older __sync_*.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

// clang on ARMv5 warns of each of these as a call instead of an instruction: that call is
// what this test is about.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Watomic-alignment"
#endif

#if defined(__arm__) && __ARM_ARCH < 6
// No compiler calls these for a builtin (each makes it of the value form), but the runtime has
// them: called by name, with the values sign-extended as GCC passes them.
extern "C" bool velmBoolCas1(volatile void*, unsigned,
                             unsigned) __asm__("__sync_bool_compare_and_swap_1");
extern "C" bool velmBoolCas2(volatile void*, unsigned,
                             unsigned) __asm__("__sync_bool_compare_and_swap_2");
#endif

namespace {

template <typename T>
class SubwordAtomics : public ::testing::Test {};
using Widths = ::testing::Types<std::uint8_t, std::uint16_t>;
TYPED_TEST_SUITE(SubwordAtomics, Widths);

// The byte repeated across the width: 0xc8 or 0xc8c8.
template <typename T>
constexpr T v(unsigned byte) {
    return static_cast<T>(byte * 0x01010101U);
}

// The lanes of one word, the others holding values with clear top bits, which a spilled 0xff
// or a lane picked in the wrong byte order would change.
template <typename T>
struct Word {
    static constexpr std::size_t kLanes = 4 / sizeof(T);
    alignas(4) T lanes[kLanes];
    static T background(std::size_t lane) { return v<T>(0x11U * static_cast<unsigned>(lane + 1)); }
    Word() {
        for (std::size_t i = 0; i < kLanes; ++i) lanes[i] = background(i);
    }
    // Whether lane `at` holds `value` and every other lane its background.
    [[nodiscard]] testing::AssertionResult holds(std::size_t at, T value) const {
        bool right = true;
        testing::Message message;
        message << std::hex << "the lanes hold";
        for (std::size_t i = 0; i < kLanes; ++i) {
            right = right && lanes[i] == (i == at ? value : background(i));
            message << " 0x" << +lanes[i];
        }
        if (right) return testing::AssertionSuccess();
        return testing::AssertionFailure() << (message << "; lane " << at << " should be 0x"
                                                       << +value << ", the others as were");
    }
};

TYPED_TEST(SubwordAtomics, EachOperationChangesItsOwnLaneOnlyAndReturnsWhatItShould) {
    using T = TypeParam;
    constexpr int kOrder = __ATOMIC_SEQ_CST;
    for (std::size_t at = 0; at < Word<T>::kLanes; ++at) {
        SCOPED_TRACE(testing::Message() << sizeof(T) << " bytes, lane " << at);
        Word<T> word;
        T* lane = &word.lanes[at];
        *lane = v<T>(0xc8);
        EXPECT_EQ(__atomic_exchange_n(lane, v<T>(0x90), kOrder), v<T>(0xc8));
        EXPECT_TRUE(word.holds(at, v<T>(0x90)));
        T expected = v<T>(0x90);
        EXPECT_TRUE(
            __atomic_compare_exchange_n(lane, &expected, v<T>(0xc8), false, kOrder, kOrder));
        EXPECT_TRUE(word.holds(at, v<T>(0xc8)));
        // A failed one says so, and what it found.
        expected = v<T>(0x90);
        EXPECT_FALSE(
            __atomic_compare_exchange_n(lane, &expected, v<T>(0xa5), false, kOrder, kOrder));
        EXPECT_EQ(expected, v<T>(0xc8));
        EXPECT_TRUE(word.holds(at, v<T>(0xc8)));

        EXPECT_EQ(__sync_lock_test_and_set(lane, v<T>(0x90)), v<T>(0xc8));
        EXPECT_EQ(__sync_val_compare_and_swap(lane, v<T>(0x90), v<T>(0xc8)), v<T>(0x90));
        EXPECT_FALSE(__sync_bool_compare_and_swap(lane, v<T>(0x90), v<T>(0xa5)));
        EXPECT_EQ(__sync_val_compare_and_swap(lane, v<T>(0x90), v<T>(0xa5)), v<T>(0xc8));
        EXPECT_TRUE(__sync_bool_compare_and_swap(lane, v<T>(0xc8), v<T>(0x41)));
        EXPECT_TRUE(word.holds(at, v<T>(0x41)));
#if defined(__arm__) && __ARM_ARCH < 6
        const auto boolCas = sizeof(T) == 1 ? velmBoolCas1 : velmBoolCas2;
        const auto extended = [](unsigned byte) {
            return static_cast<unsigned>(static_cast<std::make_signed_t<T>>(v<T>(byte)));
        };
        EXPECT_FALSE(boolCas(lane, extended(0x90), extended(0xa5)));
        EXPECT_TRUE(boolCas(lane, extended(0x41), extended(0xc8)));
        EXPECT_TRUE(word.holds(at, v<T>(0xc8)));
        EXPECT_TRUE(boolCas(lane, extended(0xc8), extended(0x41)));
        EXPECT_TRUE(word.holds(at, v<T>(0x41)));
#endif

        EXPECT_EQ(__atomic_fetch_or(lane, v<T>(0x80), kOrder), v<T>(0x41));
        EXPECT_EQ(__atomic_or_fetch(lane, v<T>(0x82), kOrder), v<T>(0xc3));
        EXPECT_EQ(__sync_fetch_and_or(lane, v<T>(0x84)), v<T>(0xc3));
        EXPECT_EQ(__sync_or_and_fetch(lane, v<T>(0x88)), v<T>(0xcf));
        EXPECT_TRUE(word.holds(at, v<T>(0xcf)));

        // A carry out of the lane is lost, not added to its neighbour.
        *lane = v<T>(0x7f);
        EXPECT_EQ(__atomic_fetch_add(lane, v<T>(0x81), kOrder), v<T>(0x7f));
        T now = static_cast<T>(v<T>(0x7f) + v<T>(0x81));
        EXPECT_EQ(__atomic_add_fetch(lane, v<T>(0x90), kOrder), static_cast<T>(now + v<T>(0x90)));
        now = static_cast<T>(now + v<T>(0x90));
        EXPECT_EQ(__sync_fetch_and_add(lane, v<T>(0xc8)), now);
        now = static_cast<T>(now + v<T>(0xc8));
        EXPECT_EQ(__sync_add_and_fetch(lane, v<T>(0xf0)), static_cast<T>(now + v<T>(0xf0)));
        EXPECT_TRUE(word.holds(at, static_cast<T>(now + v<T>(0xf0))));
    }
}

}  // namespace
