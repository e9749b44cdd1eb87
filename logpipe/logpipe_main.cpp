// velmKort-logpipe: runs a program (the daemon) with a pseudo-terminal as its standard output
// and hands its lines to the system log: error lines always, everything else only when asked,
// with the PPP password masked. On a terminal the C library line-buffers standard output by
// itself, so each line arrives as it is written, the program unchanged; through a pipe it
// would wait for a block of 4 KiB (glibc) or 1 KiB (musl) or for the exit.
//
// The process that was started becomes the program (exec), so its pid, its executable and its
// exit status are the program's own, as the init scripts and procd expect; a forked child
// reads the terminal and ends when the program has gone.
//
// The terminal is the program's controlling terminal, in a session of its own: when the
// reader ends, however it ends, the kernel hangs the terminal up and the program gets SIGHUP,
// so a service whose errors could no longer reach the log ends and its supervisor sees it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "record/if_dump.h"
#include "record/if_fields.h"

namespace {

constexpr char kProgram[] = "velmKort-logpipe";
constexpr char kIdentity[] = "velmKortd";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCannotRun = 127;
constexpr std::string_view kErrorPrefix = "ERROR";
constexpr char kMask[] = "********";
// Longer lines are logged in pieces of this size, whole: musl's syslog cuts an entry at 1 KiB
// with its header. The daemon's longest line is far shorter.
constexpr std::size_t kPieceMax = 512;
// How long the program must have been quiet after a dump whose end is still open.
constexpr int kDumpQuietMs = 50;

struct Options {
    bool dumps = false;
    bool help = false;
    const char* unknown = "";
    std::span<char* const> command;
};

void printUsage() {
    std::printf(
        "Usage: %s [--dumps] PROGRAM [ARG...]\n"
        "Runs PROGRAM with a pseudo-terminal as its standard output, so that the C library\n"
        "writes each line at once, and sends its lines to the system log as '%s':\n"
        "  lines that begin with ERROR  at LOG_ERR, always (never a line of an event dump)\n"
        "  every other line             dropped, unless --dumps\n"
        "PROGRAM runs in this process (same pid); standard input and error stay as they are.\n"
        "The terminal is its controlling terminal: should the log reader end, PROGRAM gets\n"
        "SIGHUP.\n"
        "\n"
        "  --dumps     log the other lines too, at LOG_INFO (event dumps, announcements, the\n"
        "              banner), the value of the 'password = ' line replaced by %s\n"
        "  -h, --help  show this help\n"
        "\n"
        "Exit status: PROGRAM's own; %d if it cannot be run, %d if the terminal cannot be set\n"
        "up, %d bad arguments. Failures are reported on standard error and in the log.\n",
        kProgram, kIdentity, kMask, kExitCannotRun, kExitFailed, kExitUsage);
}

// The text without its first `count` characters, its first `count` characters, and whether it
// begins with `prefix`: as string_view's substr and starts_with, which may throw, and whose
// throw helper is code of the C++ library that an unoptimised build would link.
[[nodiscard]] std::string_view tailAfter(std::string_view text, std::size_t count) {
    text.remove_prefix(std::min(count, text.size()));
    return text;
}

[[nodiscard]] std::string_view headOf(std::string_view text, std::size_t count) {
    return {text.data(), std::min(count, text.size())};
}

[[nodiscard]] bool startsWith(std::string_view text, std::string_view prefix) {
    return headOf(text, prefix.size()) == prefix;
}

[[nodiscard]] const char* parseArgs(std::span<char* const> args, Options& options) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (!startsWith(arg, "-")) break;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return nullptr;
        }
        if (arg != "--dumps") {
            options.unknown = args[i];
            return "unknown option";
        }
        options.dumps = true;
    }
    options.command = args.subspan(i);
    return options.command.empty() ? "no program given" : nullptr;
}

// Said on standard error and in the log: under an init system nobody reads the former.
// Returns the exit status of a failure, for the callers that end with it.
int report(const char* what, const char* detail = "") {
    const char* why = std::strerror(errno);
    std::fprintf(stderr, "%s: %s%s: %s\n", kProgram, what, detail, why);
    ::openlog(kProgram, 0, LOG_DAEMON);
    syslog(LOG_ERR, "%s%s: %s", what, detail, why);
    return kExitFailed;
}

using velm::record::Field;
using velm::record::FieldKind;
using velm::record::kDumpMaxChars;
using velm::record::kDumpSeparator;
using velm::record::kIfFields;

[[nodiscard]] bool isFieldLine(std::string_view text, const Field& field) {
    return startsWith(text, field.name) &&
           startsWith(tailAfter(text, field.name.size()), kDumpSeparator);
}

// A reference bound at compile time: a table without the field does not compile.
constexpr const Field& kPassword = *velm::record::findField("password");

// Where the text of a line outside a dump goes; the rest of a line logged in pieces goes
// where its first piece went.
enum class Kind : std::uint8_t { Error, Other, Secret };

[[nodiscard]] Kind classify(std::string_view line) {
    if (startsWith(line, kErrorPrefix)) return Kind::Error;
    return isFieldLine(line, kPassword) ? Kind::Secret : Kind::Other;
}

void emit(Kind kind, std::string_view text, bool dumps, bool firstPiece = true) {
    const auto length = [](std::string_view part) { return static_cast<int>(part.size()); };
    if (kind == Kind::Error) {
        syslog(LOG_ERR, "%.*s", length(text), text.data());
        return;
    }
    if (!dumps) return;
    if (kind == Kind::Other) {
        syslog(LOG_INFO, "%.*s", length(text), text.data());
        return;
    }
    if (firstPiece) {
        syslog(LOG_INFO, "%.*s%.*s%s", length(kPassword.name), kPassword.name.data(),
               length(kDumpSeparator), kDumpSeparator.data(), kMask);
    }
}

// The dump: its 23 lines in the table's order, each "name = value". A text value is printed
// byte for byte, so it may hold newlines, and with them lines that look like the dump's own,
// an ERROR line or a second "password = " line: only the dump's structure tells them apart.
// Whether more text may still make this the start of the field's line.
[[nodiscard]] bool mayBeFieldLine(std::string_view text, const Field& field) {
    if (text.size() <= field.name.size()) return startsWith(field.name, text);
    return startsWith(text, field.name) &&
           startsWith(kDumpSeparator, tailAfter(text, field.name.size()));
}

[[nodiscard]] bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

[[nodiscard]] bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Where the field's value, starting at `text[at]`, can end: each position after its newline
// is marked in `ends`. True when the text runs out before every way of reading it is settled.
bool matchValue(const Field& field, std::string_view text, std::size_t at, bool* ends) {
    if (field.kind == FieldKind::Text) {
        for (std::size_t length = 0; length <= field.size; ++length) {
            if (at + length >= text.size()) return true;
            if (text[at + length] == '\n') ends[at + length + 1] = true;
        }
        return false;
    }
    std::size_t length = 0;
    for (; at + length < text.size(); ++length) {
        const char c = text[at + length];
        const bool valid = field.kind == FieldKind::Mac
                               ? (length % 3 == 2 ? c == ':' : isHex(c)) && length < 17
                               : isDigit(c) || (length == 0 && c == '-');
        if (valid) continue;
        const bool whole = field.kind == FieldKind::Mac ? length == 17 : length > 0;
        if (c == '\n' && whole) ends[at + length + 1] = true;
        return false;
    }
    return true;
}

struct DumpScan {
    std::size_t end = 0;  // after the last way to read all 23 lines; 0 if there is none yet
    bool open = false;    // a later end may still come with more text
};

// Every way of reading `text` as the dump, at once, field by field: a set of the places where
// the next field's line may start. The genuine dump is the longest reading, since whatever a
// text forges ends before the real last line, and no reading can pass it: the daemon's next
// lines hold no field name for more bytes than a text field has.
[[nodiscard]] DumpScan scanDump(std::string_view text) {
    text = headOf(text, kDumpMaxChars);
    std::array<bool, kDumpMaxChars + 1> starts{};
    std::array<bool, kDumpMaxChars + 1> next{};
    starts[0] = true;
    DumpScan scan;
    for (const Field& field : kIfFields) {
        next.fill(false);
        for (std::size_t at = 0; at <= text.size(); ++at) {
            if (!starts[at]) continue;
            const std::string_view rest = tailAfter(text, at);
            const std::size_t head = field.name.size() + kDumpSeparator.size();
            if (rest.size() < head) {
                scan.open = scan.open || mayBeFieldLine(rest, field);
                continue;
            }
            if (!isFieldLine(rest, field)) continue;
            scan.open = matchValue(field, text, at + head, next.data()) || scan.open;
        }
        starts = next;
    }
    for (std::size_t at = text.size(); at > 0; --at) {
        if (!starts[at]) continue;
        scan.end = at;
        break;
    }
    return scan;
}

// Logs a dump's lines as other lines, never as errors, with everything from its first
// "password = " line up to its last line replaced by one masked line.
void emitDump(std::string_view dump, bool whole, bool dumps) {
    bool masking = false;
    while (!dump.empty()) {
        const std::size_t newline = dump.find('\n');
        const std::string_view line = headOf(dump, newline);
        dump.remove_prefix(newline == std::string_view::npos ? dump.size() : newline + 1);
        const bool last = whole && dump.empty();
        if (!masking && isFieldLine(line, kPassword)) {
            masking = true;
            emit(Kind::Secret, line, dumps);
        }
        if (!masking || last) emit(Kind::Other, line, dumps);
    }
}

// What the reader holds: lines not logged yet, a dump whose end is not known yet among them.
struct Pending {
    std::array<char, 2 * std::max(kDumpMaxChars, kPieceMax)> bytes;
    std::size_t used = 0;
    bool dumps = false;
    bool continued = false;  // the first bytes are the rest of a line logged in part
    Kind continuedKind = Kind::Other;

    [[nodiscard]] std::string_view held() const { return {bytes.data(), used}; }
    void take(std::size_t count) {
        std::memmove(bytes.data(), bytes.data() + count, used - count);
        used -= count;
    }
};

enum class Flush : std::uint8_t { Lines, Dump, Everything };

// Logs what can be logged of what is held; true while a dump's end is still to come.
bool drain(Pending& pending, Flush flush) {
    const Field& first = kIfFields.front();
    while (pending.used > 0) {
        const std::string_view held = pending.held();
        if (!pending.continued && isFieldLine(held, first)) {
            const DumpScan scan = scanDump(held);
            // No reading is longer than kDumpMaxChars, so that much text settles it.
            const bool settled = !scan.open || held.size() >= kDumpMaxChars;
            if (!settled && flush == Flush::Lines) return true;
            const std::size_t end = scan.end > 0 ? scan.end : held.size();
            emitDump(headOf(held, end), scan.end > 0, pending.dumps);
            pending.take(end);
            continue;
        }
        const std::size_t newline = held.find('\n');
        const std::size_t length = std::min(newline, held.size());
        const bool whole = newline != std::string_view::npos && newline <= kPieceMax;
        if (!whole && held.size() < kPieceMax && flush != Flush::Everything) return false;
        const std::string_view piece = headOf(held, whole ? length : std::min(length, kPieceMax));
        const Kind kind = pending.continued ? pending.continuedKind : classify(piece);
        emit(kind, piece, pending.dumps, !pending.continued);
        pending.continued = !whole && piece.size() == kPieceMax;
        pending.continuedKind = kind;
        pending.take(piece.size() + (whole ? 1 : 0));
    }
    return false;
}

[[nodiscard]] bool readable(int fd, int milliseconds) {
    pollfd wanted{fd, POLLIN, 0};
    return ::poll(&wanted, 1, milliseconds) != 0;
}

// Reads the terminal until the program's side is closed everywhere (EIO, or end of file),
// logging each line as it completes; a last line without its newline is logged too. A dump
// is held until it is known where it ends: at once, mostly, or when the program has been
// quiet for a moment after it (the daemon writes each dump in one piece).
void relay(int terminal, bool dumps) {
    Pending pending;
    pending.dumps = dumps;
    for (;;) {
        if (drain(pending, Flush::Lines) && !readable(terminal, kDumpQuietMs)) {
            drain(pending, Flush::Dump);
            continue;
        }
        const ssize_t got = ::read(terminal, pending.bytes.data() + pending.used,
                                   pending.bytes.size() - pending.used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.used += static_cast<std::size_t>(got);
    }
    drain(pending, Flush::Everything);
}

// The terminal's far end, in raw mode: newlines reach the reader as they were written.
[[nodiscard]] int openFarEnd(int terminal) {
    if (::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return -1;
    const char* name = ::ptsname(terminal);
    if (name == nullptr) return -1;
    const int far = ::open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (far < 0 || ::tcgetattr(far, &mode) != 0) return -1;
    ::cfmakeraw(&mode);
    return ::tcsetattr(far, TCSANOW, &mode) == 0 ? far : -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* error = parseArgs({argv + 1, static_cast<std::size_t>(argc - 1)}, options)) {
        std::fprintf(stderr, "%s: %s%s%s (see --help)\n", kProgram, error,
                     *options.unknown != '\0' ? " " : "", options.unknown);
        return kExitUsage;
    }
    if (options.help) {
        printUsage();
        return 0;
    }

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return report("cannot open a pseudo-terminal");
    const int far = openFarEnd(terminal);
    if (far < 0) return report("cannot set up the pseudo-terminal");

    // Before the reader exists, so that its death, whenever it comes, hangs the terminal up.
    // A process that already leads its session (start-stop-daemon's) keeps it; one that leads
    // a process group and not a session cannot start one, and is warned about.
    ::setsid();
    if (::ioctl(far, TIOCSCTTY, 0) != 0) {
        report(
            "cannot make the pseudo-terminal the controlling terminal; the program will not "
            "end with the log reader");
    }

    // The reader must not be signalled with the program: it ends when the program is gone.
    // Until it has a session of its own, it shares the program's terminal, whose hang-up at
    // the program's exit must not reach it: SIGHUP stays blocked until each side has chosen.
    sigset_t hangup;
    ::sigemptyset(&hangup);
    ::sigaddset(&hangup, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &hangup, nullptr);
    const pid_t reader = ::fork();
    if (reader < 0) return report("cannot fork");
    if (reader == 0) {
        ::close(far);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::setsid();
        ::openlog(kIdentity, LOG_NDELAY, LOG_DAEMON);
        relay(terminal, options.dumps);
        ::_exit(0);
    }

    ::close(terminal);
    // An ignored SIGHUP would outlive the exec; a reader that has died already ends it here.
    ::signal(SIGHUP, SIG_DFL);
    ::sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
    if (::dup2(far, STDOUT_FILENO) != STDOUT_FILENO) return report("cannot redirect output");
    ::execvp(options.command[0], options.command.data());
    report("cannot run ", options.command[0]);
    return kExitCannotRun;
}
