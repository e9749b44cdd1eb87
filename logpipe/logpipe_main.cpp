// velmKort-logpipe: runs a program (the daemon) with a pseudo-terminal as its standard output
// and hands its lines to the system log: error lines always, everything else only when asked,
// with the PPP password masked. On a terminal the C library line-buffers standard output by
// itself, so each line arrives as it is written, the program unchanged; through a pipe it
// would wait for a block of 4 KiB (glibc) or 1 KiB (musl) or for the exit.
//
// Its standard error goes through a pipe to the log too, every line an error line: the C
// library never buffers it, and under an init system nobody else reads it.
//
// The process that was started becomes the program (exec), so its pid, its executable and its
// exit status are the program's own, as the init scripts and procd expect; a forked child
// reads the terminal and the pipe and ends when the program has gone.
//
// The terminal is the program's controlling terminal, in a session of its own: when the
// reader ends, however it ends, the kernel hangs the terminal up and the program gets SIGHUP,
// so a service whose errors could no longer reach the log ends and its supervisor sees it.
#include <fcntl.h>
#include <limits.h>
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
#include "velm/version.h"

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
// How long the program must have been quiet after a dump whose end is still open before what
// is held is taken as dump: the daemon writes a dump, and the lines its event causes, at once.
constexpr int kDumpQuietMs = 50;

struct Options {
    bool dumps = false;
    bool help = false;
    bool version = false;
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
        "  every line on standard error at LOG_ERR, always\n"
        "PROGRAM runs in this process (same pid); standard input stays as it is. PROGRAM is\n"
        "looked up in PATH unless it holds a slash; a file without a '#!' line is refused.\n"
        "The terminal is its controlling terminal: should the log reader end, PROGRAM gets\n"
        "SIGHUP.\n"
        "\n"
        "  --dumps     log the other lines too, at LOG_INFO (event dumps, announcements, the\n"
        "              banner): one entry per field of a dump, a text's newlines shown as\n"
        "              \\n, and from its first 'password = ' line on only 'password = %s'\n"
        "  -h, --help  show this help\n"
        "  --version   show the program's name and version\n"
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
        if (arg == "--version") {
            options.version = true;
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

// Whether the text starts the line of the field after `field`, or a "password = " line, which
// ends every entry before it; `complete` false: whether more text may still make it so.
[[nodiscard]] bool startsNextEntry(std::string_view text, std::size_t field, bool complete) {
    const bool last = field + 1 == kIfFields.size();
    if (complete) {
        return isFieldLine(text, kPassword) || (!last && isFieldLine(text, kIfFields[field + 1]));
    }
    return mayBeFieldLine(text, kPassword) || (!last && mayBeFieldLine(text, kIfFields[field + 1]));
}

// Where the entry of the field whose line starts at `at` ends: its line and the lines its text
// printed, up to the line that starts the next field or a "password = " line. npos while that
// is not known, unless `final` says that no more text belongs to the dump.
[[nodiscard]] std::size_t entryEnd(std::string_view dump, std::size_t at, std::size_t field,
                                   bool final) {
    for (;;) {
        const std::size_t newline = dump.find('\n', at);
        if (newline == std::string_view::npos) return final ? dump.size() : newline;
        at = newline + 1;
        const std::string_view rest = tailAfter(dump, at);
        if (rest.empty()) return final ? at : std::string_view::npos;
        if (startsNextEntry(rest, field, true)) return at;
        if (!final && startsNextEntry(rest, field, false)) return std::string_view::npos;
    }
}

// One entry of a dump, its newlines shown as \n (and a backslash as \\), so that a text never
// makes more than its field's entry. A field's line escaped is far shorter than a piece; only
// a layout no record prints could make it longer, and it is cut there.
void emitEntry(std::string_view entry, bool dumps) {
    if (entry.ends_with('\n')) entry.remove_suffix(1);
    std::array<char, kPieceMax> text;
    std::size_t used = 0;
    for (const char c : entry) {
        const bool escaped = c == '\n' || c == '\\';
        if (used + (escaped ? 2 : 1) > text.size()) break;
        if (escaped) text[used++] = '\\';
        text[used++] = c == '\n' ? 'n' : c;
    }
    emit(Kind::Other, {text.data(), used}, dumps);
}

// Logs a dump's entries from `from` on, never as errors: one per field, up to its first
// "password = " line; from there on one masked entry, and the last line once the dump is known
// to end with it (`whole`). So a dump takes at most 23 entries. An entry whose end is not known
// yet waits, unless `final`. Returns where the entries not logged yet begin; after the masked
// entry, past its start.
std::size_t emitDump(std::string_view dump, std::size_t from, bool final, bool whole, bool dumps) {
    std::size_t at = 0;
    for (std::size_t field = 0; at < dump.size(); ++field) {
        if (isFieldLine(tailAfter(dump, at), kPassword)) {
            if (at >= from) emit(Kind::Secret, {}, dumps);
            if (whole) {
                const std::size_t last = dump.rfind('\n', dump.size() - 2) + 1;
                emitEntry(tailAfter(dump, last), dumps);
            }
            return std::max(from, at + 1);
        }
        const std::size_t end = entryEnd(dump, at, field, final);
        if (end == std::string_view::npos) return std::max(from, at);
        if (at >= from) emitEntry({dump.data() + at, end - at}, dumps);
        at = end;
    }
    return std::max(from, at);
}

// What the reader holds: lines not logged yet, a dump whose end is not known yet among them.
struct Pending {
    std::array<char, 2 * std::max(kDumpMaxChars, kPieceMax)> bytes;
    std::size_t used = 0;
    bool dumps = false;
    bool errors = false;     // standard error: every line is an error line, and no dump
    bool continued = false;  // the first bytes are the rest of a line logged in part
    Kind continuedKind = Kind::Other;
    // A dump at the head that had to be decided while open: what it held then is dump whatever
    // comes after (`committed` bytes), and its entries before `logged` are in the log.
    bool dumpOpen = false;
    std::size_t committed = 0;
    std::size_t logged = 0;

    [[nodiscard]] std::string_view held() const { return {bytes.data(), used}; }
    void take(std::size_t count) {
        std::memmove(bytes.data(), bytes.data() + count, used - count);
        used -= count;
    }
};

enum class Flush : std::uint8_t { Lines, Dump, Everything };

// The dump at the head of what is held. Once its reading has settled, it ends with its longest
// reading, since whatever a text forges ends before the real last line, or where it was
// decided, if later. When the reader must decide while it is open, whatever it holds is dump:
// at the end of input all of it, after a quiet time its whole lines, and its continuation is
// read as the same dump. Returns how many bytes it took, 0 while it stays open; npos when no
// reading of a dump fits at all (the first line is then an ordinary one).
[[nodiscard]] std::size_t drainDump(Pending& pending, Flush flush) {
    const std::string_view held = pending.held();
    const DumpScan scan = scanDump(held);
    // No reading is longer than kDumpMaxChars, so that much text settles it.
    const bool settled = !scan.open || held.size() >= kDumpMaxChars;
    if (!settled && flush != Flush::Everything) {
        pending.dumpOpen = true;
        if (flush == Flush::Dump) {
            pending.committed = std::max(pending.committed, held.rfind('\n') + 1);
            pending.logged = emitDump(headOf(held, pending.committed), pending.logged, false, false,
                                      pending.dumps);
        }
        return 0;
    }
    const std::size_t end = settled ? std::max(scan.end, pending.committed) : held.size();
    pending.dumpOpen = false;
    if (end == 0) return std::string_view::npos;
    emitDump(headOf(held, end), pending.logged, true, settled && end == scan.end, pending.dumps);
    pending.committed = 0;
    pending.logged = 0;
    return end;
}

// Logs what can be logged of what is held; true while a dump's end is still to come.
bool drain(Pending& pending, Flush flush) {
    const Field& first = kIfFields.front();
    while (pending.used > 0) {
        const std::string_view held = pending.held();
        const bool dump = pending.dumpOpen || (!pending.continued && isFieldLine(held, first));
        const std::size_t took =
            dump && !pending.errors ? drainDump(pending, flush) : std::string_view::npos;
        if (took == 0) return true;
        if (took != std::string_view::npos) {
            pending.take(took);
            continue;
        }
        const std::size_t newline = held.find('\n');
        const std::size_t length = std::min(newline, held.size());
        const bool whole = newline != std::string_view::npos && newline <= kPieceMax;
        if (!whole && held.size() < kPieceMax && flush != Flush::Everything) return false;
        const std::string_view piece = headOf(held, whole ? length : std::min(length, kPieceMax));
        const Kind kind = pending.continued ? pending.continuedKind
                          : pending.errors  ? Kind::Error
                                            : classify(piece);
        emit(kind, piece, pending.dumps, !pending.continued);
        pending.continued = !whole && piece.size() == kPieceMax;
        pending.continuedKind = kind;
        pending.take(piece.size() + (whole ? 1 : 0));
    }
    return false;
}

// Reads one of the program's outputs into what is held for it; false once it has been closed
// everywhere (EIO on the terminal, end of file), after logging what was left.
bool readInto(int fd, Pending& pending) {
    ssize_t got = 0;
    do {
        got = ::read(fd, pending.bytes.data() + pending.used, pending.bytes.size() - pending.used);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        pending.used += static_cast<std::size_t>(got);
        return true;
    }
    drain(pending, Flush::Everything);
    return false;
}

// Reads the terminal and the program's standard error until both are closed everywhere,
// logging each line as it completes; a last line without its newline is logged too. A dump is
// held until it is known where it ends: at once, mostly. When it is still open and the program
// has been quiet for a moment (the daemon writes each dump in one piece, and what follows it at
// once), the reader decides that what it holds is dump, and waits for more with no time limit.
void relay(int terminal, int errors, bool dumps) {
    Pending output;
    output.dumps = dumps;
    Pending errorLines;
    errorLines.errors = true;
    std::array<pollfd, 2> inputs{{{terminal, POLLIN, 0}, {errors, POLLIN, 0}}};
    bool fresh = false;  // text came after the last decision
    while (inputs[0].fd >= 0 || inputs[1].fd >= 0) {
        const bool open = drain(output, Flush::Lines);
        drain(errorLines, Flush::Lines);
        const int ready = ::poll(inputs.data(), inputs.size(), open && fresh ? kDumpQuietMs : -1);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0) {
            drain(output, Flush::Dump);
            fresh = false;
            continue;
        }
        if (ready < 0) continue;
        if (inputs[0].revents != 0) {
            fresh = true;
            if (!readInto(terminal, output)) inputs[0].fd = -1;
        }
        if (inputs[1].revents != 0 && !readInto(errors, errorLines)) inputs[1].fd = -1;
    }
    drain(output, Flush::Everything);
    drain(errorLines, Flush::Everything);
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

// Runs the program as execvp does, searching PATH for a name without a slash, except that a
// file the kernel cannot run (no "#!" line, say) is refused with ENOEXEC on every C library:
// glibc's and uClibc-ng's execvp would hand it to /bin/sh, musl's refuses it. Returns only on
// failure, with errno saying why.
void execute(std::span<char* const> command) {
    const char* name = command[0];
    if (std::strchr(name, '/') != nullptr) {
        ::execv(name, command.data());
        return;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/bin:/usr/bin";
    int failure = ENOENT;
    for (;;) {
        const std::size_t colon = std::min(dirs.find(':'), dirs.size());
        const std::string_view dir = headOf(dirs, colon);
        // An empty entry is the current directory, as everywhere.
        std::array<char, PATH_MAX> candidate;
        const int length =
            std::snprintf(candidate.data(), candidate.size(), "%.*s%s%s",
                          static_cast<int>(dir.size()), dir.data(), dir.empty() ? "" : "/", name);
        if (length > 0 && static_cast<std::size_t>(length) < candidate.size()) {
            ::execv(candidate.data(), command.data());
            if (errno == EACCES) failure = EACCES;
            if (errno != EACCES && errno != ENOENT && errno != ENOTDIR) return;
        }
        if (colon == dirs.size()) break;
        dirs.remove_prefix(colon + 1);
    }
    errno = failure;
}

// Standard error back to where this program's own failures go (none if it had none), so that
// they are not also logged as the program's.
void restoreErrors(int ownErrors) {
    if (ownErrors < 0 || ::dup2(ownErrors, STDERR_FILENO) != STDERR_FILENO) {
        ::close(STDERR_FILENO);
    }
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
    if (options.version) {
        velm::printVersion(kProgram);
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
    // The program's standard error goes to the log too, as its own: under an init system
    // nobody reads it (start-stop-daemon -b sends it to /dev/null), and procd would log it
    // under this program's name. A pipe is enough: the C library never buffers it.
    std::array<int, 2> errorPipe{};
    if (::pipe2(errorPipe.data(), O_CLOEXEC) != 0) return report("cannot make a pipe");
    const pid_t reader = ::fork();
    if (reader < 0) return report("cannot fork");
    if (reader == 0) {
        ::close(far);
        ::close(errorPipe[1]);
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::setsid();
        ::openlog(kIdentity, LOG_NDELAY, LOG_DAEMON);
        relay(terminal, errorPipe[0], options.dumps);
        ::_exit(0);
    }

    ::close(terminal);
    ::close(errorPipe[0]);
    // An ignored SIGHUP would outlive the exec; a reader that has died already ends it here.
    ::signal(SIGHUP, SIG_DFL);
    ::sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
    // Kept to say why the program could not be run, where this program's own failures go.
    const int ownErrors = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (::dup2(far, STDOUT_FILENO) != STDOUT_FILENO ||
        ::dup2(errorPipe[1], STDERR_FILENO) != STDERR_FILENO) {
        restoreErrors(ownErrors);
        return report("cannot redirect output");
    }
    execute(options.command);
    const int failure = errno;
    restoreErrors(ownErrors);
    errno = failure;
    report("cannot run ", options.command[0]);
    return kExitCannotRun;
}
