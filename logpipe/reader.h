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
// Begins every piece of a dump's entry after its first: no line of the daemon's begins so.
inline constexpr std::string_view kContinued = "...";

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

// The longest list of places where one field's line may begin within a dump's width: such
// lines begin with the field's name, so no two lie closer than that head and a newline.
[[nodiscard]] constexpr std::size_t maxStarts() {
    std::size_t most = 0;
    for (const record::Field& field : record::kIfFields) {
        most =
            std::max(most, kWindow / (field.name.size() + record::kDumpSeparator.size() + 1) + 1);
    }
    return most;
}

// A place where a field's line begins in a reading of the dump at the head, and where the
// previous field's line began in the latest reading that leads to it.
struct Start {
    std::uint16_t at;
    std::uint16_t from;
};

// Every way of reading the text at the head as a dump, taken a line at a time as the text
// comes, so that no byte is looked at twice whatever the chunks.
struct Readings {
    std::array<std::array<Start, maxStarts()>, kFields> starts;  // each field's, in order
    std::array<std::uint8_t, kFields> count;
    std::array<std::uint16_t, kFields> latest;  // the last of each field's starts
    std::uint32_t openFields;  // bit f: the line at field f's latest start may still end
    // The line being read, and the fields whose line may begin there (bit kFields: a whole
    // reading ends there), each with where the previous field's line began.
    std::uint16_t line;
    std::uint32_t next;
    std::array<std::uint16_t, kFields + 1> nextFrom;
    std::uint16_t done;  // the bytes read so far
    std::uint16_t end;   // the end of the longest whole reading; 0 if there is none
    // The first line that begins "password = " (0: none yet), the last field whose line may
    // end before it, and where that line begins; none when `lastField` is kFields.
    std::uint16_t password;
    std::uint16_t passwordFrom;
    std::uint8_t lastField;
};

}  // namespace detail

// All zero to begin with, so that a reader outside a function takes no room in the program's
// file (.bss, not .data): the readings are set up as each dump begins.
struct Reader {
    bool dumps = false;   // log the lines that are not errors too
    bool errors = false;  // standard error: every line is an error line, and there is no dump
    std::array<char, 2 * std::max(detail::kWindow, kPieceMax)> bytes{};
    std::size_t start = 0;  // what is held: from start to used; the rest was taken
    std::size_t used = 0;
    bool continued = false;        // the first bytes are the rest of a line logged in part
    detail::Kind continuedKind{};  // read only while `continued`
    bool masked = false;           // the open dump at the head is logged up to its masked password
    detail::Readings readings{};   // none begun while `done` is 0
};

// Takes the next bytes of the output; logs every entry that they settle.
void feed(Reader& reader, std::span<const char> bytes, const Sink& sink);

// The output has ended: logs what is held. A dump still open is dump up to the last byte.
void finish(Reader& reader, const Sink& sink);

}  // namespace velm::logpipe
