#include "logpipe/reader.h"

#include <cstring>

#include "daemon/messages.h"

namespace velm::logpipe {
namespace {

using detail::kFields;
using detail::Kind;
using detail::kWindow;
using detail::Readings;
using record::Field;
using record::FieldKind;
using record::kDumpSeparator;
using record::kIfFields;

constexpr std::string_view kErrorPrefix = "ERROR";
constexpr std::size_t npos = std::string_view::npos;
// A reference bound at compile time: a table without the field does not compile.
constexpr const Field& kPassword = *record::findField("password");
constexpr std::size_t kPasswordIndex = static_cast<std::size_t>(&kPassword - kIfFields.data());
static_assert(kPasswordIndex + 2 == kFields, "the password's line is the dump's last but one");

// As string_view's substr and starts_with, which may throw, and whose throw helper is code of
// the C++ library that an unoptimised build would link.
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

[[nodiscard]] constexpr std::size_t headLength(const Field& field) {
    return field.name.size() + kDumpSeparator.size();
}

[[nodiscard]] bool isFieldLine(std::string_view text, const Field& field) {
    return startsWith(text, field.name) &&
           startsWith(tailAfter(text, field.name.size()), kDumpSeparator);
}

// Whether more text may still make this the start of the field's line.
[[nodiscard]] bool mayBeFieldLine(std::string_view text, const Field& field) {
    if (text.size() <= field.name.size()) return startsWith(field.name, text);
    return startsWith(text, field.name) &&
           startsWith(kDumpSeparator, tailAfter(text, field.name.size()));
}

[[nodiscard]] bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

[[nodiscard]] bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the daemon can print `value` (its newline not included) for the field.
[[nodiscard]] bool valueFits(const Field& field, std::string_view value) {
    if (value.size() > record::maxValueChars(field)) return false;
    switch (field.kind) {
        case FieldKind::Text:
            return true;
        case FieldKind::Mac:
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (i % 3 == 2 ? value[i] != ':' : !isHex(value[i])) return false;
            }
            return value.size() == record::maxValueChars(field);
        case FieldKind::Flag:
            return isDigits(startsWith(value, "-") ? tailAfter(value, 1) : value);
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong:
            return isDigits(value);
    }
    return false;
}

// Whether the field's line can run from `at` to `end` (the place after its newline).
[[nodiscard]] bool lineFits(std::string_view text, const Field& field, std::size_t at,
                            std::size_t end) {
    const std::size_t value = at + headLength(field);
    if (end <= value || end > text.size() || text[end - 1] != '\n') return false;
    if (!isFieldLine(tailAfter(text, at), field)) return false;
    const std::string_view printed{text.data() + value, end - 1 - value};
    return valueFits(field, printed) &&
           (field.kind == FieldKind::Text || printed.find('\n') == npos);
}

// Marks in `ends` where the field's line starting at `at` may end. True when the text runs out
// before every way of reading it is known.
bool markLineEnds(std::string_view text, const Field& field, std::size_t at,
                  std::array<bool, kWindow + 1>& ends) {
    const std::string_view rest = tailAfter(text, at);
    if (rest.size() < headLength(field)) return mayBeFieldLine(rest, field);
    if (!isFieldLine(rest, field)) return false;
    const std::size_t value = at + headLength(field);
    const std::size_t last = value + record::maxValueChars(field);
    for (std::size_t newline = value; newline <= last; ++newline) {
        if (newline >= text.size()) return true;
        if (text[newline] != '\n') continue;
        if (lineFits(text, field, at, newline + 1)) ends[newline + 1] = true;
        if (field.kind != FieldKind::Text) return false;
    }
    return false;
}

// Every reading of the text as a dump, at once, field by field. The genuine dump is the longest
// reading: whatever a text forges ends before the real last line, and no reading passes it,
// since what the daemon prints after a dump holds no field's line within a text's width.
void read(std::string_view text, Readings& readings) {
    text = headOf(text, kWindow);
    for (auto& starts : readings.starts) std::fill_n(starts.begin(), text.size() + 1, false);
    readings.starts[0][0] = true;
    readings.open = false;
    for (std::size_t field = 0; field < kFields; ++field) {
        for (std::size_t at = 0; at <= text.size(); ++at) {
            if (!readings.starts[field][at]) continue;
            readings.open = markLineEnds(text, kIfFields[field], at, readings.starts[field + 1]) ||
                            readings.open;
        }
    }
    readings.end = 0;
    for (std::size_t at = text.size(); at > 0 && readings.end == 0; --at) {
        if (readings.starts[kFields][at]) readings.end = at;
    }
}

void log(const Sink& sink, Priority priority, std::string_view text) {
    sink.entry(sink.context, priority, text);
}

// One entry of a dump, its newlines shown as \n and a backslash as \\, so that a text never
// makes more than its field's entry; in pieces, should a layout no record prints be that long.
void logEntry(const Reader& reader, const Sink& sink, std::string_view entry) {
    if (!reader.dumps) return;
    std::array<char, kPieceMax> piece;
    std::size_t used = 0;
    for (const char c : entry) {
        const bool escaped = c == '\n' || c == '\\';
        if (used + (escaped ? 2 : 1) > piece.size()) {
            log(sink, Priority::Info, {piece.data(), used});
            used = 0;
        }
        if (escaped) piece[used++] = '\\';
        piece[used++] = c == '\n' ? 'n' : c;
    }
    log(sink, Priority::Info, {piece.data(), used});
}

// "password = ********", put together once, at compile time.
constexpr auto kMaskedLine = [] {
    std::array<char, kPassword.name.size() + kDumpSeparator.size() + kMask.size()> line{};
    char* out = std::copy(kPassword.name.begin(), kPassword.name.end(), line.data());
    std::copy(kMask.begin(), kMask.end(),
              std::copy(kDumpSeparator.begin(), kDumpSeparator.end(), out));
    return line;
}();

void logMask(const Reader& reader, const Sink& sink) {
    if (reader.dumps) log(sink, Priority::Info, {kMaskedLine.data(), kMaskedLine.size()});
}

// Where the first line that begins "password = " starts; npos if there is none yet.
[[nodiscard]] std::size_t firstPasswordLine(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != npos; at = text.find('\n', at + 1)) {
        if (isFieldLine(tailAfter(text, at + 1), kPassword)) return at + 1;
    }
    return npos;
}

// The field whose line, begun at a reading's start, runs up to the first password line at
// `password`: the last entry logged before the masked one. A text's line may have gone on past
// it, but its value up to there fits the field all the same. False if no field's line does.
[[nodiscard]] bool lastBeforePassword(const Reader& reader, std::string_view text,
                                      std::size_t password, std::size_t& field, std::size_t& at) {
    for (field = kPasswordIndex; field-- > 0;) {
        for (at = password; at-- > 0;) {
            if (reader.readings.starts[field][at] &&
                lineFits(text, kIfFields[field], at, password)) {
                return true;
            }
        }
    }
    return false;
}

// Logs a dump's entries up to its first "password = " line, which ends every entry before it,
// and the masked entry in place of all from there. The split follows a reading of the text
// before that line alone, so that it is the same whether the dump's end is known yet or not.
// False when there is no password line yet, or no reading reaches it.
bool logUpToPassword(Reader& reader, std::string_view text, const Sink& sink) {
    if (reader.masked) return true;
    const std::size_t password = firstPasswordLine(text);
    std::size_t last = 0;
    std::size_t at = 0;
    if (password == npos || !lastBeforePassword(reader, text, password, last, at)) return false;
    std::array<std::size_t, kFields + 1> bounds{};
    bounds[last] = at;
    bounds[last + 1] = password;
    // Back along the reading: each field's line ends where the next one's begins.
    for (std::size_t field = last; field-- > 0;) {
        at = bounds[field + 1];
        while (at > 0 && !(reader.readings.starts[field][at] &&
                           lineFits(text, kIfFields[field], at, bounds[field + 1]))) {
            --at;
        }
        bounds[field] = at;
    }
    for (std::size_t field = 0; field <= last; ++field) {
        const std::size_t length = bounds[field + 1] - 1 - bounds[field];
        logEntry(reader, sink, headOf(tailAfter(text, bounds[field]), length));
    }
    logMask(reader, sink);
    reader.masked = true;
    return true;
}

// A dump cut by the end of its output: all of it is dump, logged as one entry up to its first
// password line, as its entries cannot be told apart for sure.
void logCutDump(Reader& reader, std::string_view text, const Sink& sink) {
    if (logUpToPassword(reader, text, sink)) return;
    const std::size_t password = firstPasswordLine(text);
    if (password != npos) text = headOf(text, password);
    if (text.ends_with('\n')) text.remove_suffix(1);
    logEntry(reader, sink, text);
    if (password != npos) logMask(reader, sink);
}

[[nodiscard]] std::string_view held(const Reader& reader) {
    return {reader.bytes.data(), reader.used};
}

void take(Reader& reader, std::size_t count) {
    std::memmove(reader.bytes.data(), reader.bytes.data() + count, reader.used - count);
    reader.used -= count;
    reader.masked = false;
    reader.scanned = 0;
}

// Whether the bytes since the open dump was last read may change what is known of it: a line
// completed, or a password line begun. Reading it again at every byte would cost a program
// that writes a byte at a time the whole dump's work for each.
[[nodiscard]] bool worthReading(const Reader& reader, std::string_view text) {
    if (tailAfter(text, reader.scanned).find('\n') != npos) return true;
    const std::size_t passwordHead = text.rfind('\n') + 1 + headLength(kPassword);
    return reader.scanned < passwordHead && passwordHead <= text.size();
}

// The dump at the head of what is held: its entries as they settle, and the bytes it took once
// its end is known; 0 while it is open, npos when no reading of a dump fits (its first line is
// then an ordinary one). Its last line waits for the end to be known: until then it may be a
// text's line.
[[nodiscard]] std::size_t takeDump(Reader& reader, bool final, const Sink& sink) {
    const std::string_view text = headOf(held(reader), kWindow);
    if (!final && text.size() < kWindow && !worthReading(reader, text)) return 0;
    reader.scanned = text.size();
    read(text, reader.readings);
    // No reading is longer than the window, so a full window settles every reading.
    const bool settled = !reader.readings.open || text.size() == kWindow;
    if (!settled && !final) {
        logUpToPassword(reader, text, sink);
        return 0;
    }
    if (!settled) {
        logCutDump(reader, text, sink);
        return text.size();
    }
    const std::size_t end = reader.readings.end;
    if (end == 0) {
        // Output shaped as a dump up to its password line and no dump after all: what the
        // window holds stays dump, so that no byte after that line is read as a line.
        if (!reader.masked) return npos;
        const std::size_t newline = text.rfind('\n');
        return newline == npos ? text.size() : newline + 1;
    }
    logUpToPassword(reader, headOf(text, end), sink);
    const std::size_t lastLine = text.rfind('\n', end - 2) + 1;
    logEntry(reader, sink, headOf(tailAfter(text, lastLine), end - 1 - lastLine));
    return end;
}

[[nodiscard]] bool isAnnouncement(std::string_view line) {
    return std::any_of(daemon::text::kAnnouncementLines.begin(),
                       daemon::text::kAnnouncementLines.end(), [line](std::string_view announced) {
                           return headOf(announced, announced.size() - 1) == line;
                       });
}

// The daemon logs its announcements itself; a second entry would only say it again.
[[nodiscard]] Kind classify(std::string_view line, bool whole) {
    if (startsWith(line, kErrorPrefix)) return Kind::Error;
    if (isFieldLine(line, kPassword)) return Kind::Secret;
    return whole && isAnnouncement(line) ? Kind::Dropped : Kind::Other;
}

void logLine(const Reader& reader, const Sink& sink, Kind kind, std::string_view text,
             bool firstPiece) {
    if (kind == Kind::Error) {
        log(sink, Priority::Error, text);
        return;
    }
    if (!reader.dumps || kind == Kind::Dropped) return;
    if (kind == Kind::Other) log(sink, Priority::Info, text);
    if (kind == Kind::Secret && firstPiece) logMask(reader, sink);
}

// Logs what can be logged of what is held: whole lines, the pieces of a long one, dumps whose
// end is known; with `final`, all of it.
void drain(Reader& reader, bool final, const Sink& sink) {
    const Field& first = kIfFields.front();
    while (reader.used > 0) {
        const std::string_view text = held(reader);
        const bool dump =
            !reader.errors && (reader.masked || (!reader.continued && isFieldLine(text, first)));
        const std::size_t took = dump ? takeDump(reader, final, sink) : npos;
        if (took == 0) return;
        if (took != npos) {
            take(reader, took);
            continue;
        }
        const std::size_t newline = text.find('\n');
        const bool whole = newline != npos && newline <= kPieceMax;
        // A line of exactly a piece's length is one piece: only the byte after it tells.
        if (!whole && text.size() <= kPieceMax && !final) return;
        const std::string_view piece = headOf(text, whole ? newline : kPieceMax);
        const Kind kind = reader.continued ? reader.continuedKind
                          : reader.errors  ? Kind::Error
                                           : classify(piece, whole);
        logLine(reader, sink, kind, piece, !reader.continued);
        reader.continued = !whole && piece.size() == kPieceMax;
        reader.continuedKind = kind;
        take(reader, piece.size() + (whole ? 1 : 0));
    }
}

}  // namespace

void feed(Reader& reader, std::span<const char> bytes, const Sink& sink) {
    while (!bytes.empty()) {
        const std::size_t count = std::min(bytes.size(), reader.bytes.size() - reader.used);
        std::memcpy(reader.bytes.data() + reader.used, bytes.data(), count);
        reader.used += count;
        bytes = bytes.subspan(count);
        drain(reader, false, sink);
    }
}

void finish(Reader& reader, const Sink& sink) {
    drain(reader, true, sink);
    reader.continued = false;
}

}  // namespace velm::logpipe
