// velmKortd: the management daemon for the ADSL WAN interface. It attaches to the platform's
// event service, dumps every management event, announces connects, disconnects and updates,
// and forwards them to the peer daemon. It reads no arguments, environment or configuration.
#include <cstdint>
#include <cstdio>

#include "daemon/event_handler.h"
#include "daemon/messages.h"
#include "daemon/peer_link.h"
#include "daemon/report.h"
#include "service/flag_word.h"
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
// access is atomic and nothing keeps a copy of it. Done on the plain exported object, with
// no library support: std::atomic_ref would do the same, but libc++ has it only from 19.
struct LoopFlag {
    static void raise() noexcept { service::storeFlagWord(&adslActive, 1); }
    [[nodiscard]] static bool raised() noexcept { return service::loadFlagWord(&adslActive) != 0; }
};

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

    LoopFlag::raise();
    do {
        zelListen(registrationHandle, kListenBound);
    } while (LoopFlag::raised());

    zelDeInit();
    return -1;
}

}  // namespace velm::daemon

int main() {
    return velm::daemon::run();
}
