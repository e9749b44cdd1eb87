/* Atomic operations for ARMv5 (XScale) Linux, for the compiler runtime.
 *
 * ARMv5 has no ldrex/strex, so compilers turn atomics into calls: GCC into __sync_*_N (and
 * __atomic_*_8), clang into __atomic_*_N. GCC's libgcc and libatomic provide those through
 * the kernel's user helpers; this file does the same for this toolchain, which has neither.
 * The helpers (Linux: Documentation/arm/kernel_user_helpers.rst; qemu-user emulates them):
 *   __kuser_cmpxchg   0xffff0fc0  int (int old, int new, volatile int *ptr), 0 when stored
 *   __kuser_memory_barrier 0xffff0fa0
 *   __kuser_cmpxchg64 0xffff0f60  int (const int64 *old, const int64 *new, volatile int64 *)
 * All state lives in the object operated on, so every module may carry its own (hidden) copy.
 * Built with clang; the asm labels give the functions the names compilers treat as builtins.
 *
 * A 1- or 2-byte value arrives as a whole register whose upper bits are the caller's business:
 * GCC passes a value with its top bit set sign-extended (0xc8 as 0xffffffc8), and clang's own
 * __sync_* calls do not zero-extend either. So every value parameter is a full word (arg_t),
 * truncated here: declared as uint8_t, clang would trust the upper bits to be zero and drop
 * the masks, and such a value would spill 0xff into the other lanes and compare unequal.
 */
#include <stdint.h>
#include <stdbool.h>

typedef int kuser_cmpxchg_t(int oldval, int newval, volatile int *ptr);
typedef void kuser_dmb_t(void);
typedef int kuser_cmpxchg64_t(const int64_t *oldval, const int64_t *newval,
                              volatile int64_t *ptr);
#define kuser_cmpxchg (*(kuser_cmpxchg_t *)0xffff0fc0)
#define kuser_dmb (*(kuser_dmb_t *)0xffff0fa0)
#define kuser_cmpxchg64 (*(kuser_cmpxchg64_t *)0xffff0f60)

#define HIDDEN __attribute__((visibility("hidden")))

typedef uint32_t arg_t;

enum op { OP_XCHG, OP_ADD, OP_SUB, OP_AND, OP_OR, OP_XOR, OP_NAND };

/* Every operation is exact modulo 2^32 too: the 32-bit and narrower ones truncate this. */
static inline uint64_t apply(enum op o, uint64_t a, uint64_t b)
{
    switch (o) {
    case OP_XCHG: return b;
    case OP_ADD: return a + b;
    case OP_SUB: return a - b;
    case OP_AND: return a & b;
    case OP_OR: return a | b;
    case OP_XOR: return a ^ b;
    default: return ~(a & b);
    }
}

static inline uint32_t lane_mask(unsigned size)
{
    return size == 4 ? 0xffffffffu : size == 2 ? 0xffffu : 0xffu;
}

/* Where a 1- or 2-byte object sits in its aligned word, as a shift count. */
static inline unsigned subword_shift(volatile void *p, unsigned size)
{
    unsigned offset = (unsigned)((uintptr_t)p & 3u);
#ifdef __ARMEB__
    return (4u - size - offset) * 8u;
#else
    (void)size;
    return offset * 8u;
#endif
}

/* Atomically replaces the SIZE-byte value at P by apply(o, old, v), truncated; returns old. */
static uint32_t rmw(volatile void *p, unsigned size, enum op o, uint32_t v)
{
    if (size == 4) {
        volatile int *w = (volatile int *)p;
        uint32_t old;
        do {
            old = (uint32_t)*w;
        } while (kuser_cmpxchg((int)old, (int)(uint32_t)apply(o, old, v), w) != 0);
        return old;
    }
    volatile int *w = (volatile int *)((uintptr_t)p & ~(uintptr_t)3);
    unsigned shift = subword_shift(p, size);
    uint32_t mask = lane_mask(size);
    uint32_t oldw, neww, old;
    v &= mask;
    do {
        oldw = (uint32_t)*w;
        old = (oldw >> shift) & mask;
        neww = (oldw & ~(mask << shift)) | (((uint32_t)apply(o, old, v) & mask) << shift);
    } while (kuser_cmpxchg((int)oldw, (int)neww, w) != 0);
    return old;
}

/* Compare and swap; returns the value seen, which equals EXPECTED when DESIRED was stored. */
static uint32_t cas(volatile void *p, unsigned size, uint32_t expected, uint32_t desired)
{
    volatile int *w = (volatile int *)((uintptr_t)p & ~(uintptr_t)3);
    unsigned shift = size == 4 ? 0 : subword_shift(p, size);
    uint32_t mask = lane_mask(size);
    expected &= mask;
    desired &= mask;
    for (;;) {
        uint32_t oldw = (uint32_t)*w;
        uint32_t old = (oldw >> shift) & mask;
        if (old != expected)
            return old;
        uint32_t neww = (oldw & ~(mask << shift)) | (desired << shift);
        if (kuser_cmpxchg((int)oldw, (int)neww, w) == 0)
            return expected;
    }
}

static uint64_t rmw64(volatile void *p, enum op o, uint64_t v)
{
    volatile int64_t *q = (volatile int64_t *)p;
    int64_t old, neww;
    do {
        old = *q;
        neww = (int64_t)apply(o, (uint64_t)old, v);
    } while (kuser_cmpxchg64(&old, &neww, q) != 0);
    return (uint64_t)old;
}

static uint64_t cas64(volatile void *p, uint64_t expected, uint64_t desired)
{
    volatile int64_t *q = (volatile int64_t *)p;
    int64_t e = (int64_t)expected, d = (int64_t)desired;
    for (;;) {
        int64_t old = *q;
        if (old != e)
            return (uint64_t)old;
        if (kuser_cmpxchg64(&e, &d, q) == 0)
            return expected;
    }
}

static uint64_t load64(volatile void *p)
{
    volatile int64_t *q = (volatile int64_t *)p;
    int64_t old;
    do {
        old = *q;
    } while (kuser_cmpxchg64(&old, &old, q) != 0);
    return (uint64_t)old;
}

/* A function under a name compilers reserve for a builtin. */
#define FN(ret, name, params) \
    HIDDEN ret name##_impl params __asm__(#name); \
    HIDDEN ret name##_impl params

/* ---- __sync_*: GCC's calls for ARMv5 ---- */
FN(void, __sync_synchronize, (void)) { kuser_dmb(); }

#define SYNC_SIZED(N, T) \
    FN(T, __sync_fetch_and_add_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_ADD, v); } \
    FN(T, __sync_fetch_and_sub_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_SUB, v); } \
    FN(T, __sync_fetch_and_and_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_AND, v); } \
    FN(T, __sync_fetch_and_or_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_OR, v); } \
    FN(T, __sync_fetch_and_xor_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_XOR, v); } \
    FN(T, __sync_fetch_and_nand_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_NAND, v); } \
    FN(T, __sync_add_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)(rmw(p, N, OP_ADD, v) + v); } \
    FN(T, __sync_sub_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)(rmw(p, N, OP_SUB, v) - v); } \
    FN(T, __sync_and_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)(rmw(p, N, OP_AND, v) & v); } \
    FN(T, __sync_or_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)(rmw(p, N, OP_OR, v) | v); } \
    FN(T, __sync_xor_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)(rmw(p, N, OP_XOR, v) ^ v); } \
    FN(T, __sync_nand_and_fetch_##N, (volatile void *p, arg_t v)) { return (T)~(rmw(p, N, OP_NAND, v) & v); } \
    FN(T, __sync_lock_test_and_set_##N, (volatile void *p, arg_t v)) { return (T)rmw(p, N, OP_XCHG, v); } \
    FN(T, __sync_val_compare_and_swap_##N, (volatile void *p, arg_t e, arg_t d)) { return (T)cas(p, N, e, d); } \
    FN(bool, __sync_bool_compare_and_swap_##N, (volatile void *p, arg_t e, arg_t d)) { return cas(p, N, e, d) == (T)e; } \
    FN(void, __sync_lock_release_##N, (volatile void *p)) { kuser_dmb(); *(volatile T *)p = 0; }
SYNC_SIZED(1, uint8_t)
SYNC_SIZED(2, uint16_t)
SYNC_SIZED(4, uint32_t)

FN(uint64_t, __sync_fetch_and_add_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_ADD, v); }
FN(uint64_t, __sync_fetch_and_sub_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_SUB, v); }
FN(uint64_t, __sync_fetch_and_and_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_AND, v); }
FN(uint64_t, __sync_fetch_and_or_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_OR, v); }
FN(uint64_t, __sync_fetch_and_xor_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_XOR, v); }
FN(uint64_t, __sync_fetch_and_nand_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_NAND, v); }
FN(uint64_t, __sync_add_and_fetch_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_ADD, v) + v; }
FN(uint64_t, __sync_sub_and_fetch_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_SUB, v) - v; }
FN(uint64_t, __sync_and_and_fetch_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_AND, v) & v; }
FN(uint64_t, __sync_or_and_fetch_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_OR, v) | v; }
FN(uint64_t, __sync_xor_and_fetch_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_XOR, v) ^ v; }
FN(uint64_t, __sync_nand_and_fetch_8, (volatile void *p, uint64_t v)) { return ~(rmw64(p, OP_NAND, v) & v); }
FN(uint64_t, __sync_lock_test_and_set_8, (volatile void *p, uint64_t v)) { return rmw64(p, OP_XCHG, v); }
FN(uint64_t, __sync_val_compare_and_swap_8, (volatile void *p, uint64_t e, uint64_t d)) { return cas64(p, e, d); }
FN(bool, __sync_bool_compare_and_swap_8, (volatile void *p, uint64_t e, uint64_t d)) { return cas64(p, e, d) == e; }

/* ---- __atomic_*_N: clang's calls for ARMv5, GCC's for 8 bytes ---- */
#define RELAXED __ATOMIC_RELAXED
#define BARRIER_IF(order) do { if ((order) != RELAXED) kuser_dmb(); } while (0)

#define ATOMIC_SIZED(N, T) \
    FN(T, __atomic_load_##N, (const volatile void *p, int order)) \
    { BARRIER_IF(order); T v = *(const volatile T *)p; BARRIER_IF(order); return v; } \
    FN(void, __atomic_store_##N, (volatile void *p, arg_t v, int order)) \
    { BARRIER_IF(order); *(volatile T *)p = (T)v; BARRIER_IF(order); } \
    FN(T, __atomic_exchange_##N, (volatile void *p, arg_t v, int order)) \
    { (void)order; return (T)rmw(p, N, OP_XCHG, v); } \
    FN(bool, __atomic_compare_exchange_##N, (volatile void *p, void *expected, arg_t desired, int s, int f)) \
    { (void)s; (void)f; T e = *(T *)expected; T seen = (T)cas(p, N, e, desired); \
      if (seen == e) return true; *(T *)expected = seen; return false; } \
    FN(T, __atomic_fetch_add_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_ADD, v); } \
    FN(T, __atomic_fetch_sub_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_SUB, v); } \
    FN(T, __atomic_fetch_and_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_AND, v); } \
    FN(T, __atomic_fetch_or_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_OR, v); } \
    FN(T, __atomic_fetch_xor_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_XOR, v); } \
    FN(T, __atomic_fetch_nand_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)rmw(p, N, OP_NAND, v); } \
    FN(T, __atomic_add_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)(rmw(p, N, OP_ADD, v) + v); } \
    FN(T, __atomic_sub_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)(rmw(p, N, OP_SUB, v) - v); } \
    FN(T, __atomic_and_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)(rmw(p, N, OP_AND, v) & v); } \
    FN(T, __atomic_or_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)(rmw(p, N, OP_OR, v) | v); } \
    FN(T, __atomic_xor_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)(rmw(p, N, OP_XOR, v) ^ v); } \
    FN(T, __atomic_nand_fetch_##N, (volatile void *p, arg_t v, int o)) { (void)o; return (T)~(rmw(p, N, OP_NAND, v) & v); }
ATOMIC_SIZED(1, uint8_t)
ATOMIC_SIZED(2, uint16_t)
ATOMIC_SIZED(4, uint32_t)

FN(uint64_t, __atomic_load_8, (const volatile void *p, int order)) { (void)order; return load64((volatile void *)p); }
FN(void, __atomic_store_8, (volatile void *p, uint64_t v, int order)) { (void)order; rmw64(p, OP_XCHG, v); }
FN(uint64_t, __atomic_exchange_8, (volatile void *p, uint64_t v, int order)) { (void)order; return rmw64(p, OP_XCHG, v); }
FN(bool, __atomic_compare_exchange_8, (volatile void *p, void *expected, uint64_t desired, int s, int f))
{
    (void)s; (void)f;
    uint64_t e = *(uint64_t *)expected, seen = cas64(p, e, desired);
    if (seen == e) return true;
    *(uint64_t *)expected = seen;
    return false;
}
FN(uint64_t, __atomic_fetch_add_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_ADD, v); }
FN(uint64_t, __atomic_fetch_sub_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_SUB, v); }
FN(uint64_t, __atomic_fetch_and_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_AND, v); }
FN(uint64_t, __atomic_fetch_or_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_OR, v); }
FN(uint64_t, __atomic_fetch_xor_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_XOR, v); }
FN(uint64_t, __atomic_fetch_nand_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_NAND, v); }
FN(uint64_t, __atomic_add_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_ADD, v) + v; }
FN(uint64_t, __atomic_sub_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_SUB, v) - v; }
FN(uint64_t, __atomic_and_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_AND, v) & v; }
FN(uint64_t, __atomic_or_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_OR, v) | v; }
FN(uint64_t, __atomic_xor_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return rmw64(p, OP_XOR, v) ^ v; }
FN(uint64_t, __atomic_nand_fetch_8, (volatile void *p, uint64_t v, int o)) { (void)o; return ~(rmw64(p, OP_NAND, v) & v); }

/* Objects of 1, 2, 4 and 8 bytes are lock-free through the helpers; nothing else is handled. */
FN(bool, __atomic_is_lock_free, (unsigned long size, const volatile void *p))
{
    (void)p;
    return size == 1 || size == 2 || size == 4 || size == 8;
}
