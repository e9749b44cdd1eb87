// What the fault and soak tests share on top of the black-box harness: numbered events whose
// every byte depends on their number, the daemon's output for them, the peer monitor as a
// real process, and waits that only ever fail a hung test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/mgmt_event.h"
#include "tests/blackbox/harness.h"

namespace velm::faults {

inline constexpr auto kPatience = std::chrono::seconds(60);

template <typename Done>
[[nodiscard]] bool pollUntil(Done done, std::chrono::seconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Event number n: a connect, update or disconnect in turn, with n spread over integers, MACs
// and texts, so that a lost, repeated, reordered or damaged record cannot pass for another.
[[nodiscard]] MgmtEvent numberedEvent(std::uint32_t n);
[[nodiscard]] std::string bytesOf(const MgmtEvent& event);
[[nodiscard]] std::string dumpOf(const MgmtEvent& event);
// The dump and the announcement the daemon prints for an announced event.
[[nodiscard]] std::string handledText(const MgmtEvent& event);
[[nodiscard]] std::string dispatchError(int error);

// Sends one datagram to the stand-in, waiting while its queue is full.
[[nodiscard]] bool sendToService(const std::string& bytes);
[[nodiscard]] bool awaitService();
// Until the stand-in has handed over `count` events in all, as its trace shows.
[[nodiscard]] bool awaitHandled(std::size_t count);
// Stops a daemon whose loop is running and returns its exit status (nullopt: failed).
[[nodiscard]] std::optional<int> stopDaemon(blackbox::DaemonProcess& daemon);
// Whether some thread of `pid` is waiting inside sendto; nullopt when this cannot be seen
// (under an emulator the process is the emulator's).
[[nodiscard]] std::optional<bool> blockedInSend(pid_t pid);
// Whether the daemon runs under an emulator (a cross build's tests), which is the process that
// /proc then shows.
[[nodiscard]] bool underEmulator() noexcept;

[[nodiscard]] bool isSocket(const char* path);
[[nodiscard]] bool exists(const char* path);

// velmKort-peer, started with `args`, its output in files under /tmp. Killed (SIGKILL) and
// reaped on destruction unless it has ended.
class PeerProcess {
  public:
    PeerProcess(const std::string& name, const std::vector<std::string>& args);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // Until its socket is bound: a socket at the peer path other than `previous` (an inode).
    [[nodiscard]] bool awaitBound(ino_t previous = 0) const;
    // Its waitpid status; nullopt if it hung (reported).
    [[nodiscard]] std::optional<int> reap();
    [[nodiscard]] std::string output() const;
    [[nodiscard]] std::string errors() const;

  private:
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
};

// What velmKort-peer prints for the records it got, numbered from `first`.
[[nodiscard]] std::string peerReport(const std::vector<MgmtEvent>& events, unsigned first = 1);

// Every test runs in a mount namespace of its own (see the black-box harness).
class InPrivateMounts : public ::testing::Test {
  protected:
    void SetUp() override;
};

}  // namespace velm::faults
