// The handler allocates nothing per event: after a warm-up (stdio's first buffer, the time
// zone that syslog's time stamp loads once), many calls of it, with a real peer socket and a
// system log receiver or none, make no malloc, calloc or realloc call anywhere in the
// process, the C library's own included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "bench/inbox.h"
#include "bench/sample_event.h"
#include "daemon/event_handler.h"
#include "daemon/peer_link.h"
#include "daemon/report.h"
#include "record/mgmt_event.h"
#include "tests/support/private_mounts.h"

// The executable's own definitions take the place of the C library's for every caller in the
// process, the library's internal callers too. The real allocator stays reachable: by glibc's
// internal names, or on musl and uClibc-ng, which have none, as the next definition in the
// search order (their dlsym allocates nothing).
#ifdef VELM_LIBC_GLIBC
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* old, std::size_t size);
void __libc_free(void* block);
}
#else
#include <dlfcn.h>
#define VELM_NEXT(name, ...) \
    reinterpret_cast<decltype(&name)>(::dlsym(RTLD_NEXT, #name))(__VA_ARGS__)
#define __libc_malloc(size) VELM_NEXT(malloc, size)
#define __libc_calloc(count, size) VELM_NEXT(calloc, count, size)
#define __libc_realloc(old, size) VELM_NEXT(realloc, old, size)
#define __libc_free(block) VELM_NEXT(free, block)
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<unsigned long> allocations{0};

void noteAllocation() noexcept {
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* old, std::size_t size) {
    noteAllocation();
    return __libc_realloc(old, size);
}

extern "C" void free(void* block) {
    __libc_free(block);
}

namespace velm::bench {
namespace {

constexpr int kWarmUp = 4;
constexpr int kCounted = 2000;
constexpr char kLogPath[] = "/dev/log";

// Counts the allocations made while `work` runs.
template <typename Work>
[[nodiscard]] unsigned long allocationsDuring(Work work) {
    allocations.store(0);
    counting.store(true);
    work();
    counting.store(false);
    return allocations.load();
}

// Standard output goes to /dev/null for the fixture's lifetime, through the same stdio stream
// (and so the same buffer) the daemon would use.
class HandlerAllocations : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto mounts = testsupport::enterPrivateMounts();
            mounts.outcome != testsupport::Mounts::Entered) {
            GTEST_SKIP() << "needs a private mount namespace (root): " << mounts.why;
        }
        std::fflush(stdout);
        savedStdout_ = ::dup(1);
        const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(sink, 0);
        ASSERT_EQ(::dup2(sink, 1), 1);
        ::close(sink);
        peer_.emplace(daemon::PEER_SOCKET_PATH);
        ASSERT_TRUE(peer_->bound());
        if (daemon::serverSocket < 0) {
            ASSERT_EQ(daemon::openServerSocket(), daemon::kOk);
        }
    }

    void TearDown() override {
        std::fflush(stdout);
        if (savedStdout_ >= 0) ::dup2(savedStdout_, 1);
    }

    // Every kind of event: the three announced ones and one that is only dumped. The queues
    // are drained after each call, as the peer and the logger would, so that no send blocks.
    void handleAll(Inbox* log) {
        for (const MgmtEvent& event : events_) {
            daemon::mgmtEventHandler(1, 0, sizeof event, &event);
            delivered_ += peer_->drain();
            if (log != nullptr) logged_ += log->drain();
        }
    }

    void expectSteadyStateFree(Inbox* log) {
        for (int i = 0; i < kWarmUp; ++i) handleAll(log);
        delivered_ = logged_ = 0;
        const unsigned long count = allocationsDuring([&] {
            for (int i = 0; i < kCounted; ++i) handleAll(log);
        });
        EXPECT_EQ(count, 0U);
        // The sends and logging really happened: three announced events per round.
        EXPECT_EQ(delivered_, 3U * kCounted);
        if (log != nullptr) {
            EXPECT_EQ(logged_, 3U * kCounted);
        }
    }

    const MgmtEvent events_[4] = {
        sampleEvent(MgmtEventType::CONNECT), sampleEvent(MgmtEventType::DISCONNECT),
        sampleEvent(MgmtEventType::UPDATE), sampleEvent(static_cast<MgmtEventType>(7))};
    std::optional<Inbox> peer_;
    std::size_t delivered_ = 0;
    std::size_t logged_ = 0;
    int savedStdout_ = -1;
};

TEST_F(HandlerAllocations, NoneWithASystemLogReceiver) {
    Inbox log(kLogPath);
    ASSERT_TRUE(log.bound());
    expectSteadyStateFree(&log);
}

TEST_F(HandlerAllocations, NoneWithoutASystemLogger) {
    expectSteadyStateFree(nullptr);
}

// Without this the zero above could mean the counter sees nothing: it must see the C library's
// own internal allocations, the kind stdio and syslog would make.
TEST(AllocationCounter, SeesAllocationsInsideTheCLibrary) {
    const unsigned long count = allocationsDuring([] {
        // Kept in a volatile, as clang would remove an allocation whose result is unused.
        char* volatile copy = ::strdup("counted");
        std::FILE* stream = std::fopen("/proc/self/stat", "r");
        ASSERT_NE(stream, nullptr);
        std::fclose(stream);
        std::free(copy);
    });
    EXPECT_GE(count, 2U);
}

}  // namespace
}  // namespace velm::bench
