/* The management event record: the wire format shared by the event service, this daemon and
 * its peer on one host. Its byte layout is fixed; every size and offset below is checked at
 * compile time. All integers are in host byte order.
 *
 * One header for the daemon (C++) and for its peers (C99 or later, or C++), installed as
 * <velmKortd/mgmt_event.h> with velmKortd.pc. A peer reads one datagram of exactly
 * sizeof(MgmtEvent) bytes into a MgmtEvent and reads its fields by name: the record is
 * packed, so the compiler reads each member safely whatever its offset. Text fields end at
 * their NUL, or at the field's end in a record from a careless producer. */
#ifndef VELMKORTD_MGMT_EVENT_H
#define VELMKORTD_MGMT_EVENT_H

#include <stddef.h> /* offsetof, for the checks */
#include <stdint.h>

typedef struct __attribute__((packed)) AdslIfObject {
    int32_t bModeAutodetect;
    uint32_t connectionMode;
    uint32_t syncRateUp;
    uint32_t syncRateDown;
    uint32_t vpi;
    uint32_t vci;
    uint32_t mux;
    unsigned char dbMac[6];
    unsigned char mbMac[6];
    unsigned char mbBroadcastMac[6];
    int32_t bWanTimedOut;
    char wanIp[16];
    char wanNetmask[16];
    char wanGateway[16];
    int32_t bWanStaticDns;
    char wanDns1[16];
    char wanDns2[16];
    uint32_t wanMtu;
    int32_t bWanStaticIp;
    int32_t bDialOnDemand;
    char username[65];
    char password[65];
    uint32_t idleTimeout;
} AdslIfObject;

/* The daemon's code is C++ and keeps the codes scoped; a C peer gets the same names plainly. */
#ifdef __cplusplus
enum class MgmtEventType : uint32_t { CONNECT = 0, DISCONNECT = 1, UPDATE = 2 };
#else
enum MgmtEventType { CONNECT = 0, DISCONNECT = 1, UPDATE = 2 };
#endif

typedef struct __attribute__((packed)) MgmtEvent {
    uint32_t eventType; /* a MgmtEventType code, or any other value */
    AdslIfObject ifObject;
} MgmtEvent;

/* The thirteen integer fields, the ones the byte-order conversions swap. */
/* clang-format off */
#define VELM_IF_INTEGER_FIELDS(X)                                                      \
    X(bModeAutodetect) X(connectionMode) X(syncRateUp) X(syncRateDown) X(vpi) X(vci)    \
    X(mux) X(bWanTimedOut) X(bWanStaticDns) X(wanMtu) X(bWanStaticIp) X(bDialOnDemand) \
    X(idleTimeout)
/* clang-format on */

/* A layout check that every language mode of the header's readers can compile: C++ and C11
 * have static assertions; in C99 a false condition makes an array of negative size. */
#if defined(__cplusplus)
#define VELM_LAYOUT_CHECK(condition, tag) static_assert(condition, #tag)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VELM_LAYOUT_CHECK(condition, tag) _Static_assert(condition, #tag)
#else
#define VELM_LAYOUT_CHECK(condition, tag) typedef char velmLayoutCheck_##tag[(condition) ? 1 : -1]
#endif

VELM_LAYOUT_CHECK(sizeof(AdslIfObject) == 280, objectSize);
VELM_LAYOUT_CHECK(sizeof(MgmtEvent) == 284, eventSize);
VELM_LAYOUT_CHECK(offsetof(MgmtEvent, eventType) == 0, eventType);
VELM_LAYOUT_CHECK(offsetof(MgmtEvent, ifObject) == 4, ifObject);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, bModeAutodetect) == 0, bModeAutodetect);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, connectionMode) == 4, connectionMode);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, syncRateUp) == 8, syncRateUp);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, syncRateDown) == 12, syncRateDown);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, vpi) == 16, vpi);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, vci) == 20, vci);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, mux) == 24, mux);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, dbMac) == 28, dbMac);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, mbMac) == 34, mbMac);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, mbBroadcastMac) == 40, mbBroadcastMac);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, bWanTimedOut) == 46, bWanTimedOut);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanIp) == 50, wanIp);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanNetmask) == 66, wanNetmask);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanGateway) == 82, wanGateway);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, bWanStaticDns) == 98, bWanStaticDns);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanDns1) == 102, wanDns1);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanDns2) == 118, wanDns2);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, wanMtu) == 134, wanMtu);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, bWanStaticIp) == 138, bWanStaticIp);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, bDialOnDemand) == 142, bDialOnDemand);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, username) == 146, username);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, password) == 211, password);
VELM_LAYOUT_CHECK(offsetof(AdslIfObject, idleTimeout) == 276, idleTimeout);
#ifdef __cplusplus
/* Packed: no gaps, and a record may start at any address. */
static_assert(alignof(AdslIfObject) == 1 && alignof(MgmtEvent) == 1, "packed");
#endif

#undef VELM_LAYOUT_CHECK

/* Exported from the daemon's executable by these names, for code inside its process only. */
#ifdef __cplusplus
extern "C" {
#endif
/* In place, host to network order, on the thirteen integer fields only. Returns 0. */
int htonIfObject(AdslIfObject* obj);
/* In place, network to host order, on the thirteen integer fields only. Returns 0. */
int ntohIfObject(AdslIfObject* obj);
/* Writes the object's 23 field lines to standard output, unflushed. Returns 0. */
int adslIfDump(const AdslIfObject* obj);
#ifdef __cplusplus
}
#endif

/* What ntohIfObject does, for a peer in another process, which cannot call the daemon's
 * export: a byte swap of each integer field on a little-endian host, nothing on a big-endian
 * one. Byte by byte, so the object may lie at any address. Returns 0. */
static inline int velmNtohIfObject(AdslIfObject* obj) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    unsigned char* const bytes = (unsigned char*)obj;
    unsigned char* at;
    unsigned char held;
#define VELM_SWAP_FIELD(field)                  \
    at = bytes + offsetof(AdslIfObject, field); \
    held = at[0], at[0] = at[3], at[3] = held;  \
    held = at[1], at[1] = at[2], at[2] = held;
    VELM_IF_INTEGER_FIELDS(VELM_SWAP_FIELD)
#undef VELM_SWAP_FIELD
#elif !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_BIG_ENDIAN__
#error "velmNtohIfObject needs a compiler that states the byte order (__BYTE_ORDER__)"
#else
    (void)obj;
#endif
    return 0;
}

#endif /* VELMKORTD_MGMT_EVENT_H */
