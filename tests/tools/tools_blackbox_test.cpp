// Runs the built tools as people and scripts do, against sockets bound in a private directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "record/endian.h"
#include "record/if_dump.h"
#include "record/mgmt_event.h"
#include "tests/blackbox/harness.h"
#include "tests/support/local_address.h"

extern char** environ;

namespace {

using velm::testsupport::addressOf;

constexpr char kInject[] = VELM_INJECT_PATH;
constexpr char kPeer[] = VELM_PEER_PATH;
constexpr char kCPeerReader[] = VELM_C_PEER_READER_PATH;
constexpr char kPython3[] = VELM_PYTHON3;
// Empty natively; in a cross build, the emulator that runs the tools.
constexpr const char* kEmulator[] = {VELM_EMULATOR_ARGV nullptr};

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velm-tools-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }
    [[nodiscard]] bool ok() const { return !path_.empty(); }

  private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// Where a program runs: the tools are the target's, under its emulator in a cross build.
enum class On : std::uint8_t { Target, Host };

std::map<pid_t, std::string> commands;  // each started tool's command line, to name a hang

// Starts a tool with standard output and error going to files; extra entries join the
// environment.
pid_t start(std::vector<std::string> args, const std::string& out, const std::string& err,
            const std::vector<std::string>& extraEnv = {}, On on = On::Target) {
    if (on == On::Target) args.insert(args.begin(), std::begin(kEmulator), std::end(kEmulator) - 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(extraEnv);
    for (char** entry = environ; *entry != nullptr; ++entry) envStrings.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Under qemu-user this may return before the child has opened it: no earlier tool's text.
    ::unlink(err.c_str());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (const std::string& arg : args) commands[pid] += arg + ' ';
    return pid;
}

// A tool still running after a few seconds hangs: it is killed, and the test fails naming it.
int waitFor(pid_t pid) {
    int status = 0;
    for (int ticks = 0;; ++ticks, ::usleep(10000)) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended < 0 && errno != EINTR) return -1;
        if (ended == pid) break;
        if (ticks == 500 && ::kill(pid, SIGKILL) == 0)
            ADD_FAILURE() << "hung 5 s: " << commands[pid];
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result run(const TempDir& dir, std::vector<std::string> args,
           const std::vector<std::string>& extraEnv = {}, On on = On::Target) {
    const std::string out = dir / "stdout";
    const std::string err = dir / "stderr";
    const pid_t pid = start(std::move(args), out, err, extraEnv, on);
    if (pid < 0) return {};
    return {waitFor(pid), readFile(out), readFile(err)};
}

// What a tool has said on `err` once it has said a whole line, as a user waits for it.
std::string firstLine(const std::string& err) {
    for (int tries = 0; !readFile(err).ends_with('\n') && tries < 500; ++tries) ::usleep(10000);
    return readFile(err);
}

// A datagram socket (or one of `type`), bound at `path` unless it is empty.
int datagramSocket(const std::string& path = {}, int type = SOCK_DGRAM) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0 || path.empty()) return fd;
    sockaddr_un address = addressOf(path);
    socklen_t length = sizeof address;
    if (path[0] == '@') {  // the abstract name, of exactly its length: no NUL after it
        address.sun_path[0] = '\0';
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    ::close(fd);
    return -1;
}

// A queued datagram, whole, or an empty string when none is waiting.
std::string takeQueued(int fd) {
    std::string buffer(1024, '\0');
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    buffer.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return buffer;
}

// Sends once the peer monitor has bound its socket; false if it exits before that, or hangs:
// a socket still missing after 10 s fails the test, naming the path, the monitor killed.
bool sendWhenBound(int fd, const std::string& to, const std::string& bytes, pid_t peer) {
    const sockaddr_un address = addressOf(to);
    for (int ticks = 0; ticks < 1000; ++ticks, ::usleep(10000)) {
        if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                     sizeof address) >= 0)
            return true;
        if (errno != ENOENT && errno != ECONNREFUSED) return false;
        int status = 0;
        if (::waitpid(peer, &status, WNOHANG) != 0) return false;
    }
    ADD_FAILURE() << "no socket bound at " << to << " after 10 s: " << commands[peer];
    if (::kill(peer, SIGKILL) == 0) ::waitpid(peer, nullptr, 0);
    return false;
}

// Sends each datagram in turn from a socket of its own, bound at `from` unless that is empty.
bool sendAll(pid_t peer, const std::string& to, const std::vector<std::string>& datagrams,
             const std::string& from = {}) {
    const int fd = datagramSocket(from);
    bool sent = fd >= 0;
    for (const std::string& bytes : datagrams) sent = sent && sendWhenBound(fd, to, bytes, peer);
    ::close(fd);
    return sent;
}

// Whether the monitor left its private staging name behind in `dir`.
bool stagingLeft(const TempDir& dir) {
    const std::filesystem::directory_iterator entries(dir / "");
    return std::any_of(begin(entries), end(entries), [](const auto& entry) {
        return entry.path().filename().string().starts_with(".velmKort-peer.");
    });
}

MgmtEvent eventFrom(const std::string& bytes) {
    MgmtEvent event{};
    std::memcpy(&event, bytes.data(), std::min(bytes.size(), sizeof event));
    return event;
}

std::uint32_t integerAt(const MgmtEvent& event, std::size_t offset) {
    return velm::endian::loadHost32(reinterpret_cast<const unsigned char*>(&event) + offset);
}

std::string bytesOf(const MgmtEvent& event) {
    return {reinterpret_cast<const char*>(&event), sizeof event};
}

void setInteger(MgmtEvent& event, std::size_t objectOffset, std::uint32_t value) {
    velm::endian::storeHost32(
        reinterpret_cast<unsigned char*>(&event) + offsetof(MgmtEvent, ifObject) + objectOffset,
        value);
}

// An update whose printed forms meet their edges: a negative flag at an unaligned offset, the
// largest unsigned, MAC bytes that print with a leading zero.
MgmtEvent makeUpdate() {
    MgmtEvent event{};
    velm::endian::storeHost32(reinterpret_cast<unsigned char*>(&event), 2);
    setInteger(event, offsetof(AdslIfObject, vpi), 8);
    setInteger(event, offsetof(AdslIfObject, bWanTimedOut), static_cast<std::uint32_t>(-5));
    setInteger(event, offsetof(AdslIfObject, wanMtu), 0xFFFFFFFFU);
    std::memcpy(event.ifObject.dbMac, "\xab\x05\x00\x10\xfe\x0f", 6);
    return event;
}

std::string hexOf(std::string_view bytes) {
    std::string hex;
    for (const char c : bytes) {
        constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 0x0f];
    }
    return hex;
}

// A test's own directory, and the path its peer monitor binds.
class InDir : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    const TempDir dir;
    const std::string peerPath = dir / "peer";
};
class InjectTool : public InDir {};
class PeerTool : public InDir {};
class ToolsUnderBadInput : public InDir {};

TEST_F(InjectTool, WritesTheRecordToAFileAndWritesNothingOnBadInput) {
    Result result = run(dir, {kInject, "--output", dir / "rec", "--type", "disconnect", "vpi=8",
                              "dbMac=00:11:22:33:44:55", "wanIp=10.0.0.2"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
    const std::string written = readFile(dir / "rec");
    ASSERT_EQ(written.size(), sizeof(MgmtEvent));
    const MgmtEvent event = eventFrom(written);
    EXPECT_EQ(integerAt(event, offsetof(MgmtEvent, eventType)), 1U);
    EXPECT_EQ(integerAt(event, 4 + offsetof(AdslIfObject, vpi)), 8U);
    EXPECT_EQ(std::memcmp(event.ifObject.dbMac, "\x00\x11\x22\x33\x44\x55", 6), 0);
    EXPECT_STREQ(event.ifObject.wanIp, "10.0.0.2");

    // A raw file goes through byte for byte.
    result = run(dir, {kInject, "--raw", dir / "rec", "--output", dir / "copy"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(dir / "copy"), written);

    result = run(dir, {kInject, "--output", dir / "bad", "vci=0x1g"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("vci"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("0x1g"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(dir / "bad"));

    // A bare type word says what the default record is; - is standard output.
    result = run(dir, {kInject, "connect", "--output", "-"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(sizeof(MgmtEvent), '\0'));
    result = run(dir, {kInject, "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("connect (0), disconnect (1), update (2)"), std::string::npos);

    // No arguments at all is a question, not an all-zero connect.
    result = run(dir, {kInject});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("Usage: velmKort-inject ")) << result.err;

    std::ofstream(dir / "short", std::ios::binary) << written.substr(1);
    result = run(dir, {kInject, "--raw", dir / "short", "--output", dir / "bad"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(dir / "short"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("283 bytes"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(dir / "bad"));
}

TEST_F(InjectTool, SendsWholeDatagramsToTheSocketAndReportsSendFailures) {
    const int standin = datagramSocket(dir / "standin");
    ASSERT_GE(standin, 0);

    Result result = run(
        dir, {kInject, "--socket", dir / "standin", "--count", "2", "--type", "9", "wanMtu=1492"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
    for (int i = 0; i < 2; ++i) {
        const std::string datagram = takeQueued(standin);
        ASSERT_EQ(datagram.size(), sizeof(MgmtEvent));
        const MgmtEvent event = eventFrom(datagram);
        EXPECT_EQ(integerAt(event, 0), 9U);
        EXPECT_EQ(integerAt(event, 4 + offsetof(AdslIfObject, wanMtu)), 1492U);
    }
    EXPECT_EQ(takeQueued(standin), "");

    // Without --socket it goes where the stand-in binds.
    result = run(dir, {kInject, "--stop"}, {"ZEL_STANDIN_SOCKET=" + (dir / "standin")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(takeQueued(standin), "stop");
    ::close(standin);

    result = run(dir, {kInject, "--socket", dir / "nobody", "vpi=1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(dir / "nobody"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(std::strerror(ENOENT)), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("velmKortd running against the stand-in"), std::string::npos);
}

TEST_F(PeerTool, DecodesRecordsAndFlagsMalformedDatagrams) {
    const pid_t peer =
        start({kPeer, "--socket", peerPath, "--count", "3"}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);

    MgmtEvent event{};
    velm::endian::storeHost32(reinterpret_cast<unsigned char*>(&event), 2);
    velm::endian::storeHost32(reinterpret_cast<unsigned char*>(&event.ifObject.vpi), 8);
    std::strcpy(event.ifObject.username, "alice");
    const std::string record(reinterpret_cast<const char*>(&event), sizeof event);
    ASSERT_TRUE(sendAll(peer, peerPath, {record, "abc"}, dir / "sender"));
    const std::string abstractName = "velm-tools-test." + std::to_string(::getpid());
    ASSERT_TRUE(sendAll(peer, peerPath, {std::string(1000, 'x')}, "@" + abstractName));

    ASSERT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    EXPECT_FALSE(stagingLeft(dir));
    const std::string out = readFile(dir / "out");
    const std::string from = "from " + (dir / "sender") + ": ";
    EXPECT_EQ(out.find("#1 " + from + "284 bytes, type UPDATE\n    bModeAutodetect = 0\n"), 0U)
        << out;
    EXPECT_NE(out.find("\n    vpi = 8\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n    username = alice\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n#2 " + from + "malformed: 3 bytes, expected 284\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\n#3 from @" + abstractName + ": malformed: 1000 bytes, expected 284\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 23 + 1 + 1) << out;
    EXPECT_FALSE(exists(peerPath));
}

TEST_F(PeerTool, ReplacesAStaleSocketAndRemovesItsOwnOnSigterm) {
    const int stale = datagramSocket(peerPath);
    ASSERT_GE(stale, 0);
    ::close(stale);

    const pid_t peer = start({kPeer, "--socket", peerPath}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    ASSERT_TRUE(sendAll(peer, peerPath, {std::string(sizeof(MgmtEvent), '\0')}));
    ASSERT_EQ(::kill(peer, SIGTERM), 0);
    EXPECT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    EXPECT_FALSE(exists(peerPath));
}

TEST_F(PeerTool, UsageAndBindErrors) {
    Result result = run(dir, {kPeer, "--count", "0"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--count '0'"), std::string::npos) << result.err;

    result = run(dir, {kPeer, "--socket", dir / "missing/peer", "--count", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(dir / "missing/peer"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(std::strerror(ENOENT)), std::string::npos) << result.err;
}

TEST_F(ToolsUnderBadInput, OversizedAndEmptyInputIsNamedBySizeAndNothingPartialIsSent) {
    // The peer monitor reports datagrams by their true size, however far from a record.
    const pid_t peer =
        start({kPeer, "--socket", peerPath, "--count", "2"}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    ASSERT_TRUE(sendAll(peer, peerPath, {"", std::string(65000, 'x')}, dir / "sender"));
    ASSERT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    const std::string from = "from " + (dir / "sender") + ": ";
    EXPECT_EQ(readFile(dir / "out"), "#1 " + from + "malformed: 0 bytes, expected 284\n#2 " + from +
                                         "malformed: 65000 bytes, expected 284\n");

    // The injector sends nothing for a raw file that is too long or an option that does not
    // parse.
    const int standin = datagramSocket(dir / "standin");
    ASSERT_GE(standin, 0);
    std::ofstream(dir / "big", std::ios::binary) << std::string(65000, '\0');
    Result result = run(dir, {kInject, "--socket", dir / "standin", "--raw", dir / "big"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("65000 bytes"), std::string::npos) << result.err;
    result = run(dir, {kInject, "--socket", dir / "standin", "--count", "12x", "vpi=1"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--count '12x'"), std::string::npos) << result.err;
    EXPECT_EQ(takeQueued(standin), "");
    ::close(standin);
}

TEST_F(PeerTool, SavesEveryDatagramAsReceivedAndTheInjectorReplaysTheFilesInOrder) {
    const std::string capture = dir / "capture";
    const pid_t peer = start({kPeer, "--socket", peerPath, "--count", "3", "--save", capture},
                             dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    MgmtEvent second = makeUpdate();
    std::strcpy(second.ifObject.wanIp, "10.0.0.2");
    const std::vector<std::string> sent{bytesOf(makeUpdate()), bytesOf(second), "abc"};
    ASSERT_TRUE(sendAll(peer, peerPath, sent, dir / "sender"));
    ASSERT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    EXPECT_EQ(readFile(capture + "/000001.rec"), sent[0]);
    EXPECT_EQ(readFile(capture + "/000002.rec"), sent[1]);
    EXPECT_EQ(readFile(capture + "/000003.rec"), sent[2]);
    EXPECT_NE(readFile(dir / "err")
                  .find("#3 is malformed (3 bytes); saved as " + capture + "/000003.rec"),
              std::string::npos);

    // Sent in the order given; one file of the wrong size and nothing is sent at all.
    const int standin = datagramSocket(dir / "standin");
    ASSERT_GE(standin, 0);
    Result result =
        run(dir, {kInject, "--socket", dir / "standin", "--raw", capture + "/000002.rec",
                  capture + "/000001.rec", capture + "/000003.rec"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(capture + "/000003.rec"), std::string::npos) << result.err;
    EXPECT_EQ(takeQueued(standin), "");
    result = run(dir, {kInject, "--socket", dir / "standin", "--raw", capture + "/000002.rec",
                       capture + "/000001.rec", "--count", "2"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::size_t index : {1U, 0U, 1U, 0U}) EXPECT_EQ(takeQueued(standin), sent[index]);
    EXPECT_EQ(takeQueued(standin), "");
    ::close(standin);

    // A second capture into the same directory refuses, and the first stays as it was.
    result = run(dir, {kPeer, "--socket", peerPath, "--count", "1", "--save", capture + "/"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("(" + capture + "/000001.rec)"), std::string::npos) << result.err;
    EXPECT_EQ(readFile(capture + "/000001.rec"), sent[0]);
    // Nor is a file met later: the capture stops there.
    for (const char* name : {"/000001.rec", "/000003.rec"}) ::unlink((capture + name).c_str());
    const pid_t again = start({kPeer, "--socket", peerPath, "--count", "2", "--save", capture},
                              dir / "out", dir / "err");
    ASSERT_TRUE(sendAll(again, peerPath, {sent[0], sent[0]}));
    EXPECT_EQ(waitFor(again), 1);
    EXPECT_NE(readFile(dir / "err").find(capture + "/000002.rec"), std::string::npos);
    EXPECT_EQ(readFile(capture + "/000002.rec"), sent[1]);
}

TEST_F(PeerTool, HostileTextsReachNeitherTheTerminalNorAJsonReaderRaw) {
    MgmtEvent event = makeUpdate();
    const std::string wanIp = "\x1b[2J\"\\\n";  // clear screen, quote, backslash, line break
    const std::string gateway = std::string("\x01\x1f\x7f\xff\"\\/\t\r\b\fabcde", 16);  // no NUL
    const std::string user = "\xc3\xa9\x80 \"x\\y\"";
    // Overlong forms, a code point above U+10FFFF and a surrogate, which a strict reader refuses
    // raw; a CSI, a C1 control.
    const std::string csi = "\xc2\x9b";
    const std::string dns1 = "\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf\xf4\x90\x80\x80";
    const std::string dns2 = "\xed\xa0\x80" + csi + "2J";
    // A full-width text cut short in its last character, before bytes that would complete it.
    const std::string password = std::string(63, 'p') + "\xf0\x9f";
    setInteger(event, offsetof(AdslIfObject, idleTimeout), 0x98989898U);
    std::memcpy(event.ifObject.wanIp, wanIp.data(), wanIp.size());
    std::memcpy(event.ifObject.wanGateway, gateway.data(), gateway.size());
    std::memcpy(event.ifObject.username, user.data(), user.size());
    std::memcpy(event.ifObject.wanDns1, dns1.data(), dns1.size());
    std::memcpy(event.ifObject.wanDns2, dns2.data(), dns2.size());
    std::memcpy(event.ifObject.password, password.data(), password.size());
    const std::string from = dir / "sender";
    const std::string timeForm = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)";

    const pid_t textPeer = start({kPeer, "--socket", peerPath, "--count", "1", "--timestamps"},
                                 dir / "text", dir / "err", {"TZ=JST-9"});  // UTC all the same
    ASSERT_GT(textPeer, 0);
    const int sender = datagramSocket(from);
    ASSERT_TRUE(sendWhenBound(sender, peerPath, bytesOf(event), textPeer));
    const std::time_t sentAt = std::time(nullptr);
    ASSERT_EQ(waitFor(textPeer), 0) << readFile(dir / "err");
    const std::string text = readFile(dir / "text");
    EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || byte >= 0x7f;
    })) << text;
    EXPECT_TRUE(std::regex_search(
        text, std::regex("^#1 at " + timeForm + " from " + from + ": 284 bytes, type UPDATE\n")))
        << text;
    std::tm printed{};
    ::strptime(text.substr(6, 19).c_str(), "%Y-%m-%dT%H:%M:%S", &printed);
    EXPECT_LE(std::abs(::timegm(&printed) - sentAt), 1) << text;
    EXPECT_NE(text.find("\n    wanIp = \\x1b[2J\"\\\\\\x0a\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("\n    wanGateway = \\x01\\x1f\\x7f\\xff\"\\\\/\\x09\\x0d\\x08\\x0cabcde\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 23) << text;

    // Python's own parser, strict about control characters in strings and about UTF-8, reads
    // every line: valid UTF-8 stays its characters, a stray byte is U+FFFD, and "hex" holds such
    // a text's bytes, the sender's path's too.
    const pid_t jsonPeer =
        start({kPeer, "--socket", peerPath, "--count", "2", "--json", "--timestamps"}, dir / "json",
              dir / "err");
    ASSERT_GT(jsonPeer, 0);
    ASSERT_TRUE(sendWhenBound(sender, peerPath, bytesOf(event), jsonPeer));
    ::close(sender);
    ASSERT_TRUE(sendAll(jsonPeer, peerPath, {"x\n{\""}, from + "\xff"));
    ASSERT_EQ(waitFor(jsonPeer), 0) << readFile(dir / "err");
    // Python takes a raw DEL in a string.
    for (const char* escaped : {R"(\u009b2J)", R"(\u001f\u007f\ufffd)"})
        EXPECT_NE(readFile(dir / "json").find(escaped), std::string::npos) << escaped;
    if (std::string_view(kPython3).empty()) GTEST_SKIP() << "no python3 to read the JSON";
    const std::string check = R"(
import json, re, sys
lines = open(sys.argv[1], encoding='utf-8').read().split('\n')
assert lines.pop() == ''
for line in lines:
    o = json.loads(line)
    assert re.fullmatch(sys.argv[2], o['time']), o['time']
    h = o.get('hex', {})
    print(o['number'], o['sender'].encode().hex(), h.get('sender', '-'), o['size'],
          o['malformed'], o.get('type'), o.get('typeName'))
    if not o['malformed']:
        i = o['ifObject']
        print(len(i), i['vpi'], i['bWanTimedOut'], i['wanMtu'], i['dbMac'], sorted(h))
        for name in ('wanIp', 'wanGateway', 'wanDns1', 'wanDns2', 'username', 'password'):
            print(name, i[name].encode().hex(), h.get(name, '-'))
)";
    const Result parsed = run(dir, {kPython3, "-c", check, dir / "json", timeForm}, {}, On::Host);
    ASSERT_EQ(parsed.status, 0) << parsed.err << readFile(dir / "json");
    const std::string stray = "\xef\xbf\xbd";  // U+FFFD
    // The hex of a decoded text all of whose bytes are stray ones.
    const auto strays = [](const std::string& bytes) {
        return std::regex_replace(hexOf(bytes), std::regex(".."), "efbfbd");
    };
    EXPECT_EQ(parsed.out,
              "1 " + hexOf(from) + " - 284 False 2 UPDATE\n" +
                  "23 8 -5 4294967295 ab:05:00:10:fe:0f ['password', 'username', 'wanDns1', " +
                  "'wanDns2', 'wanGateway']\nwanIp " + hexOf(wanIp) + " -\nwanGateway " +
                  hexOf(std::string(gateway).replace(3, 1, stray)) + " " + hexOf(gateway) +
                  "\nwanDns1 " + strays(dns1) + " " + hexOf(dns1) + "\nwanDns2 " +
                  strays("\xed\xa0\x80") + hexOf(csi + "2J") + " " + hexOf(dns2) + "\nusername " +
                  hexOf(std::string(user).replace(2, 1, stray)) + " " + hexOf(user) +
                  "\npassword " + hexOf(std::string(63, 'p')) + strays("\xf0\x9f") + " " +
                  hexOf(password) + "\n2 " + hexOf(from + stray) + " " + hexOf(from + "\xff") +
                  " 4 True None None\n");
}

TEST_F(PeerTool, RefusesAPathSomeoneHoldsAndRemovesOnlyItsOwnSocketFile) {
    const std::string record(sizeof(MgmtEvent), '\0');
    const int sender = datagramSocket();
    ASSERT_GE(sender, 0);

    // A second monitor leaves the live first one alone, which goes on receiving.
    const pid_t first =
        start({kPeer, "--socket", peerPath, "--count", "2"}, dir / "out", dir / "err");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(sendWhenBound(sender, peerPath, record, first));
    Result result = run(dir, {kPeer, "--socket", peerPath, "--count", "1"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(peerPath + " is in use"), std::string::npos) << result.err;
    EXPECT_FALSE(stagingLeft(dir));
    ASSERT_TRUE(sendWhenBound(sender, peerPath, record, first));
    ASSERT_EQ(waitFor(first), 0) << readFile(dir / "err");
    EXPECT_NE(readFile(dir / "out").find("\n#2 from (unnamed): 284 bytes"), std::string::npos);
    EXPECT_EQ(readFile(dir / "err"), "velmKort-peer: listening on " + peerPath + "\n");
    EXPECT_FALSE(exists(peerPath));

    // What is not a socket is neither taken over nor removed.
    std::ofstream(dir / "file") << "kept";
    result = run(dir, {kPeer, "--socket", dir / "file"});
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find(dir / "file" + " exists and is not a socket"), std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(dir / "file"), "kept");

    // Nor is a live stream socket, which was never sent a connection and goes on accepting.
    const int listener = datagramSocket(peerPath, SOCK_STREAM);
    ASSERT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(run(dir, {kPeer, "--socket", peerPath, "--count", "1"}).status, 3);
    pollfd pending{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0);
    const sockaddr_un address = addressOf(peerPath);
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    for (const int fd : {client, listener}) ::close(fd);
    ::unlink(peerPath.c_str());

    // On the way out, a path that is no longer its own socket file stays: a successor's
    // socket, or a file.
    for (const bool successorIsSocket : {true, false}) {
        SCOPED_TRACE(successorIsSocket ? "socket" : "file");
        const pid_t peer = start({kPeer, "--socket", peerPath}, dir / "out", dir / "err");
        ASSERT_GT(peer, 0);
        // Once it says so, the socket file is known as its own.
        ASSERT_EQ(firstLine(dir / "err"), "velmKort-peer: listening on " + peerPath + "\n");
        ASSERT_EQ(::unlink(peerPath.c_str()), 0);
        const int successor = successorIsSocket ? datagramSocket(peerPath) : -1;
        if (!successorIsSocket) std::ofstream(peerPath) << "successor";
        ASSERT_EQ(::kill(peer, SIGTERM), 0);
        EXPECT_EQ(waitFor(peer), 0) << readFile(dir / "err");
        EXPECT_TRUE(exists(peerPath));
        if (successor >= 0) ::close(successor);
        ::unlink(peerPath.c_str());
    }
    ::close(sender);
}

TEST_F(PeerTool, AnOutputErrorEndsItWithStatus1AndRemovesItsSocket) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string& out : {std::string("/dev/full"), dir / "fifo"}) {
        const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const pid_t peer = start({kPeer, "--socket", peerPath}, out, dir / "err");
        EXPECT_NE(firstLine(dir / "err"), "");
        ::close(reader);  // before anything is written: EPIPE, and SIGPIPE unless ignored
        ASSERT_TRUE(sendAll(peer, peerPath, {std::string(sizeof(MgmtEvent), '\0')}));
        EXPECT_EQ(waitFor(peer), 1) << out;
        EXPECT_NE(readFile(dir / "err").find("standard output"), std::string::npos);
        EXPECT_FALSE(exists(peerPath));
    }
}

// On a full disk, or with a directory it cannot write, nothing partial is left behind.
TEST(ToolsOnAFullDisk, LeaveNoPartialFileAndRefuseAnUnwritableDirectoryAtStart) {
    const std::string why = velm::blackbox::enterPrivateMounts();
    if (!why.empty()) GTEST_SKIP() << "no private mount namespace: " << why;
    ASSERT_FALSE(HasFailure());
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string disk = dir / "disk", capture = disk + "/capture", peerPath = dir / "peer";
    ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", MS_RDONLY, nullptr), 0);
    Result result = run(dir, {kPeer, "--socket", peerPath, "--save", disk});
    EXPECT_NE(result.err.find(std::strerror(EROFS)), std::string::npos) << result.err;

    // One page: the record fits, the long datagram after it does not.
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4k"), 0);
    const pid_t peer =
        start({kPeer, "--socket", peerPath, "--save", capture}, dir / "out", dir / "err");
    ASSERT_TRUE(sendAll(peer, peerPath, {bytesOf(makeUpdate()), std::string(65000, 'x')}));
    EXPECT_EQ(waitFor(peer), 1);
    EXPECT_NE(readFile(dir / "err").find(std::strerror(ENOSPC)), std::string::npos);
    EXPECT_FALSE(exists(peerPath));
    EXPECT_FALSE(exists(capture + "/000002.rec"));  // so that --raw capture/*.rec replays
    result = run(dir, {kInject, "connect", "--output", disk + "/rec"});
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(exists(disk + "/rec"));
    // A device that refuses the write is no partial file: it stays.
    ASSERT_EQ(::mknod((dir / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);
    result = run(dir, {kInject, "connect", "--output", dir / "full"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(std::strerror(ENOSPC)), std::string::npos) << result.err;
    EXPECT_TRUE(std::filesystem::is_character_file(std::filesystem::symlink_status(dir / "full")));
}

// A peer written in C, built against the installed header, reads the daemon's own datagram
// field for field as the daemon's dump printed it.
TEST(RecordHeader, ACPeerBuiltAgainstTheInstalledHeaderReadsTheDaemonsDatagram) {
    namespace blackbox = velm::blackbox;
    const std::string why = blackbox::enterPrivateMounts();
    if (!why.empty()) GTEST_SKIP() << "no private mount namespace: " << why;
    ASSERT_FALSE(HasFailure());
    const blackbox::Inbox log(blackbox::kLogPath);
    blackbox::Inbox peer(blackbox::kPeerPath);
    MgmtEvent event = makeUpdate();
    std::strcpy(event.ifObject.wanIp, "10.0.0.2");
    std::strcpy(event.ifObject.username, "user\tname");
    std::memset(event.ifObject.password, 'p', sizeof event.ifObject.password);  // no NUL
    EXPECT_EQ(blackbox::runSession({}, {bytesOf(event)}), 255);
    const auto datagrams = peer.drain();
    ASSERT_EQ(datagrams.size(), 1U);

    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::ofstream(dir / "event.rec", std::ios::binary) << datagrams[0].bytes;
    const Result reader = run(dir, {kCPeerReader, dir / "event.rec"});
    ASSERT_EQ(reader.status, 0) << reader.err;
    EXPECT_NE(reader.out.find("\nbWanTimedOut = -5\n"), std::string::npos) << reader.out;
    EXPECT_EQ("velmKortd started\n" + reader.out + "MGMT: UPDATE\n",
              blackbox::readFile(blackbox::kStdoutPath));
}

// velmKort-logpipe, in a mount namespace of the test's own, whose /dev/log is the test's
// socket and whose /dev/pts is a fresh instance.
namespace logpipe {

constexpr char kLogpipe[] = VELM_LOGPIPE_PATH;
// Run through the tool: on a terminal, it says so and gives its parent's pid in an error line.
constexpr char kScript[] =
    "echo velmKortd started; echo username = alice; echo password = sekrit; "
    "[ -t 1 ] && echo \"ERROR#98 in bind, parent $PPID\"; printf 'ERROR zelInit failed'; exit 3";

// The first `count` entries, each as its priority and text; the reader may still be at work
// when the program has ended, so this waits for them, up to a bound that only a hang meets.
std::vector<std::string> messages(int log, std::size_t count) {
    std::vector<std::string> texts;
    for (int tries = 0; texts.size() < count && tries < 1000; ++tries) {
        std::string entry = takeQueued(log);
        if (entry.empty()) {
            ::usleep(10000);
            continue;
        }
        const std::string_view end = velm::blackbox::kLogEnd;
        if (entry.ends_with(end)) entry.resize(entry.size() - end.size());
        const std::size_t tag = entry.find(" velmKortd: ");
        texts.push_back(entry.substr(0, 4) +
                        (tag == std::string::npos ? entry : entry.substr(tag + 12)));
    }
    return texts;
}

// The test's own /dev/log, returned, and a fresh /dev/pts; -1 if they fail.
int privateLogAndTerminals() {
    const bool ok = ::mkdir("/dev/pts", 0755) == 0 &&
                    ::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") == 0 &&
                    ::symlink("pts/ptmx", "/dev/ptmx") == 0;
    return ok ? datagramSocket("/dev/log") : -1;
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

// Whether the process has ended within seconds: gone, or a zombie that init has yet to reap.
bool ends(pid_t pid) {
    for (int tries = 0; tries < 500; ++tries, ::usleep(10000)) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string skip;
        char state = 'Z';
        if (!(stat >> skip >> skip >> state) || state == 'Z') return true;
    }
    return false;
}

// The entries, a line each, to search and to show.
std::string linesOf(const std::vector<std::string>& entries) {
    std::string lines;
    for (const std::string& entry : entries) lines += entry + '\n';
    return lines;
}

// Longer than a password: no reading of a dump before it can reach past it.
const std::string kReal = "ERROR real" + std::string(70, '.');

// All three word a bad option alike, end the options at "--" (the log pipe's next word would
// be the program to run), and fail as coreutils does when help or a version is not written.
TEST_F(ToolsUnderBadInput, AllThreeSayTheSameAndFailWhenHelpCannotBeWritten) {
    for (const std::string tool : {kInject, kPeer, kLogpipe}) {
        const std::string name = std::filesystem::path(tool).filename().string();
        const Result result = run(dir, {tool, "--bogus"});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, name + ": unknown option '--bogus' (see --help)\n");
        EXPECT_EQ(tool == kLogpipe ? 2 : run(dir, {tool, "--", "--version"}).status, 2) << name;
        for (const char* ask : {"--help", "--version"}) {
            EXPECT_EQ(waitFor(start({tool, ask}, "/dev/full", dir / "err")), 1) << name << ask;
            EXPECT_EQ(readFile(dir / "err"), name + ": write error: " + strerror(ENOSPC) + "\n");
        }
    }
}

// The log pipe running a shell script, started as a caller may leave it: `setUp` runs first.
template <typename SetUp>
pid_t startAs(const std::string& script, SetUp setUp) {
    std::vector<std::string> args{std::begin(kEmulator), std::end(kEmulator) - 1};
    args.insert(args.end(), {kLogpipe, "/bin/sh", "-c", script});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Opened before `setUp` may drop root: the build tree may be where only root can go.
    const int program = ::open(argv[0], O_RDONLY | O_CLOEXEC);
    setUp();
    ::fexecve(program, argv.data(), environ);
    ::_exit(127);
}

// Each test in the namespace, with its log and a directory in the namespace's /tmp.
class LogpipeTool : public testing::Test {
  protected:
    void SetUp() override {
        if (!why.empty()) GTEST_SKIP() << "no private mount namespace: " << why;
        ASSERT_FALSE(HasFailure());
        log = privateLogAndTerminals();
        ASSERT_GE(log, 0);
        ASSERT_TRUE(dir.ok());
    }
    void TearDown() override { ::close(log); }
    const std::string why = velm::blackbox::enterPrivateMounts();  // before the directory
    int log = -1;
    const TempDir dir;
};

TEST_F(LogpipeTool, LogsErrorLinesDumpsOnlyWhenAskedMaskedAndExitsAsTheProgram) {
    const pid_t pid = start({kLogpipe, "/bin/sh", "-c", kScript}, dir / "out", dir / "err");
    EXPECT_EQ(waitFor(pid), 3);
    // LOG_DAEMON | LOG_ERR is 27, LOG_DAEMON | LOG_INFO 30.
    const std::string bind = "ERROR#98 in bind, parent " + std::to_string(pid);
    EXPECT_EQ(messages(log, 2),
              (std::vector<std::string>{"<27>" + bind, "<27>ERROR zelInit failed"}));

    const pid_t dumps =
        start({kLogpipe, "--dumps", "--", "/bin/sh", "-c", kScript}, dir / "out", dir / "err");
    EXPECT_EQ(waitFor(dumps), 3);
    EXPECT_EQ(
        messages(log, 5),
        (std::vector<std::string>{
            "<30>velmKortd started", "<30>username = alice", "<30>password = ********",
            "<27>ERROR#98 in bind, parent " + std::to_string(dumps), "<27>ERROR zelInit failed"}));

    EXPECT_EQ(takeQueued(log), "");  // in order, so nothing comes after the last line
    // A line longer than a log entry is logged in pieces, each where the line belongs.
    EXPECT_EQ(run(dir, {kLogpipe, "/bin/sh", "-c", "printf 'ERROR %0600d\\n' 7"}).status, 0);
    const std::string longLine = "ERROR " + std::string(599, '0') + "7";
    EXPECT_EQ(messages(log, 2), (std::vector<std::string>{"<27>" + longLine.substr(0, 512),
                                                          "<27>" + longLine.substr(512)}));

    // Standard error is logged as the program's; a failure of the tool itself once, as its own;
    // a file without "#!" is refused, whatever the C library's execvp would do with it.
    EXPECT_EQ(run(dir, {kLogpipe, "/bin/sh", "-c", "echo zel-standin: oops >&2"}).status, 0);
    EXPECT_EQ(messages(log, 1), std::vector<std::string>{"<27>zel-standin: oops"});
    std::ofstream(dir / "plain") << "touch " << (dir / "ran") << '\n';
    ::chmod((dir / "plain").c_str(), 0755);
    Result result;
    for (const char* name : {"missing", "plain"}) {
        result = run(dir, {kLogpipe, dir / name});
        EXPECT_EQ(result.status, 127);
        EXPECT_NE(result.err.find(dir / name), std::string::npos) << result.err;
    }
    EXPECT_NE(result.err.find("Exec format error"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(dir / "ran"));
    // A PATH entry that is no directory is passed over, as by the shell.
    EXPECT_EQ(run(dir, {kLogpipe, "sh", "-c", "exit 5"}, {"PATH=/etc/passwd:/bin"}).status, 5);
    EXPECT_EQ(run(dir, {kLogpipe, "/bin/sh", "-c", "echo ERROR next"}).status, 0);
    const std::string failures = linesOf(messages(log, 3));
    EXPECT_TRUE(std::regex_search(failures,
                                  std::regex(" velmKort-logpipe: cannot run [^\n]*/missing: "
                                             "[^\n]*\n[^\n]* velmKort-logpipe: cannot run "
                                             "[^\n]*/plain: Exec format error\n<27>ERROR next\n$")))
        << failures;
    EXPECT_EQ(run(dir, {kLogpipe, "--bogus", "/bin/true"}).status, 2);  // worded as any tool's
    EXPECT_EQ(run(dir, {kLogpipe}).status, 2);
    EXPECT_TRUE(std::regex_search(linesOf(messages(log, 2)),
                                  std::regex("<27>.* velmKort-logpipe: unknown option '--bogus'\n"
                                             "<27>.* velmKort-logpipe: no program given\n")));
    result = run(dir, {kLogpipe, "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("Usage: velmKort-logpipe")) << result.out;
}

// Text fields that forge an ERROR, password and last line, and passwords split by newlines.
TEST_F(LogpipeTool, NoTextFieldLogsAnErrorOrAnyByteOfThePassword) {
    const char* const texts[][3] = {
        {"a", "u\npassword = p1\nidleTimeout = 5", "Pw1\nERROR Pw2\nPw3"},
        {"b", "v", "Pw4\nPw5-yes"}};
    for (const auto& [name, user, password] : texts) {
        MgmtEvent event = makeUpdate();
        std::strcpy(event.ifObject.wanIp, "\nERROR forged");
        std::strcpy(event.ifObject.username, user);
        std::strcpy(event.ifObject.password, password);
        std::array<char, velm::record::kDumpMaxChars> text{};
        std::ofstream(dir / name) << std::string_view(
            text.data(), velm::record::formatIfObject(event.ifObject, text));
    }
    // Read while it runs, as a system logger does: it exits once everything is logged.
    const pid_t pid = start({kLogpipe, "--dumps", "/bin/sh", "-c",
                             "cd " + (dir / "") + "; cat a; echo " + kReal +
                                 "; cat b; sleep 0.2; cat a b; echo " + kReal},
                            dir / "stdout", dir / "stderr");
    // A dump: an entry per field, a text's lines in its own, from its first password line on
    // one masked entry and its last line.
    const std::vector<std::string> all = messages(log, 4 * 23 + 2);
    EXPECT_EQ(waitFor(pid), 0);
    ASSERT_EQ(all.size(), 4 * 23 + 2U);
    // The real error lines, and no byte of a password anywhere.
    EXPECT_FALSE(std::regex_search(linesOf(all), std::regex("Pw|<27>(?!ERROR real)")))
        << linesOf(all);
    EXPECT_EQ(std::count(all.begin(), all.end(), "<27>" + kReal), 2);
    EXPECT_EQ(std::count(all.begin(), all.end(), "<30>wanIp = \\nERROR forged"), 4);
}

// The longest dump there is, each field at its widest, whose user name and password forge a
// password line, an ERROR#2 line and a last line; P[a-d] are bytes of the password or after
// the first password line.
std::string hostileDump() {
    MgmtEvent event = makeUpdate();
    for (const velm::record::Field& field : velm::record::kIfFields) {
        auto* at = reinterpret_cast<unsigned char*>(&event.ifObject) + field.offset;
        if (field.kind == velm::record::FieldKind::Text) std::memset(at, 'w', field.size);
        if (velm::record::isInteger(field.kind))
            setInteger(event, field.offset,
                       field.kind == velm::record::FieldKind::Flag ? 0x80000000U : 0xFFFFFFFFU);
    }
    std::memcpy(event.ifObject.wanIp, "0\nERROR forged!!", 16);
    const std::string user = "\npassword = Pa\nERROR#2 Pb\nidleTimeout = 5";
    const std::string password = "\nidleTimeout = 7\nERROR#2 Pd";
    std::memcpy(event.ifObject.username, (std::string(65 - user.size(), 'u') + user).data(), 65);
    std::memcpy(event.ifObject.password,
                ("Pc" + std::string(63 - password.size(), 'c') + password).data(), 65);
    std::array<char, velm::record::kDumpMaxChars> text{};
    return {text.data(), velm::record::formatIfObject(event.ifObject, text)};
}

// The dump written in two parts, cut at each line of its hostile part and one byte before its
// end, with a pause longer than the reader's quiet time between them, or with the program
// ending at the cut; a real error line, long enough to settle the dump before it, each time.
TEST_F(LogpipeTool, AtEveryCutOfADumpItsPasswordStaysOutAndOnlyRealErrorsAreErrors) {
    const std::string dump = hostileDump();
    ASSERT_EQ(dump.size(), velm::record::kDumpMaxChars);
    std::vector<std::size_t> cuts;
    for (std::size_t at = dump.find("username = "); at + 1 < dump.size(); ++at)
        if (dump[at] == '\n') cuts.push_back(at + 1);
    cuts.push_back(dump.size() - 1);
    const std::size_t masked = dump.find("\npassword = ") + 1;  // the first password line
    std::string paused = "cd " + (dir / "") + ";";
    std::vector<std::string> all;  // each ended run's entries, then the paused run's
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const std::string part = std::to_string(i);
        std::ofstream(dir / ("head" + part)) << kReal << '\n' << dump.substr(0, cuts[i]);
        std::ofstream(dir / ("tail" + part)) << dump.substr(cuts[i]);
        paused += "cat head" + part + "; sleep 0.15; cat tail" + part + ";";
        const pid_t cut = start({kLogpipe, "--dumps", "/bin/sh", "-c",
                                 "cat " + (dir / ("head" + part)) + "; kill -TERM $$"},
                                dir / "stdout", dir / "stderr");
        // The real error and the 21 fields before the password line, masked if it was there.
        for (const auto& entry : messages(log, cuts[i] > masked ? 23 : 22)) all.push_back(entry);
        EXPECT_EQ(waitFor(cut), 128 + SIGTERM);
    }
    // Read while it runs: uClibc-ng's syslog drops an entry that waits more than a second for a
    // logger whose queue is full, and this run takes longer.
    const pid_t pausedRun = start({kLogpipe, "--dumps", "/bin/sh", "-c", paused + "echo " + kReal},
                                  dir / "stdout", dir / "stderr");
    const std::vector<std::string> whole = messages(log, 24 * cuts.size() + 1);
    ASSERT_EQ(waitFor(pausedRun), 0);
    all.insert(all.end(), whole.begin(), whole.end());
    const std::string joined = linesOf(all);
    EXPECT_FALSE(std::regex_search(joined, std::regex("P[a-d]|<27>(?!ERROR real)"))) << joined;
    EXPECT_EQ(std::count(all.begin(), all.end(), "<27>" + kReal),
              2 * static_cast<std::ptrdiff_t>(cuts.size()) + 1);
    ASSERT_EQ(whole.size(), 24 * cuts.size() + 1);
    for (auto entry = whole.rbegin() + 1; entry < whole.rend(); entry += 24) {
        // Backwards: the last line, the masked entry, the user name's ...
        EXPECT_EQ(entry[0], "<30>idleTimeout = 4294967295") << joined;
        EXPECT_EQ(entry[1], "<30>password = ********");
        EXPECT_EQ(entry[11], "<30>wanIp = 0\\nERROR forged!!");
        EXPECT_EQ(entry[23], "<27>" + kReal);
    }

    // A real error line right after a dump, where a password could still go on, is held for the
    // program's next words and logged when they end the dump: if the reader decided at the first
    // gap, it would be dump. The pause is far shorter than the quiet time, but a loaded machine
    // may stall the writer longer: one of three suffices.
    std::ofstream(dir / "soon") << dump.substr(0, dump.find("password = ")) << "password = x\n"
                                << "idleTimeout = 0\nERROR soon\n";
    const std::string soon = "cat " + (dir / "soon") + "; sleep 0.01; echo " + kReal + ";";
    EXPECT_EQ(run(dir, {kLogpipe, "/bin/sh", "-c", soon + soon + soon}).status, 0);
    all = messages(log, 6);
    EXPECT_EQ(std::count(all.begin(), all.end(), "<27>" + kReal), 3);
    EXPECT_GE(std::count(all.begin(), all.end(), "<27>ERROR soon"), 1);
}

// The log pipe killed, the program ends; every signal sent to it is the program's, whose last
// words are logged and whose status, or signal, is the log pipe's, which waits for no child of the
// program that keeps its outputs, but for the program itself, whatever it closed or ended.
TEST_F(LogpipeTool, TheLogPipeAndTheProgramEndTogether) {
    const pid_t pid = start({kLogpipe, "/bin/sh", "-c", "echo ERROR up; exec sleep 30"},
                            "/dev/null", "/dev/null");
    ASSERT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR up"});
    const std::vector<pid_t> program = childrenOf(pid);
    ASSERT_EQ(program.size(), 1U);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_EQ(waitFor(pid), 128 + SIGKILL);
    EXPECT_TRUE(ends(program[0]));

    const std::string holder = "(trap '' HUP; exec sleep 30) & echo $! >" + (dir / "holder");
    const pid_t stopped = start({kLogpipe, "/bin/sh", "-c",
                                 "trap 'echo ERROR bye; exit 6' TERM; " + holder +
                                     "; echo ERROR up; while :; do sleep 0.1; done"},
                                "/dev/null", "/dev/null");
    ASSERT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR up"});
    ASSERT_EQ(::kill(stopped, SIGTERM), 0);
    EXPECT_EQ(waitFor(stopped), 6);
    EXPECT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR bye"});
    ::kill(std::stoi(readFile(dir / "holder")), SIGKILL);
    // Last words that more than one read holds, written while the log pipe was stopped, are
    // read once the program has gone.
    const pid_t late = start({kLogpipe, "/bin/sh", "-c",
                              "kill -STOP $PPID; printf '%08000d\\n' 0; echo ERROR last; "
                              "printf '%08000d\\n' 0 >&2; echo last words >&2"},
                             "/dev/null", "/dev/null");
    std::vector<pid_t> child;
    for (int tries = 0; child.empty() && tries < 500; ++tries, ::usleep(10000))
        child = childrenOf(late);
    ASSERT_EQ(child.size(), 1U);
    EXPECT_TRUE(ends(child[0]));
    ::kill(late, SIGCONT);
    const std::vector<std::string> lastWords = messages(log, 1 + 16 + 1);  // 16 pieces
    EXPECT_EQ(waitFor(late), 0);
    EXPECT_EQ(std::count(lastWords.begin(), lastWords.end(), "<27>ERROR last"), 1);
    EXPECT_EQ(lastWords.back(), "<27>last words");
    // Nor for a program whose main thread ends, after closing both outputs, while another runs.
    const char* const mainThreadEnds =
        "import ctypes, os, threading, time; os.close(1); os.close(2); "
        "threading.Thread(target=lambda: (time.sleep(0.3), os._exit(4))).start(); "
        "ctypes.CDLL(None).pthread_exit(None)";
    if (*kPython3 != '\0') {
        EXPECT_EQ(run(dir, {kLogpipe, kPython3, "-c", mainThreadEnds}).status, 4);
    }
    // A program killed by a signal: the log pipe ends by the same signal, as the program did,
    // and writes no core of its own, whatever the caller allows.
    const rlimit cores{RLIM_INFINITY, RLIM_INFINITY};
    int status = 0;
    ::waitpid(startAs("ulimit -c 0; kill -QUIT $$", [&] { ::setrlimit(RLIMIT_CORE, &cores); }),
              &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT && !WCOREDUMP(status)) << status;
    // Every signal that a supervisor or a person sends is the program's, even one the caller
    // left ignored; SIGPIPE and job control end nothing, even where they could stop the log
    // pipe (a process group that is not orphaned).
    // By name: under an emulator the shell is the machine's, whose numbers may differ (MIPS).
    const std::pair<int, std::string> sent[] = {
        {SIGHUP, "HUP"},   {SIGINT, "INT"},   {SIGQUIT, "QUIT"}, {SIGTERM, "TERM"},
        {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"}, {SIGALRM, "ALRM"}};
    for (const auto& one : sent) {
        const int signal = one.first;  // not bound: clang 14 captures no structured binding
        const std::string& name = one.second;
        const pid_t trapped = startAs("trap 'echo ERROR last " + name + "; exit 7' " + name +
                                          "; echo ERROR up; while :; do sleep 0.1; done",
                                      [signal] { ::signal(signal, SIG_IGN), ::setpgid(0, 0); });
        ASSERT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR up"});
        for (const int nothing : {SIGCONT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, signal})
            ::kill(trapped, nothing);
        EXPECT_EQ(waitFor(trapped), 7) << name;
        EXPECT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR last " + name});
    }
}

// Started as any user, with its standard descriptors closed, another left open and signals
// ignored, it gives the program descriptors 0 to 2 only, its output the terminal,
// every signal at its default and none blocked.
TEST_F(LogpipeTool, TheProgramStartsOnACleanSlateAsAnyUser) {
    ::chmod("/dev/log", 0666);
    const int left = ::open("/dev/null", O_RDONLY);  // no close-on-exec, as a careless caller
    const pid_t pid = startAs("echo ERROR up; exec sleep 30", [] {
        for (const int signal : {SIGINT, SIGCHLD}) ::signal(signal, SIG_IGN);
        for (const int fd : {0, 1, 2}) ::close(fd);
        // An emulator's sysroot may be where only root reads: as root then.
        if (!*kEmulator && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
    });
    ::close(left);
    ASSERT_EQ(messages(log, 1), std::vector<std::string>{"<27>ERROR up"});
    const std::vector<pid_t> program = childrenOf(pid);
    ASSERT_EQ(program.size(), 1U);
    const std::string proc = "/proc/" + std::to_string(program[0]);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(proc + "/fd"), {}), 3);
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/0"), "/dev/null");
    EXPECT_TRUE(std::filesystem::read_symlink(proc + "/fd/1").string().starts_with("/dev/pts/"));
    const std::string status = readFile(proc + "/status");
    for (const char* line : {*kEmulator ? "\nUid:" : "\nUid:\t65534\t",
                             "\nSigBlk:\t0000000000000000\n", "\nSigIgn:\t0000000000000000\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line << status;
    ::kill(pid, SIGINT);  // ignored by its caller, still passed on
    EXPECT_EQ(waitFor(pid), 128 + SIGINT);
}

}  // namespace logpipe

}  // namespace
