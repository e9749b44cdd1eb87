// What velmKort-logpipe makes of the program's output: bytes in, log entries out. A line that
// begins with ERROR is an error entry, any line on standard error too; with `dumps`, the other
// lines are entries as well, one per field of an event dump and the password masked.
//
// A dump prints its text fields byte for byte, so a text may hold newlines and, with them,
// lines shaped like anything the daemon prints: an ERROR line, a field's line, a second
// "password = " line. Only the dump's shape tells them apart, never the time they arrive in:
// a dump is held until what follows it settles where it ends, which needs at most the longest
// dump's width of text from its start. The reader makes no system call and reads no clock.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "record/if_dump.h"
#include "record/if_fields.h"

namespace velm::logpipe {

inline constexpr std::string_view kMask = "********";
// Longer lines are logged in pieces of this size, whole: musl's syslog cuts an entry at 1 KiB
// with its header. The daemon's longest line is far shorter.
inline constexpr std::size_t kPieceMax = 512;

enum class Priority : std::uint8_t { Error, Info };

// Where entries go: syslog in the program, a list in the tests.
struct Sink {
    void (*entry)(void* context, Priority priority, std::string_view text);
    void* context;
};

namespace detail {

inline constexpr std::size_t kFields = record::kIfFields.size();
inline constexpr std::size_t kWindow = record::kDumpMaxChars;

// How a line outside a dump is logged; the rest of a line logged in pieces goes as its first
// piece went.
enum class Kind : std::uint8_t { Error, Other, Secret, Dropped };

// Every way of reading the text at the head as a dump: starts[f] marks where field f's line
// may begin, starts[kFields] where a whole dump may end.
struct Readings {
    std::array<std::array<bool, kWindow + 1>, kFields + 1> starts;
    bool open;        // a reading may still go on with more text
    std::size_t end;  // the end of the longest whole reading; 0 if there is none
};

}  // namespace detail

struct Reader {
    bool dumps = false;   // log the lines that are not errors too
    bool errors = false;  // standard error: every line is an error line, and there is no dump
    std::array<char, 2 * std::max(detail::kWindow, kPieceMax)> bytes{};
    std::size_t used = 0;
    bool continued = false;  // the first bytes are the rest of a line logged in part
    detail::Kind continuedKind = detail::Kind::Other;
    bool masked = false;      // the open dump at the head is logged up to its masked password
    std::size_t scanned = 0;  // how much of the open dump at the head its readings have seen
    detail::Readings readings{};
};

// Takes the next bytes of the output; logs every entry that they settle.
void feed(Reader& reader, std::span<const char> bytes, const Sink& sink);

// The output has ended: logs what is held. A dump still open is dump up to the last byte.
void finish(Reader& reader, const Sink& sink);

}  // namespace velm::logpipe
