#include "bench/naive_dump.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>

namespace velm::bench {
namespace {

[[nodiscard]] std::int32_t swapSigned(std::int32_t value) noexcept {
    return static_cast<std::int32_t>(htonl(static_cast<std::uint32_t>(value)));
}

}  // namespace

int naiveIfDump(const AdslIfObject* obj) {
    std::printf("bModeAutodetect = %d\n", obj->bModeAutodetect);
    std::printf("connectionMode = %u\n", obj->connectionMode);
    std::printf("syncRateUp = %lu\n", static_cast<unsigned long>(obj->syncRateUp));
    std::printf("syncRateDown = %lu\n", static_cast<unsigned long>(obj->syncRateDown));
    std::printf("vpi = %u\n", obj->vpi);
    std::printf("vci = %u\n", obj->vci);
    std::printf("mux = %u\n", obj->mux);
    std::printf("dbMac = %02x:%02x:%02x:%02x:%02x:%02x\n", obj->dbMac[0], obj->dbMac[1],
                obj->dbMac[2], obj->dbMac[3], obj->dbMac[4], obj->dbMac[5]);
    std::printf("mbMac = %02x:%02x:%02x:%02x:%02x:%02x\n", obj->mbMac[0], obj->mbMac[1],
                obj->mbMac[2], obj->mbMac[3], obj->mbMac[4], obj->mbMac[5]);
    std::printf("mbBroadcastMac = %02x:%02x:%02x:%02x:%02x:%02x\n", obj->mbBroadcastMac[0],
                obj->mbBroadcastMac[1], obj->mbBroadcastMac[2], obj->mbBroadcastMac[3],
                obj->mbBroadcastMac[4], obj->mbBroadcastMac[5]);
    std::printf("bWanTimedOut = %d\n", obj->bWanTimedOut);
    // The precision stops at the field's width when a text has no NUL.
    std::printf("wanIp = %.*s\n", static_cast<int>(sizeof obj->wanIp), obj->wanIp);
    std::printf("wanNetmask = %.*s\n", static_cast<int>(sizeof obj->wanNetmask), obj->wanNetmask);
    std::printf("wanGateway = %.*s\n", static_cast<int>(sizeof obj->wanGateway), obj->wanGateway);
    std::printf("bWanStaticDns = %d\n", obj->bWanStaticDns);
    std::printf("wanDns1 = %.*s\n", static_cast<int>(sizeof obj->wanDns1), obj->wanDns1);
    std::printf("wanDns2 = %.*s\n", static_cast<int>(sizeof obj->wanDns2), obj->wanDns2);
    std::printf("wanMtu = %u\n", obj->wanMtu);
    std::printf("bWanStaticIp = %d\n", obj->bWanStaticIp);
    std::printf("bDialOnDemand = %d\n", obj->bDialOnDemand);
    std::printf("username = %.*s\n", static_cast<int>(sizeof obj->username), obj->username);
    std::printf("password = %.*s\n", static_cast<int>(sizeof obj->password), obj->password);
    std::printf("idleTimeout = %u\n", obj->idleTimeout);
    return 0;
}

int naiveHtonIfObject(AdslIfObject* obj) {
    obj->bModeAutodetect = swapSigned(obj->bModeAutodetect);
    obj->connectionMode = htonl(obj->connectionMode);
    obj->syncRateUp = htonl(obj->syncRateUp);
    obj->syncRateDown = htonl(obj->syncRateDown);
    obj->vpi = htonl(obj->vpi);
    obj->vci = htonl(obj->vci);
    obj->mux = htonl(obj->mux);
    obj->bWanTimedOut = swapSigned(obj->bWanTimedOut);
    obj->bWanStaticDns = swapSigned(obj->bWanStaticDns);
    obj->wanMtu = htonl(obj->wanMtu);
    obj->bWanStaticIp = swapSigned(obj->bWanStaticIp);
    obj->bDialOnDemand = swapSigned(obj->bDialOnDemand);
    obj->idleTimeout = htonl(obj->idleTimeout);
    return 0;
}

int naiveNtohIfObject(AdslIfObject* obj) {
    return naiveHtonIfObject(obj);
}

}  // namespace velm::bench
