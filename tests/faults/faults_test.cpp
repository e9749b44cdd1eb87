// The daemon when its neighbours misbehave: a peer that dies and comes back, a peer that stops
// reading, something other than a datagram socket at either socket path, signals, and
// datagrams to the event service that are not records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/endian.h"
#include "record/mgmt_event.h"
#include "tests/blackbox/harness.h"
#include "tests/faults/support.h"
#include "tests/support/local_address.h"

namespace velm::faults {
namespace {

using blackbox::kPeerPath;
using blackbox::kServerPath;
using blackbox::kStderrPath;
using blackbox::kStdoutPath;
using blackbox::readFile;

constexpr char kBanner[] = "velmKortd started\n";

[[nodiscard]] std::vector<MgmtEvent> numberedEvents(std::uint32_t first, std::uint32_t count) {
    std::vector<MgmtEvent> events;
    for (std::uint32_t n = first; n < first + count; ++n) events.push_back(numberedEvent(n));
    return events;
}

[[nodiscard]] std::vector<std::string> datagramsOf(const std::vector<MgmtEvent>& events) {
    std::vector<std::string> datagrams;
    for (const MgmtEvent& event : events) datagrams.push_back(bytesOf(event));
    return datagrams;
}

[[nodiscard]] std::string handledTexts(const std::vector<MgmtEvent>& events) {
    std::string text;
    for (const MgmtEvent& event : events) text += handledText(event);
    return text;
}

// What is at `path`, in enough detail to see whether anything in or behind it changed.
[[nodiscard]] std::string describePath(const char* path) {
    struct stat status {};
    if (::lstat(path, &status) != 0) return "nothing";
    std::string kind = std::to_string(status.st_mode) + ":";
    if (S_ISLNK(status.st_mode)) {
        std::error_code error;
        return kind + "link to " + std::filesystem::read_symlink(path, error).string();
    }
    if (S_ISREG(status.st_mode)) return kind + "file " + readFile(path);
    if (S_ISDIR(status.st_mode)) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename().string() + "=" +
                            describePath(entry.path().c_str()));
        }
        std::sort(names.begin(), names.end());
        for (const auto& name : names) kind += " " + name;
        return kind;
    }
    return kind;
}

// Enough events to fill the peer's queue and the service's behind it several times over.
[[nodiscard]] std::uint32_t eventsBeyondTheQueues() {
    unsigned queueLength = 10;
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queueLength;
    return std::clamp(4 * queueLength + 40, 100U, 1000U);
}

// Names each instantiation after its parameter.
struct ByName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return info.param.name;
    }
};

class Faults : public InPrivateMounts {};

// The peer monitor is killed between two stretches of a stream and started again.
struct PeerEnd {
    const char* name;
    int signal;
    int error;  // what the daemon's sends meet while it is gone
};

class PeerRestart : public InPrivateMounts, public ::testing::WithParamInterface<PeerEnd> {};

TEST_P(PeerRestart, EventsWhileItIsGoneAreReportedAndLaterOnesArriveInOrder) {
    const std::vector<MgmtEvent> before = numberedEvents(0, 3);
    const std::vector<MgmtEvent> meanwhile = numberedEvents(3, 2);
    const std::vector<MgmtEvent> after = numberedEvents(5, 4);

    PeerProcess first("peer-first", {});
    ASSERT_TRUE(first.awaitBound());
    struct stat firstSocket {};
    ASSERT_EQ(::lstat(kPeerPath, &firstSocket), 0);
    blackbox::DaemonProcess daemon({});
    ASSERT_TRUE(awaitService());
    for (const MgmtEvent& event : before) ASSERT_TRUE(sendToService(bytesOf(event)));
    ASSERT_TRUE(pollUntil([&] { return first.output() == peerReport(before); })) << first.output();

    ASSERT_EQ(::kill(first.pid(), GetParam().signal), 0);
    const std::optional<int> firstEnd = first.reap();
    ASSERT_TRUE(firstEnd.has_value());
    if (GetParam().signal == SIGKILL) {
        EXPECT_TRUE(WIFSIGNALED(*firstEnd) && WTERMSIG(*firstEnd) == SIGKILL);
        EXPECT_TRUE(isSocket(kPeerPath)) << "a killed peer leaves its socket file";
    } else {
        EXPECT_TRUE(WIFEXITED(*firstEnd) && WEXITSTATUS(*firstEnd) == 0);
        EXPECT_FALSE(exists(kPeerPath)) << "a peer told to stop removes its socket file";
    }

    for (const MgmtEvent& event : meanwhile) ASSERT_TRUE(sendToService(bytesOf(event)));
    ASSERT_TRUE(awaitHandled(before.size() + meanwhile.size()));

    PeerProcess second("peer-second", {"--count", std::to_string(after.size())});
    ASSERT_TRUE(second.awaitBound(firstSocket.st_ino));
    for (const MgmtEvent& event : after) ASSERT_TRUE(sendToService(bytesOf(event)));
    const std::optional<int> secondEnd = second.reap();
    ASSERT_TRUE(secondEnd.has_value());
    EXPECT_TRUE(WIFEXITED(*secondEnd) && WEXITSTATUS(*secondEnd) == 0) << second.errors();
    EXPECT_EQ(second.output(), peerReport(after));
    EXPECT_EQ(stopDaemon(daemon), 255);

    const std::string error = dispatchError(GetParam().error);
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledTexts(before) + handledText(meanwhile[0]) +
                                         error + handledText(meanwhile[1]) + error +
                                         handledTexts(after));
}

INSTANTIATE_TEST_SUITE_P(, PeerRestart,
                         ::testing::Values(PeerEnd{"Killed", SIGKILL, ECONNREFUSED},
                                           PeerEnd{"Terminated", SIGTERM, ENOENT}),
                         ByName{});

TEST_F(Faults, AStalledPeerHoldsTheHandlerInItsSendAndLosesNothing) {
    const std::uint32_t count = eventsBeyondTheQueues();
    const std::vector<MgmtEvent> events = numberedEvents(0, count);
    PeerProcess peer("peer", {"--count", std::to_string(count)});
    ASSERT_TRUE(peer.awaitBound());
    ASSERT_EQ(::kill(peer.pid(), SIGSTOP), 0);

    blackbox::DaemonProcess daemon({});
    ASSERT_TRUE(awaitService());
    std::atomic<std::uint32_t> sent{0};
    std::thread sender([&] {
        for (const MgmtEvent& event : events) {
            if (!sendToService(bytesOf(event))) {
                ADD_FAILURE() << "sending to the service: " << std::strerror(errno);
                return;
            }
            ++sent;
        }
    });
    // The daemon waits in its send; behind it the service's queue fills and holds the sender.
    if (blockedInSend(daemon.pid()).has_value()) {
        EXPECT_TRUE(pollUntil([&] { return blockedInSend(daemon.pid()).value_or(false); }));
    }
    EXPECT_LT(sent.load(), count);

    EXPECT_EQ(::kill(peer.pid(), SIGCONT), 0);
    sender.join();
    const std::optional<int> peerEnd = peer.reap();
    ASSERT_TRUE(peerEnd.has_value());
    EXPECT_TRUE(WIFEXITED(*peerEnd) && WEXITSTATUS(*peerEnd) == 0) << peer.errors();
    EXPECT_EQ(peer.output(), peerReport(events));
    EXPECT_EQ(stopDaemon(daemon), 255);
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledTexts(events));
}

// Something that cannot take a datagram holds the peer's path.
struct Obstacle {
    const char* name;
    int (*make)();  // an open descriptor that keeps it there, or -1
    int error;
};

class NotAPeer : public InPrivateMounts, public ::testing::WithParamInterface<Obstacle> {};

TEST_P(NotAPeer, EachAnnouncedEventGetsAnErrorLineAndThePathIsLeftAlone) {
    const int keeper = GetParam().make();
    ASSERT_FALSE(HasFailure());
    const std::string before = describePath(kPeerPath);
    MgmtEvent unknown = numberedEvent(1);
    endian::storeHost32(reinterpret_cast<unsigned char*>(&unknown), 7);
    const std::vector<MgmtEvent> events{numberedEvent(0), unknown, numberedEvent(2),
                                        numberedEvent(3)};

    EXPECT_EQ(blackbox::runSession({}, datagramsOf(events)), 255);

    const std::string error = dispatchError(GetParam().error);
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledText(events[0]) + error + dumpOf(events[1]) +
                                         handledText(events[2]) + error + handledText(events[3]) +
                                         error);
    EXPECT_EQ(describePath(kPeerPath), before);
    if (keeper >= 0) ::close(keeper);
}

INSTANTIATE_TEST_SUITE_P(
    , NotAPeer,
    ::testing::Values(Obstacle{"RegularFile",
                               [] {
                                   EXPECT_TRUE(std::ofstream(kPeerPath) << "not a socket\n");
                                   return -1;
                               },
                               ECONNREFUSED},
                      Obstacle{"NonEmptyDirectory",
                               [] {
                                   EXPECT_EQ(::mkdir(kPeerPath, 0755), 0);
                                   EXPECT_TRUE(std::ofstream(std::string(kPeerPath) + "/inside")
                                               << "x");
                                   return -1;
                               },
                               ECONNREFUSED},
                      Obstacle{"Fifo",
                               [] {
                                   EXPECT_EQ(::mkfifo(kPeerPath, 0644), 0);
                                   return -1;
                               },
                               ECONNREFUSED},
                      Obstacle{"ListeningStreamSocket",
                               [] {
                                   const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                                   const sockaddr_un address = testsupport::addressOf(kPeerPath);
                                   EXPECT_EQ(
                                       ::bind(fd, testsupport::asGeneric(address), sizeof address),
                                       0);
                                   EXPECT_EQ(::listen(fd, 4), 0);
                                   return fd;
                               },
                               EPROTOTYPE},
                      Obstacle{"DanglingSymlink",
                               [] {
                                   EXPECT_EQ(::symlink("/tmp/nowhere", kPeerPath), 0);
                                   return -1;
                               },
                               ENOENT}),
    ByName{});

// Left at the daemon's own path: removed, never followed, whatever it points at untouched.
struct Leftover {
    const char* name;
    void (*make)();
    const char* behind;  // what a link there points at, if anything
};

class ServerPathLeftover : public InPrivateMounts,
                           public ::testing::WithParamInterface<Leftover> {};

TEST_P(ServerPathLeftover, IsReplacedByTheDaemonsSocketAndWhatItPointsAtIsUnchanged) {
    GetParam().make();
    ASSERT_FALSE(HasFailure());
    const char* behindPath = GetParam().behind;
    const std::string behind = behindPath != nullptr ? describePath(behindPath) : "";
    blackbox::Inbox peer(kPeerPath);
    const std::vector<MgmtEvent> events = numberedEvents(0, 3);

    EXPECT_EQ(blackbox::runSession({}, datagramsOf(events)), 255);

    EXPECT_TRUE(isSocket(kServerPath));
    if (behindPath != nullptr) {
        EXPECT_EQ(describePath(behindPath), behind);
    }
    const auto forwarded = peer.drain();
    ASSERT_EQ(forwarded.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(forwarded[i].bytes, bytesOf(events[i]));
        EXPECT_EQ(forwarded[i].sender, kServerPath);
    }
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledTexts(events));
}

INSTANTIATE_TEST_SUITE_P(
    , ServerPathLeftover,
    ::testing::Values(Leftover{"SymlinkToAFile",
                               [] {
                                   EXPECT_TRUE(std::ofstream("/tmp/kept") << "kept\n");
                                   EXPECT_EQ(::symlink("/tmp/kept", kServerPath), 0);
                               },
                               "/tmp/kept"},
                      Leftover{"SymlinkToADirectory",
                               [] {
                                   EXPECT_EQ(::mkdir("/tmp/keptdir", 0755), 0);
                                   EXPECT_TRUE(std::ofstream("/tmp/keptdir/a") << "a\n");
                                   EXPECT_EQ(::symlink("/tmp/keptdir", kServerPath), 0);
                               },
                               "/tmp/keptdir"},
                      Leftover{"DanglingSymlink",
                               [] { EXPECT_EQ(::symlink("/tmp/nowhere", kServerPath), 0); },
                               "/tmp/nowhere"},
                      Leftover{"Fifo", [] { EXPECT_EQ(::mkfifo(kServerPath, 0644), 0); }, nullptr}),
    ByName{});

// A signal ends the daemon wherever it is: waiting for events, or held in a send by a peer
// that does not read.
struct Ending {
    const char* name;
    int signal;
    bool inSend;
};

class Signalled : public InPrivateMounts, public ::testing::WithParamInterface<Ending> {};

TEST_P(Signalled, LeavesItsSocketFileWhichTheNextStartReplaces) {
    blackbox::Inbox peer(kPeerPath);
    std::string handled = kBanner;
    std::string output;
    {
        blackbox::DaemonProcess daemon({});
        ASSERT_TRUE(awaitService());
        std::atomic<std::uint32_t> sent{0};
        std::thread sender;
        if (GetParam().inSend) {
            if (!blockedInSend(daemon.pid()).has_value()) {
                GTEST_SKIP() << "cannot see where the daemon waits"
                             << (underEmulator() ? ": /proc shows the emulator's system calls"
                                                 : "");
            }
            // The peer never reads: once its queue is full the daemon waits in its send. The
            // daemon's end wakes the sender with an error.
            sender = std::thread([&] {
                for (std::uint32_t n = 0; n < eventsBeyondTheQueues(); ++n) {
                    if (!sendToService(bytesOf(numberedEvent(n)))) return;
                    ++sent;
                }
            });
            EXPECT_TRUE(pollUntil([&] { return blockedInSend(daemon.pid()).value_or(false); }));
        } else {
            for (std::uint32_t n = 0; n < 2; ++n) {
                ASSERT_TRUE(sendToService(bytesOf(numberedEvent(n))));
                ++sent;
            }
            ASSERT_TRUE(awaitHandled(2));
        }
        ASSERT_EQ(::kill(daemon.pid(), GetParam().signal), 0);
        const std::optional<int> end = daemon.reap();
        if (sender.joinable()) sender.join();
        ASSERT_TRUE(end.has_value());
        EXPECT_TRUE(WIFSIGNALED(*end) && WTERMSIG(*end) == GetParam().signal);
        for (std::uint32_t n = 0; n < sent.load(); ++n) handled += handledText(numberedEvent(n));
        output = readFile(kStdoutPath);
    }
    struct stat left {};
    ASSERT_EQ(::lstat(kServerPath, &left), 0);
    EXPECT_TRUE(S_ISSOCK(left.st_mode));
    // Standard output to a file is fully buffered and never flushed: what was still in the
    // buffer is gone, and what reached the file is the start of what was printed. glibc and
    // uClibc-ng see that the output is no terminal before its first write; musl only when it
    // writes its first line, which has therefore gone out at once.
    if (GetParam().inSend) {
        EXPECT_TRUE(handled.starts_with(output));
        EXPECT_LT(output.size(), handled.size());
    } else {
        EXPECT_EQ(output, VELM_LIBC_FIRST_LINE_OUT ? kBanner : "");
    }

    // The dead daemon's service socket and trace go too, so that the next start is seen by
    // its own.
    ASSERT_EQ(::unlink(blackbox::kStandinPath), 0);
    ASSERT_EQ(::unlink(blackbox::kTracePath), 0);
    static_cast<void>(peer.drain());
    const std::vector<MgmtEvent> events = numberedEvents(100, 3);
    EXPECT_EQ(blackbox::runSession({}, datagramsOf(events)), 255);
    struct stat replaced {};
    ASSERT_EQ(::lstat(kServerPath, &replaced), 0);
    EXPECT_TRUE(S_ISSOCK(replaced.st_mode));
    EXPECT_NE(replaced.st_ino, left.st_ino);
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledTexts(events));
    const auto forwarded = peer.drain();
    ASSERT_EQ(forwarded.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(forwarded[i].bytes, bytesOf(events[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(, Signalled,
                         ::testing::Values(Ending{"TermWhileWaiting", SIGTERM, false},
                                           Ending{"KillWhileWaiting", SIGKILL, false},
                                           Ending{"TermInASend", SIGTERM, true},
                                           Ending{"KillInASend", SIGKILL, true}),
                         ByName{});

TEST_F(Faults, TheServiceHandsOverWholeRecordsOnlyAndSaysWhatItDropped) {
    const std::vector<MgmtEvent> events = numberedEvents(0, 2);
    const std::string record = bytesOf(events[0]);
    const std::vector<std::string> junk{
        "", "abc", record.substr(0, 283), record + "x", std::string(65000, 'j'), "STOP", "stop\n"};
    std::vector<std::string> datagrams{record};
    datagrams.insert(datagrams.end(), junk.begin(), junk.end());
    datagrams.push_back(bytesOf(events[1]));
    blackbox::Inbox peer(kPeerPath);

    EXPECT_EQ(blackbox::runSession({}, datagrams), 255);

    const auto forwarded = peer.drain();
    ASSERT_EQ(forwarded.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(forwarded[i].bytes, bytesOf(events[i]));
    }
    EXPECT_EQ(readFile(kStdoutPath), kBanner + handledTexts(events));
    std::string complaints;
    for (const std::string& datagram : junk) {
        complaints += "zel-standin: dropped a datagram of " + std::to_string(datagram.size()) +
                      " bytes: an event is exactly 284\n";
    }
    EXPECT_EQ(readFile(kStderrPath), complaints);
}

}  // namespace
}  // namespace velm::faults
