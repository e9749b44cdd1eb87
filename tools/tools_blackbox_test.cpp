// Runs the built tools as people and scripts do, against sockets bound in a private directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <string>
#include <vector>

#include "record/endian.h"
#include "record/mgmt_event.h"
#include "tests/support/local_address.h"
#include "tests/support/private_mounts.h"

extern char** environ;

namespace {

using velm::testsupport::addressOf;

constexpr char kInject[] = VELM_INJECT_PATH;
constexpr char kPeer[] = VELM_PEER_PATH;
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

// Starts a tool with standard output and error going to files; extra entries join the
// environment.
pid_t start(std::vector<std::string> args, const std::string& out, const std::string& err,
            const std::vector<std::string>& extraEnv = {}) {
    args.insert(args.begin(), std::begin(kEmulator), std::end(kEmulator) - 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(extraEnv);
    for (char** entry = environ; *entry != nullptr; ++entry) envStrings.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result run(const TempDir& dir, std::vector<std::string> args,
           const std::vector<std::string>& extraEnv = {}) {
    const std::string out = dir / "stdout";
    const std::string err = dir / "stderr";
    const pid_t pid = start(std::move(args), out, err, extraEnv);
    if (pid < 0) return {};
    return {waitFor(pid), readFile(out), readFile(err)};
}

// A datagram socket, bound at `path` unless it is empty.
int datagramSocket(const std::string& path = {}) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || path.empty()) return fd;
    const sockaddr_un address = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
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

// Sends once the peer monitor has bound its socket; false if it exits before that.
bool sendWhenBound(int fd, const std::string& to, const std::string& bytes, pid_t peer) {
    const sockaddr_un address = addressOf(to);
    for (;;) {
        if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                     sizeof address) >= 0)
            return true;
        if (errno != ENOENT && errno != ECONNREFUSED) return false;
        int status = 0;
        if (::waitpid(peer, &status, WNOHANG) != 0) return false;
        ::usleep(10000);
    }
}

MgmtEvent eventFrom(const std::string& bytes) {
    MgmtEvent event{};
    std::memcpy(&event, bytes.data(), std::min(bytes.size(), sizeof event));
    return event;
}

std::uint32_t integerAt(const MgmtEvent& event, std::size_t offset) {
    return velm::endian::loadHost32(reinterpret_cast<const unsigned char*>(&event) + offset);
}

TEST(InjectTool, WritesTheRecordToAFileAndWritesNothingOnBadInput) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
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

    std::ofstream(dir / "short", std::ios::binary) << written.substr(1);
    result = run(dir, {kInject, "--raw", dir / "short", "--output", dir / "bad"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(dir / "short"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("283 bytes"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(dir / "bad"));
}

TEST(InjectTool, SendsWholeDatagramsToTheSocketAndReportsSendFailures) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
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
}

TEST(PeerTool, DecodesRecordsAndFlagsMalformedDatagrams) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string peerPath = dir / "peer";
    const pid_t peer =
        start({kPeer, "--socket", peerPath, "--count", "3"}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    const int sender = datagramSocket(dir / "sender");
    ASSERT_GE(sender, 0);

    MgmtEvent event{};
    velm::endian::storeHost32(reinterpret_cast<unsigned char*>(&event), 2);
    velm::endian::storeHost32(reinterpret_cast<unsigned char*>(&event.ifObject.vpi), 8);
    std::strcpy(event.ifObject.username, "alice");
    const std::string record(reinterpret_cast<const char*>(&event), sizeof event);
    ASSERT_TRUE(sendWhenBound(sender, peerPath, record, peer));
    ASSERT_TRUE(sendWhenBound(sender, peerPath, "abc", peer));
    ASSERT_TRUE(sendWhenBound(sender, peerPath, std::string(1000, 'x'), peer));
    ::close(sender);

    ASSERT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    const std::string out = readFile(dir / "out");
    const std::string from = "from " + (dir / "sender") + ": ";
    EXPECT_EQ(out.find("#1 " + from + "284 bytes, type UPDATE\n    bModeAutodetect = 0\n"), 0U)
        << out;
    EXPECT_NE(out.find("\n    vpi = 8\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n    username = alice\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n#2 " + from + "malformed: 3 bytes, expected 284\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\n#3 " + from + "malformed: 1000 bytes, expected 284\n"), std::string::npos)
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 23 + 1 + 1) << out;
    EXPECT_FALSE(exists(peerPath));
}

TEST(PeerTool, ReplacesAStaleSocketAndRemovesItsOwnOnSigterm) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string peerPath = dir / "peer";
    const int stale = datagramSocket(peerPath);
    ASSERT_GE(stale, 0);
    ::close(stale);

    const pid_t peer = start({kPeer, "--socket", peerPath}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    const int sender = datagramSocket();
    ASSERT_TRUE(sendWhenBound(sender, peerPath, std::string(sizeof(MgmtEvent), '\0'), peer));
    ::close(sender);
    ASSERT_EQ(::kill(peer, SIGTERM), 0);
    EXPECT_EQ(waitFor(peer), 0) << readFile(dir / "err");
    EXPECT_FALSE(exists(peerPath));
}

TEST(PeerTool, UsageAndBindErrors) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    Result result = run(dir, {kPeer, "--count", "0"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--count '0'"), std::string::npos) << result.err;

    result = run(dir, {kPeer, "--socket", dir / "missing/peer", "--count", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(dir / "missing/peer"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(std::strerror(ENOENT)), std::string::npos) << result.err;
}

TEST(ToolsUnderBadInput, OversizedAndEmptyInputIsNamedBySizeAndNothingPartialIsSent) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    // The peer monitor reports datagrams by their true size, however far from a record.
    const std::string peerPath = dir / "peer";
    const pid_t peer =
        start({kPeer, "--socket", peerPath, "--count", "2"}, dir / "out", dir / "err");
    ASSERT_GT(peer, 0);
    const int sender = datagramSocket(dir / "sender");
    ASSERT_GE(sender, 0);
    ASSERT_TRUE(sendWhenBound(sender, peerPath, "", peer));
    ASSERT_TRUE(sendWhenBound(sender, peerPath, std::string(65000, 'x'), peer));
    ::close(sender);
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

// velmKort-logpipe, in a mount namespace of the test's own, whose /dev/log is the test's
// socket and whose /dev/pts is a fresh instance.
namespace logpipe {

constexpr char kLogpipe[] = VELM_LOGPIPE_PATH;
// Run through the tool: on a terminal, it says so and gives its pid in an error line.
constexpr char kScript[] =
    "echo velmKortd started; echo username = alice; echo password = sekrit; "
    "[ -t 1 ] && echo \"ERROR#98 in bind, pid $$\"; printf 'ERROR zelInit failed'; exit 3";

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
#if !defined(__GLIBC__)
        if (entry.ends_with('\n')) entry.pop_back();  // musl ends each entry with one
#endif
        const std::size_t tag = entry.find(" velmKortd: ");
        texts.push_back(entry.substr(0, 4) +
                        (tag == std::string::npos ? entry : entry.substr(tag + 12)));
    }
    return texts;
}

TEST(LogpipeTool, LogsErrorLinesDumpsOnlyWhenAskedMaskedAndIsTheProgram) {
    const auto mounts = velm::testsupport::enterPrivateMounts();
    if (mounts.outcome == velm::testsupport::Mounts::NoNamespace) GTEST_SKIP() << mounts.why;
    ASSERT_EQ(mounts.outcome, velm::testsupport::Mounts::Entered) << mounts.why;
    ASSERT_EQ(::mkdir("/dev/pts", 0755), 0);
    ASSERT_EQ(::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666"), 0);
    ASSERT_EQ(::symlink("pts/ptmx", "/dev/ptmx"), 0);
    const int log = datagramSocket("/dev/log");
    ASSERT_GE(log, 0);
    TempDir dir;
    ASSERT_TRUE(dir.ok());

    const pid_t pid = start({kLogpipe, "/bin/sh", "-c", kScript}, dir / "out", dir / "err");
    EXPECT_EQ(waitFor(pid), 3);
    // LOG_DAEMON | LOG_ERR is 27, LOG_DAEMON | LOG_INFO 30.
    const std::string bind = "ERROR#98 in bind, pid " + std::to_string(pid);
    EXPECT_EQ(messages(log, 2),
              (std::vector<std::string>{"<27>" + bind, "<27>ERROR zelInit failed"}));

    Result result = run(dir, {kLogpipe, "--dumps", "--", "/bin/sh", "-c", kScript});
    EXPECT_EQ(result.status, 3);
    const std::vector<std::string> all = messages(log, 5);
    ASSERT_EQ(all.size(), 5U);
    EXPECT_EQ(all[0], "<30>velmKortd started");
    EXPECT_EQ(all[1], "<30>username = alice");
    EXPECT_EQ(all[2], "<30>password = ********");
    EXPECT_TRUE(all[3].starts_with("<27>ERROR#98 in bind, pid ")) << all[3];
    EXPECT_EQ(all[4], "<27>ERROR zelInit failed");

    EXPECT_EQ(takeQueued(log), "");  // in order, so nothing comes after the last line

    result = run(dir, {kLogpipe, dir / "missing"});
    EXPECT_EQ(result.status, 127);
    EXPECT_NE(result.err.find(dir / "missing"), std::string::npos) << result.err;
    result = run(dir, {kLogpipe, "--bogus", "/bin/true"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--bogus"), std::string::npos) << result.err;
    EXPECT_EQ(run(dir, {kLogpipe}).status, 2);
    result = run(dir, {kLogpipe, "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("Usage: velmKort-logpipe")) << result.out;
    ::close(log);
}

}  // namespace logpipe

}  // namespace
