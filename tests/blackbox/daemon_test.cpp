// The daemon as its neighbours see it: what it prints, what reaches the peer and the logger,
// its calls into the event service, and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "record/endian.h"
#include "record/if_dump.h"
#include "record/mgmt_event.h"
#include "tests/blackbox/harness.h"

namespace velm::blackbox {
namespace {

constexpr std::uint32_t kConnect = 0, kDisconnect = 1, kUpdate = 2;
const std::string kBanner = "velmKortd started\n";
const std::array<std::string, 3> kAnnouncements{"MGMT: CONNECT", "MGMT: DISCONNECT",
                                                "MGMT: UPDATE"};

// Every field differs between events numbered differently, and each printed form meets an
// extreme: a negative flag, the largest unsigned, an empty text and one without its NUL.
MgmtEvent makeEvent(std::uint32_t type, std::uint32_t n) {
    MgmtEvent event{};
    auto* bytes = reinterpret_cast<unsigned char*>(&event);
    auto setInt = [&](std::size_t field, std::uint32_t value) {
        endian::storeHost32(bytes + offsetof(MgmtEvent, ifObject) + field, value);
    };
    auto setText = [](char* field, const std::string& text) {
        std::memcpy(field, text.data(), text.size());
    };
    AdslIfObject& object = event.ifObject;
    endian::storeHost32(bytes, type);
    setInt(offsetof(AdslIfObject, bModeAutodetect), n == 0 ? 0xFFFFFFFFU : n);
    setInt(offsetof(AdslIfObject, connectionMode), 2 + n);
    setInt(offsetof(AdslIfObject, syncRateUp), 1024 * (n + 1));
    setInt(offsetof(AdslIfObject, syncRateDown), 0xFFFFFFFFU - n);
    setInt(offsetof(AdslIfObject, vpi), 8 + n);
    setInt(offsetof(AdslIfObject, vci), 35 + n);
    setInt(offsetof(AdslIfObject, mux), n);
    const auto last = static_cast<unsigned char>(n);
    const unsigned char db[6] = {0x00, 0x1a, 0x2b,
                                 0x3c, 0x4d, static_cast<unsigned char>(0x50 + n)};
    const unsigned char mb[6] = {0xde, 0xad, 0xbe, 0xef, 0x00, last};
    std::memcpy(object.dbMac, db, 6);
    std::memcpy(object.mbMac, mb, 6);
    std::memset(object.mbBroadcastMac, 0xff, 6);
    setInt(offsetof(AdslIfObject, bWanTimedOut), n % 2);
    setText(object.wanIp, "10.0.0." + std::to_string(n + 1));
    setText(object.wanNetmask, "255.255.255.0");
    setText(object.wanGateway, "10.0.0.254");
    setInt(offsetof(AdslIfObject, bWanStaticDns), 1);
    setText(object.wanDns1, "192.168.1." + std::to_string(n + 1));
    setInt(offsetof(AdslIfObject, wanMtu), 1492 - n);
    setInt(offsetof(AdslIfObject, bWanStaticIp), n % 2);
    setInt(offsetof(AdslIfObject, bDialOnDemand), 1);
    setText(object.username, "user" + std::to_string(n) + "@isp");
    setText(object.password, n == 0 ? std::string(65, 'p') : "secret" + std::to_string(n));
    setInt(offsetof(AdslIfObject, idleTimeout), 300 + n);
    return event;
}

// makeEvent(kConnect, 0) as the dump must show it, written out by hand.
const std::string kConnectDump =
    "bModeAutodetect = -1\nconnectionMode = 2\nsyncRateUp = 1024\nsyncRateDown = 4294967295\n"
    "vpi = 8\nvci = 35\nmux = 0\ndbMac = 00:1a:2b:3c:4d:50\nmbMac = de:ad:be:ef:00:00\n"
    "mbBroadcastMac = ff:ff:ff:ff:ff:ff\nbWanTimedOut = 0\nwanIp = 10.0.0.1\n"
    "wanNetmask = 255.255.255.0\nwanGateway = 10.0.0.254\nbWanStaticDns = 1\n"
    "wanDns1 = 192.168.1.1\nwanDns2 = \nwanMtu = 1492\nbWanStaticIp = 0\nbDialOnDemand = 1\n"
    "username = user0@isp\npassword = " +
    std::string(65, 'p') + "\nidleTimeout = 300\n";

// An ordinary session: connect, update, disconnect.
const std::array<MgmtEvent, 3> kSession{makeEvent(kConnect, 0), makeEvent(kUpdate, 1),
                                        makeEvent(kDisconnect, 2)};

std::string bytesOf(const MgmtEvent& event) {
    return {reinterpret_cast<const char*>(&event), sizeof event};
}

std::vector<std::string> datagramsOf(const auto& events) {
    std::vector<std::string> datagrams;
    for (const MgmtEvent& event : events) datagrams.push_back(bytesOf(event));
    return datagrams;
}

std::string dumpOf(const MgmtEvent& event) {
    std::array<char, record::kDumpMaxChars> text;
    return {text.data(), record::formatIfObject(event.ifObject, text)};
}

bool exists(const char* path) {
    struct stat status {};
    return ::lstat(path, &status) == 0;
}

// Bound and closed at once: the socket file stays, with nobody behind it.
void leaveStaleSocket(const char* path) {
    const Inbox gone(path);
}

// A run that reached its loop: service set up once, every listen with the registered handle,
// the handler given `types` in order, each record starting `offset` bytes past an 8-aligned
// address, and returning 0, on the listener's thread unless the service has one of its own,
// one stop, service torn down once.
void expectLoopTrace(std::int32_t handle, bool ownThread, const std::vector<std::uint32_t>& types,
                     unsigned offset = 0) {
    std::vector<std::string> lines;
    std::istringstream trace(readFile(kTracePath));
    for (std::string line; std::getline(trace, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 4U) << trace.str();
    EXPECT_EQ(lines.front(), "zelInit() = 0");
    EXPECT_EQ(lines[1], "zelRegister(16, 2, handler, 0) = " + std::to_string(handle));
    EXPECT_EQ(lines.back(), "zelDeInit() = 0");

    const std::regex listen("zelListen\\(" + std::to_string(handle) + ", 10000\\) = 0 tid=(\\d+)");
    const std::regex handler("handler\\(" + std::to_string(static_cast<std::uint32_t>(handle)) +
                             ", 0, 284, event type (\\d+) at 8n\\+" + std::to_string(offset) +
                             "\\) = 0 tid=(\\d+)");
    std::set<std::string> listenTids, handlerTids;
    std::vector<std::uint32_t> handled;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        std::smatch match;
        if (std::regex_match(lines[i], match, listen)) {
            listenTids.insert(match[1]);
        } else if (std::regex_match(lines[i], match, handler)) {
            handled.push_back(static_cast<std::uint32_t>(std::stoul(match[1])));
            handlerTids.insert(match[2]);
        } else {
            EXPECT_EQ(lines[i], "stop: adslActive cleared");
        }
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "stop: adslActive cleared"), 1);
    EXPECT_EQ(handled, types);
    EXPECT_EQ(listenTids.size(), 1U);
    if (ownThread) {
        EXPECT_EQ(handlerTids.size(), 1U);
        for (const auto& tid : handlerTids) EXPECT_FALSE(listenTids.contains(tid));
    } else {
        EXPECT_EQ(handlerTids, listenTids);
    }
}

class Blackbox : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = enterPrivateMounts();
        if (!why.empty()) GTEST_SKIP() << "no private mount namespace: " << why;
        ASSERT_FALSE(HasFailure());
        log_.emplace(kLogPath);
        peer_.emplace(kPeerPath);
    }

    std::optional<Inbox> log_, peer_;
};

struct ByName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return info.param.name;
    }
};

// Ways to start a session that must not change anything the neighbours see.
struct Variant {
    const char* name;
    Launch launch{};
    std::int32_t handle = 1;
    bool ownThread = false;
    unsigned offset = 0;  // where the service hands records over, modulo 8
    void (*prepare)() = nullptr;
    const char* survivor = nullptr;  // must still exist afterwards
};

class Session : public Blackbox, public ::testing::WithParamInterface<Variant> {};

TEST_P(Session, IsDumpedAnnouncedLoggedAndForwardedWhole) {
    const Variant& variant = GetParam();
    if (variant.prepare != nullptr) variant.prepare();
    EXPECT_EQ(runSession(variant.launch, datagramsOf(kSession)), 255);

    EXPECT_EQ(readFile(kStdoutPath), kBanner + kConnectDump + "MGMT: CONNECT\n" +
                                         dumpOf(kSession[1]) + "MGMT: UPDATE\n" +
                                         dumpOf(kSession[2]) + "MGMT: DISCONNECT\n");
    EXPECT_EQ(readFile(kStderrPath), "");
    const auto forwarded = peer_->drain();
    const auto logged = log_->drain();
    ASSERT_EQ(forwarded.size(), kSession.size());
    ASSERT_EQ(logged.size(), kSession.size());
    for (std::size_t i = 0; i < kSession.size(); ++i) {
        EXPECT_EQ(forwarded[i].size, sizeof(MgmtEvent));
        EXPECT_EQ(forwarded[i].bytes, bytesOf(kSession[i])) << "event " << i;
        EXPECT_EQ(forwarded[i].sender, kServerPath);
        EXPECT_TRUE(isLogEntry(logged[i].bytes, kAnnouncements.at(kSession[i].eventType)))
            << logged[i].bytes;
    }
    expectLoopTrace(variant.handle, variant.ownThread, {kConnect, kUpdate, kDisconnect},
                    variant.offset);

    struct stat status {};
    EXPECT_TRUE(::stat(kServerPath, &status) == 0 && S_ISSOCK(status.st_mode));
    if (variant.survivor != nullptr) {
        EXPECT_TRUE(exists(variant.survivor));
    }
}

INSTANTIATE_TEST_SUITE_P(
    , Session,
    ::testing::Values(
        Variant{.name = "Plain"},
        Variant{
            .name = "OwnThread", .launch = {.env = {"ZEL_STANDIN_THREAD=1"}}, .ownThread = true},
        Variant{.name = "Offset1", .launch = {.env = {"ZEL_STANDIN_OFFSET=1"}}, .offset = 1},
        Variant{.name = "Offset2", .launch = {.env = {"ZEL_STANDIN_OFFSET=2"}}, .offset = 2},
        Variant{.name = "Offset7", .launch = {.env = {"ZEL_STANDIN_OFFSET=7"}}, .offset = 7},
        Variant{.name = "OwnThreadOffset3",
                .launch = {.env = {"ZEL_STANDIN_THREAD=1", "ZEL_STANDIN_OFFSET=3"}},
                .ownThread = true,
                .offset = 3},
        Variant{
            .name = "NegativeHandle", .launch = {.env = {"ZEL_STANDIN_HANDLE=-5"}}, .handle = -5},
        Variant{.name = "StrayArgumentsAndEnvironment",
                .launch = {.args = {"--help", "-x", "foo"}, .env = {"VELMKORTD_DEBUG=1"}}},
        Variant{.name = "StaleServerSocket", .prepare = [] { leaveStaleSocket(kServerPath); }},
        Variant{.name = "RegularFileAtServerPath",
                .prepare = [] { ASSERT_TRUE(std::ofstream(kServerPath) << "left over"); }},
        // A leftover link is removed, not followed.
        Variant{.name = "SymlinkAtServerPath",
                .prepare =
                    [] {
                        ASSERT_TRUE(std::ofstream("/tmp/kept") << "kept");
                        ASSERT_EQ(::symlink("/tmp/kept", kServerPath), 0);
                    },
                .survivor = "/tmp/kept"}),
    ByName{});

TEST_F(Blackbox, UnknownEventTypesAreOnlyDumped) {
    const std::array<MgmtEvent, 2> events{makeEvent(3, 3), makeEvent(0xFFFFFFFFU, 4)};
    EXPECT_EQ(runSession({}, datagramsOf(events)), 255);

    EXPECT_EQ(readFile(kStdoutPath), kBanner + dumpOf(events[0]) + dumpOf(events[1]));
    EXPECT_TRUE(peer_->drain().empty());
    EXPECT_TRUE(log_->drain().empty());
    expectLoopTrace(1, false, {3, 0xFFFFFFFFU});
}

// A second daemon (`velmKortd --version`) fails at zelInit; the first still gets every event.
TEST_F(Blackbox, ASecondDaemonFailsAndTheRunningOneKeepsItsEvents) {
    const auto second = [] {
        EXPECT_EQ(runToExit({.args = {"--version"}}), 1);
        EXPECT_EQ(readFile(kStdoutPath), kBanner + "ERROR zelInit failed\n");
    };
    EXPECT_EQ(runSession({}, datagramsOf(kSession), second), 255);
    EXPECT_EQ(peer_->drain().size(), kSession.size());
}

// Any library with the four symbols takes the stand-in's place: this one, put in front with
// LD_PRELOAD, delivers one update at an odd address and ends the loop itself.
TEST_F(Blackbox, RunsUnchangedAgainstAnotherServiceLibraryPreloaded) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer refuses to start with a library preloaded before it";
#endif
    MgmtEvent update{};
    const std::uint32_t values[] = {2, 8, 35};
    std::memcpy(&update.eventType, &values[0], 4);
    std::memcpy(&update.ifObject.vpi, &values[1], 4);
    std::memcpy(&update.ifObject.vci, &values[2], 4);
    std::memcpy(update.ifObject.wanIp, "192.0.2.1", 10);

    EXPECT_EQ(runToExit({.env = {std::string("LD_PRELOAD=") + VELM_OTHER_SERVICE}}), 255);

    EXPECT_EQ(readFile(kStdoutPath), kBanner + dumpOf(update) + "MGMT: UPDATE\n");
    const auto datagrams = peer_->drain();
    ASSERT_EQ(datagrams.size(), 1U);
    EXPECT_EQ(datagrams[0].bytes, bytesOf(update));
    EXPECT_EQ(log_->drain().size(), 1U);
    EXPECT_FALSE(exists(kTracePath)) << "the stand-in was called";
}

// Without a peer each announced event loses its datagram, and nothing else. Error numbers are
// the target's own (EADDRINUSE, ECONNREFUSED are 98, 111 on x86-64 but 125, 146 on MIPS).
struct MissingPeer {
    const char* name;
    void (*prepare)();
    int error;
};

class NoPeer : public Blackbox, public ::testing::WithParamInterface<MissingPeer> {};

TEST_P(NoPeer, EachFailedSendIsReportedAndTheLoopGoesOn) {
    peer_.reset();  // its socket file stays
    GetParam().prepare();
    EXPECT_EQ(runSession({}, datagramsOf(kSession)), 255);

    std::string expected = kBanner;
    for (const MgmtEvent& event : kSession) {
        expected += dumpOf(event) + kAnnouncements.at(event.eventType) + "\nERROR#" +
                    std::to_string(GetParam().error) + " in dispatching the event to trund\n";
    }
    EXPECT_EQ(readFile(kStdoutPath), expected);
    // Only the announcements are logged, never the failures.
    const auto logged = log_->drain();
    ASSERT_EQ(logged.size(), kSession.size());
    for (const auto& entry : logged) EXPECT_EQ(entry.bytes.find("ERROR"), std::string::npos);
    expectLoopTrace(1, false, {kConnect, kUpdate, kDisconnect});
}

INSTANTIATE_TEST_SUITE_P(, NoPeer,
                         ::testing::Values(MissingPeer{"NoSocketFile", [] { ::unlink(kPeerPath); },
                                                       ENOENT},
                                           MissingPeer{"StaleSocketFile", [] {}, ECONNREFUSED}),
                         ByName{});

// Start-up failures end the daemon before its loop, with nothing logged or sent.
struct Failure {
    const char* name;
    Launch launch;
    void (*prepare)();
    std::string output;  // after the banner
    const char* trace;   // nullptr: the service was never called
};

class StartupFailure : public Blackbox, public ::testing::WithParamInterface<Failure> {};

TEST_P(StartupFailure, IsReportedOnStdoutWithStatusOne) {
#ifdef __SANITIZE_ADDRESS__
    for (const std::string& entry : GetParam().launch.env) {
        if (entry.starts_with("LD_PRELOAD=")) GTEST_SKIP() << "AddressSanitizer must come first";
    }
#endif
    GetParam().prepare();
    EXPECT_EQ(runToExit(GetParam().launch), 1);

    EXPECT_EQ(readFile(kStdoutPath), kBanner + GetParam().output);
    EXPECT_EQ(readFile(kStderrPath), "");
    if (GetParam().trace == nullptr) {
        EXPECT_FALSE(exists(kTracePath));
    } else {
        EXPECT_EQ(readFile(kTracePath), GetParam().trace);
    }
    EXPECT_TRUE(log_->drain().empty());
    EXPECT_TRUE(peer_->drain().empty());
}

INSTANTIATE_TEST_SUITE_P(
    , StartupFailure,
    ::testing::Values(
        // The socket is the first descriptor the daemon itself asks for.
        Failure{"NoDescriptorLeft",
                {.env = {std::string("LD_PRELOAD=") + VELM_NO_DESCRIPTORS}},
                [] {},
                "ERROR#" + std::to_string(EMFILE) + " during serverSocket creation\n",
                nullptr},
        // unlink cannot remove a directory, so bind finds the path taken.
        Failure{"BindOnDirectory",
                {},
                [] {
                    ASSERT_EQ(::mkdir(kServerPath, 0755), 0);
                    ASSERT_EQ(::mkdir((std::string(kServerPath) + "/x").c_str(), 0755), 0);
                },
                "ERROR#" + std::to_string(EADDRINUSE) + " in bind on serverSocket\n",
                nullptr},
        Failure{"InitFails",
                {.env = {"ZEL_STANDIN_INIT=-1"}},
                [] {},
                "ERROR zelInit failed\n",
                "zelInit() = -1\n"},
        Failure{"RegisterFails",
                {.env = {"ZEL_STANDIN_HANDLE=0"}},
                [] {},
                "ERROR zelInit failed\n",
                "zelInit() = 0\nzelRegister(16, 2, handler, 0) = 0\nzelDeInit() = 0\n"}),
    ByName{});

}  // namespace
}  // namespace velm::blackbox
