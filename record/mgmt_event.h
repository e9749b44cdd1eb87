// The management event record: the wire format shared by the event service, this daemon and
// its peer on one host. Its byte layout is fixed; every offset below is checked at compile
// time. All integers are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

struct __attribute__((packed)) AdslIfObject {
    std::int32_t bModeAutodetect;
    std::uint32_t connectionMode;
    std::uint32_t syncRateUp;
    std::uint32_t syncRateDown;
    std::uint32_t vpi;
    std::uint32_t vci;
    std::uint32_t mux;
    unsigned char dbMac[6];
    unsigned char mbMac[6];
    unsigned char mbBroadcastMac[6];
    std::int32_t bWanTimedOut;
    char wanIp[16];
    char wanNetmask[16];
    char wanGateway[16];
    std::int32_t bWanStaticDns;
    char wanDns1[16];
    char wanDns2[16];
    std::uint32_t wanMtu;
    std::int32_t bWanStaticIp;
    std::int32_t bDialOnDemand;
    char username[65];
    char password[65];
    std::uint32_t idleTimeout;
};

enum class MgmtEventType : std::uint32_t { CONNECT = 0, DISCONNECT = 1, UPDATE = 2 };

struct __attribute__((packed)) MgmtEvent {
    std::uint32_t eventType;  // a MgmtEventType code, or any other value
    AdslIfObject ifObject;
};

static_assert(sizeof(AdslIfObject) == 280 && alignof(AdslIfObject) == 1);
static_assert(sizeof(MgmtEvent) == 284 && alignof(MgmtEvent) == 1);
static_assert(offsetof(MgmtEvent, eventType) == 0 && offsetof(MgmtEvent, ifObject) == 4);
static_assert(offsetof(AdslIfObject, bModeAutodetect) == 0);
static_assert(offsetof(AdslIfObject, connectionMode) == 4);
static_assert(offsetof(AdslIfObject, syncRateUp) == 8);
static_assert(offsetof(AdslIfObject, syncRateDown) == 12);
static_assert(offsetof(AdslIfObject, vpi) == 16);
static_assert(offsetof(AdslIfObject, vci) == 20);
static_assert(offsetof(AdslIfObject, mux) == 24);
static_assert(offsetof(AdslIfObject, dbMac) == 28);
static_assert(offsetof(AdslIfObject, mbMac) == 34);
static_assert(offsetof(AdslIfObject, mbBroadcastMac) == 40);
static_assert(offsetof(AdslIfObject, bWanTimedOut) == 46);
static_assert(offsetof(AdslIfObject, wanIp) == 50);
static_assert(offsetof(AdslIfObject, wanNetmask) == 66);
static_assert(offsetof(AdslIfObject, wanGateway) == 82);
static_assert(offsetof(AdslIfObject, bWanStaticDns) == 98);
static_assert(offsetof(AdslIfObject, wanDns1) == 102);
static_assert(offsetof(AdslIfObject, wanDns2) == 118);
static_assert(offsetof(AdslIfObject, wanMtu) == 134);
static_assert(offsetof(AdslIfObject, bWanStaticIp) == 138);
static_assert(offsetof(AdslIfObject, bDialOnDemand) == 142);
static_assert(offsetof(AdslIfObject, username) == 146);
static_assert(offsetof(AdslIfObject, password) == 211);
static_assert(offsetof(AdslIfObject, idleTimeout) == 276);

// Exported from the daemon's executable by these names, for any code in its process.
extern "C" {
// In place, host to network order, on the thirteen integer fields only. Returns 0.
int htonIfObject(AdslIfObject* obj);
// In place, network to host order, on the thirteen integer fields only. Returns 0.
int ntohIfObject(AdslIfObject* obj);
// Writes the object's 23 field lines to standard output, unflushed. Returns 0.
int adslIfDump(const AdslIfObject* obj);
}
