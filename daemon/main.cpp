// velmKortd: the management daemon for the ADSL WAN interface. It attaches to the platform's
// event service, dumps every management event, announces connects, disconnects and updates,
// and forwards them to the peer daemon. It reads no arguments, environment or configuration.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "daemon/event_handler.h"
#include "daemon/messages.h"
#include "daemon/peer_link.h"
#include "daemon/report.h"
#include "service/zel.h"

// Keeps the event loop running. Exported by name: code elsewhere in the process ends the
// loop by clearing it. The daemon itself only ever sets it.
extern "C" {
std::int32_t adslActive = 0;
}

namespace velm::daemon {
namespace {

constexpr std::int32_t kRegisterA = 16;
constexpr std::int32_t kRegisterB = 2;
constexpr std::int32_t kRegisterC = 0;
constexpr std::int32_t kListenBound = 10000;

// Nonzero once the handler is registered; written only during start-up.
std::int32_t registrationHandle = 0;

// The flag may be cleared from another thread while main waits in zelListen, so every
// access is atomic and nothing keeps a copy of it.
[[nodiscard]] std::atomic_ref<std::int32_t> activeFlag() noexcept {
    return std::atomic_ref<std::int32_t>(adslActive);
}
static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free);

[[nodiscard]] int initServer() noexcept {
    if (openServerSocket() != kOk) return kFailed;
    if (zelInit() != 0) return fail(text::kServiceFailed);
    registrationHandle = zelRegister(kRegisterA, kRegisterB, &mgmtEventHandler, kRegisterC);
    if (registrationHandle == 0) {
        zelDeInit();
        return fail(text::kServiceFailed);
    }
    return kOk;
}

}  // namespace

int run() noexcept {
    std::fputs(text::kBanner, stdout);
    const int status = initServer();
    if (registrationHandle == 0) return status;

    activeFlag().store(1, std::memory_order_relaxed);
    do {
        zelListen(registrationHandle, kListenBound);
    } while (activeFlag().load(std::memory_order_relaxed) != 0);

    zelDeInit();
    return -1;
}

}  // namespace velm::daemon

int main() {
    return velm::daemon::run();
}
