// A private /tmp and /dev for code that binds the daemon's real socket paths in-process (the
// benchmarks and the allocation test), so that it never meets a daemon, a peer or a system
// logger that runs on the machine.
#pragma once

#include <cstddef>
#include <string>

namespace velm::bench {

// Enters a mount namespace of its own with fresh tmpfs on /tmp and /dev (the real /dev/null
// kept). unshare refuses a process with threads, so this must come before any. Returns why it
// could not be done; empty on success.
[[nodiscard]] std::string enterPrivateMounts();

// A datagram socket bound at `path`, standing in for the peer daemon or the system logger.
class Inbox {
  public:
    explicit Inbox(const char* path) noexcept;
    ~Inbox();
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    [[nodiscard]] bool bound() const noexcept { return bound_; }
    [[nodiscard]] int fd() const noexcept { return fd_; }

    // Takes whatever is queued, never waiting, into a buffer on the stack (no heap, so the
    // allocation test can drain inside its counted window). Returns how many datagrams.
    std::size_t drain() noexcept;

  private:
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace velm::bench
