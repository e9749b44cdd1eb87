// A long stream through the whole path: sender, stand-in service, daemon, peer and logger.
// Every record must arrive whole and in order, every announcement must be logged, and the
// daemon must hold as many descriptors and (within a page or two) as much memory at the end
// as it did after the first thousand events.
//
// VELM_SOAK_EVENTS sets the number of events (default 20000, which CI runs); the long soak is
//   VELM_SOAK_EVENTS=100000 build/tests/faults/velmKortd_faults --gtest_filter='Soak.*'
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

#include "record/mgmt_event.h"
#include "tests/blackbox/harness.h"
#include "tests/faults/support.h"
#include "tests/support/local_address.h"

namespace velm::faults {
namespace {

constexpr std::uint32_t kDefaultEvents = 20000;
constexpr std::uint32_t kWarmUp = 1000;
// Pages of stack or of the C library's data that only a rarer path touches (a longer number
// in the dump, say) may still fault in after the warm-up. A leak is far larger: the smallest
// heap block lost per event would add over 600 KiB to a 20,000-event run.
constexpr long kRssToleranceKiB = 8;

[[nodiscard]] std::uint32_t soakEvents() {
    const char* text = std::getenv("VELM_SOAK_EVENTS");
    if (text == nullptr || *text == '\0') return kDefaultEvents;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value <= kWarmUp || value > 100000000UL) {
        ADD_FAILURE() << "VELM_SOAK_EVENTS=" << text << ": expected a number above " << kWarmUp;
        return kDefaultEvents;
    }
    return static_cast<std::uint32_t>(value);
}

[[nodiscard]] int boundSocket(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = testsupport::addressOf(path);
    if (fd >= 0 && ::bind(fd, testsupport::asGeneric(address), sizeof address) == 0) {
        return fd;
    }
    ADD_FAILURE() << "binding " << path << ": " << std::strerror(errno);
    return -1;
}

struct Usage {
    long descriptors = -1;
    long rssKiB = -1;
};

[[nodiscard]] Usage usageOf(pid_t pid) {
    Usage usage;
    const std::string proc = "/proc/" + std::to_string(pid);
    // The fewest of a few looks: the C library may hold a descriptor for the length of a call
    // (uClibc-ng's syslog opens the time zone file as it stamps an entry); a leak stays in
    // every look.
    for (int look = 0; look < 5; ++look) {
        if (look > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        DIR* dir = ::opendir((proc + "/fd").c_str());
        if (dir == nullptr) continue;
        long count = 0;
        while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
        usage.descriptors = usage.descriptors < 0 ? count : std::min(usage.descriptors, count);
    }
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) usage.rssKiB = std::stol(line.substr(6));
    }
    return usage;
}

// What the peer and the logger got, kept by the thread that reads both.
struct Received {
    std::atomic<std::uint32_t> records{0};
    std::atomic<std::uint32_t> logLines{0};
    std::atomic<bool> quit{false};
    std::string problem;  // the first, if any; read once the reader has ended
};

void readPeerAndLog(int peer, int log, std::uint32_t count, Received& got) {
    static constexpr std::string_view kTypeNames[] = {"MGMT: CONNECT", "MGMT: DISCONNECT",
                                                      "MGMT: UPDATE"};
    char buffer[1024];
    while (!got.quit && (got.records < count || got.logLines < count)) {
        pollfd ready[2] = {{peer, POLLIN, 0}, {log, POLLIN, 0}};
        if (::poll(ready, 2, 100) <= 0) continue;
        if (ready[0].revents & POLLIN) {
            const ssize_t size = ::recv(peer, buffer, sizeof buffer, MSG_TRUNC);
            const std::uint32_t n = got.records;
            if (got.problem.empty() &&
                std::string_view(buffer, static_cast<std::size_t>(std::max<ssize_t>(size, 0))) !=
                    bytesOf(numberedEvent(n))) {
                got.problem = "record " + std::to_string(n) + " arrived as " +
                              std::to_string(size) + " other bytes";
            }
            ++got.records;
        }
        if (ready[1].revents & POLLIN) {
            const ssize_t size = ::recv(log, buffer, sizeof buffer, MSG_TRUNC);
            const std::uint32_t n = got.logLines;
            const std::string_view line(buffer, static_cast<std::size_t>(std::max<ssize_t>(
                                                    0, std::min<ssize_t>(size, sizeof buffer))));
            const auto type = static_cast<std::size_t>(numberedEvent(n).eventType);
            if (got.problem.empty() && !blackbox::isLogEntry(line, kTypeNames[type])) {
                got.problem = "log line " + std::to_string(n) + " is '" + std::string(line) + "'";
            }
            ++got.logLines;
        }
    }
}

class Soak : public InPrivateMounts {};

TEST_F(Soak, EveryEventArrivesWholeInOrderAndNothingGrows) {
    const std::uint32_t count = soakEvents();
    // The harness keeps /tmp small against a daemon gone wild; this stream's output and the
    // service's trace take some 700 bytes an event.
    const std::string size = "size=" + std::to_string(64 + count / 1024) + "m";
    ASSERT_EQ(::mount(nullptr, "/tmp", nullptr, MS_REMOUNT, size.c_str()), 0)
        << "growing /tmp: " << std::strerror(errno);
    const int peer = boundSocket(blackbox::kPeerPath);
    const int log = boundSocket(blackbox::kLogPath);
    ASSERT_FALSE(HasFailure());

    blackbox::DaemonProcess daemon({});
    ASSERT_TRUE(awaitService());
    const auto start = std::chrono::steady_clock::now();
    Received got;
    std::thread reader(readPeerAndLog, peer, log, count, std::ref(got));
    std::atomic<bool> sendFailed{false};
    std::thread sender([&] {
        for (std::uint32_t n = 0; n < count && !got.quit; ++n) {
            if (!sendToService(bytesOf(numberedEvent(n)))) {
                sendFailed = true;
                return;
            }
        }
    });
    const auto finish = [&] {
        got.quit = true;
        sender.join();
        reader.join();
    };

    Usage early;
    if (pollUntil([&] { return got.records >= kWarmUp; })) early = usageOf(daemon.pid());
    // A generous bound for slow machines and emulators; only a stuck stream reaches it.
    const auto limit = kPatience + std::chrono::seconds(count / 200);
    const bool all = pollUntil([&] { return got.records == count && got.logLines == count; },
                               std::chrono::duration_cast<std::chrono::seconds>(limit));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Usage late = usageOf(daemon.pid());
    finish();
    ::close(peer);
    ::close(log);
    ASSERT_TRUE(all) << got.records << " records and " << got.logLines << " log lines of " << count;
    EXPECT_FALSE(sendFailed);
    EXPECT_EQ(got.problem, "");
    EXPECT_EQ(stopDaemon(daemon), 255);

    std::cout << "soak: " << count << " events in " << seconds << " s; descriptors "
              << early.descriptors << " -> " << late.descriptors << "; VmRSS " << early.rssKiB
              << " -> " << late.rssKiB << " KiB\n";
    RecordProperty("events", static_cast<int>(count));
    RecordProperty("rss_kib_after_warm_up", static_cast<int>(early.rssKiB));
    RecordProperty("rss_kib_at_end", static_cast<int>(late.rssKiB));
    ASSERT_GT(early.descriptors, 0);
    EXPECT_EQ(late.descriptors, early.descriptors);
    // An emulator's own memory grows with the code it translates; only a native run shows
    // the daemon's.
    if (!underEmulator()) {
        ASSERT_GT(early.rssKiB, 0);
        EXPECT_LE(late.rssKiB, early.rssKiB + kRssToleranceKiB);
    }

    // Fully buffered, the daemon's output reached its file at the orderly stop, every line.
    std::ifstream file(blackbox::kStdoutPath, std::ios::binary);
    const std::string output{std::istreambuf_iterator<char>(file),
                             std::istreambuf_iterator<char>()};
    std::size_t at = std::string_view("velmKortd started\n").size();
    ASSERT_TRUE(output.starts_with("velmKortd started\n"));
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::string text = handledText(numberedEvent(n));
        ASSERT_EQ(output.compare(at, text.size(), text), 0) << "event " << n << " in the output";
        at += text.size();
    }
    EXPECT_EQ(at, output.size());
}

}  // namespace
}  // namespace velm::faults
