// A datagram socket bound at a fixed path, for the benchmarks and the allocation test, which
// run the handler in-process inside a private mount namespace.
#pragma once

#include <cstddef>

namespace velm::bench {

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
