#include "logpipe/reader.h"

#include <bit>
#include <cstring>

#include "common/utf8.h"
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

// Each field's line begins with its name and " = ": put together once, at compile time.
constexpr std::size_t kHeadMax = [] {
    std::size_t most = 0;
    for (const Field& field : kIfFields) most = std::max(most, headLength(field));
    return most;
}();
constexpr auto kHeads = [] {
    std::array<std::array<char, kHeadMax>, kFields> heads{};
    for (std::size_t field = 0; field < kFields; ++field) {
        const std::string_view name = kIfFields[field].name;
        std::copy(kDumpSeparator.begin(), kDumpSeparator.end(),
                  std::copy(name.begin(), name.end(), heads[field].data()));
    }
    return heads;
}();

// What a line's checks need of each field, by its index, in a few bytes: read for every line.
struct Shape {
    std::uint8_t head;      // its name and " = "
    std::uint8_t valueMax;  // the widest value the daemon prints for it
    FieldKind kind;
    char first;  // its name's first byte
};
constexpr auto kShapes = [] {
    std::array<Shape, kFields> shapes{};
    for (std::size_t field = 0; field < kFields; ++field) {
        const Field& f = kIfFields[field];
        shapes[field] = {static_cast<std::uint8_t>(headLength(f)),
                         static_cast<std::uint8_t>(record::maxValueChars(f)), f.kind,
                         f.name.front()};
    }
    return shapes;
}();
static_assert(std::all_of(kIfFields.begin(), kIfFields.end(), [](const Field& field) {
    return std::max(headLength(field), record::maxValueChars(field)) <= UINT8_MAX;
}));

[[nodiscard]] std::uint64_t word(const char* bytes) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Whether the text and the field's line agree as far as both go: in words of 8 bytes, the last
// one overlapping the one before, where there are 8; a byte at a time where not.
[[nodiscard]] bool agreesWithHead(std::string_view text, std::size_t field) {
    const char* head = kHeads[field].data();
    const std::size_t length = std::min<std::size_t>(text.size(), kShapes[field].head);
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    if (length < kWord) {
        for (std::size_t i = 0; i < length; ++i) {
            if (text[i] != head[i]) return false;
        }
        return true;
    }
    for (std::size_t i = 0; i + kWord < length; i += kWord) {
        if (word(text.data() + i) != word(head + i)) return false;
    }
    return word(text.data() + length - kWord) == word(head + length - kWord);
}

[[nodiscard]] bool isFieldLine(std::string_view text, std::size_t field) {
    // Most lines differ at their first byte.
    return text.size() >= kShapes[field].head && text.front() == kShapes[field].first &&
           agreesWithHead(text, field);
}

// The digits a MAC address prints: a table, as three of its fields are read for every event.
constexpr auto kHexDigits = [] {
    std::array<bool, 256> digits{};
    for (const char c : std::string_view("0123456789abcdef")) {
        digits[static_cast<unsigned char>(c)] = true;
    }
    return digits;
}();

[[nodiscard]] bool isHex(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}

[[nodiscard]] bool isDigits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return !text.empty();
}

// Whether the daemon can print `value` (its newline not included) for the field.
[[nodiscard]] bool valueFits(std::size_t field, std::string_view value) {
    const std::size_t valueMax = kShapes[field].valueMax;
    if (value.size() > valueMax) return false;
    switch (kShapes[field].kind) {
        case FieldKind::Text:
            return true;
        case FieldKind::Mac:
            if (value.size() != valueMax) return false;
            for (std::size_t i = 0; i < value.size(); i += 3) {
                if (!isHex(value[i]) || !isHex(value[i + 1]) ||
                    (i + 2 < value.size() && value[i + 2] != ':')) {
                    return false;
                }
            }
            return true;
        case FieldKind::Flag:
            return isDigits(tailAfter(value, !value.empty() && value.front() == '-' ? 1 : 0));
        case FieldKind::Unsigned:
        case FieldKind::UnsignedLong:
            return isDigits(value);
    }
    return false;
}

[[nodiscard]] constexpr std::size_t lastValueEnd(std::size_t field, std::size_t at) {
    return at + kShapes[field].head + kShapes[field].valueMax;
}

// A new reading of the dump at the head: its first line is the first field's.
void startReading(Readings& readings) {
    readings.count.fill(0);
    readings.openFields = 0;
    readings.line = 0;
    readings.next = 1;
    readings.done = 0;
    readings.end = 0;
    readings.password = 0;
    readings.lastField = kFields;
}

// Whether no reading can go on with more text: none has an open line, and the line being read
// can begin no field's.
[[nodiscard]] bool readingsEnded(const Readings& readings) {
    return readings.openFields == 0 && (readings.next & ~(1U << kFields)) == 0;
}

// The line at `readings.line` has `available` bytes: is it the first "password = " line?
void notePassword(Readings& readings, std::string_view text, std::size_t available) {
    const std::size_t line = readings.line;
    if (readings.password != 0 || line == 0 || available < headLength(kPassword) ||
        !isFieldLine(headOf(tailAfter(text, line), available), kPasswordIndex)) {
        return;
    }
    readings.password = static_cast<std::uint16_t>(line);
    const std::uint32_t before = readings.next & ((2U << kPasswordIndex) - 2);
    if (before == 0) return;
    const auto next = static_cast<std::size_t>(std::bit_width(before) - 1);
    readings.lastField = static_cast<std::uint8_t>(next - 1);
    readings.passwordFrom = readings.nextFrom[next];
}

// The line being read ends at the newline at `newline`: it begins the lines it may begin, and
// ends those that may end there.
void readLine(Readings& readings, std::string_view text, std::size_t newline) {
    const std::size_t line = readings.line;
    if (readings.password == 0 && text[line] == kPassword.name.front()) {
        notePassword(readings, text, newline - line);
    }
    const std::string_view printed = headOf(tailAfter(text, line), newline - line);
    for (std::uint32_t next = readings.next & ~(1U << kFields); next != 0; next &= next - 1) {
        const auto field = static_cast<std::size_t>(std::countr_zero(next));
        if (!isFieldLine(printed, field)) continue;
        readings.starts[field][readings.count[field]++] = {static_cast<std::uint16_t>(line),
                                                           readings.nextFrom[field]};
        readings.latest[field] = static_cast<std::uint16_t>(line);
        readings.openFields |= 1U << field;
    }
    readings.next = 0;
    // Only a field's latest start matters: a text's line fits up to its width, so where an
    // earlier one fits the latest does too, and a number's line ends at its first newline.
    for (std::uint32_t open = readings.openFields; open != 0; open &= open - 1) {
        const auto field = static_cast<std::size_t>(std::countr_zero(open));
        const std::size_t at = readings.latest[field];
        const std::size_t value = at + kShapes[field].head;
        const std::size_t valueEnd = lastValueEnd(field, at);
        if (kShapes[field].kind != FieldKind::Text || newline >= valueEnd) {
            readings.openFields &= ~(1U << field);
        }
        if (newline > valueEnd || !valueFits(field, {text.data() + value, newline - value})) {
            continue;
        }
        readings.next |= 1U << (field + 1);
        readings.nextFrom[field + 1] = static_cast<std::uint16_t>(at);
    }
    if ((readings.next & (1U << kFields)) != 0) {
        readings.end = static_cast<std::uint16_t>(newline + 1);
    }
    readings.line = static_cast<std::uint16_t>(newline + 1);
}

// Reads the text that came since the last call; true when it may have changed what is known:
// a line completed, or a password line's head arrived. Stops once no reading can go on.
bool readOn(Readings& readings, std::string_view text) {
    const std::size_t from = readings.done;
    readings.done = static_cast<std::uint16_t>(text.size());
    if (readingsEnded(readings)) return true;
    bool changed = false;
    for (std::size_t at = from; at < text.size() && !readingsEnded(readings); ++at) {
        const void* found = std::memchr(text.data() + at, '\n', text.size() - at);
        if (found == nullptr) break;
        at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        readLine(readings, text, at);
        changed = true;
    }
    const std::size_t passwordHead = readings.line + headLength(kPassword);
    if (readings.password == 0 && passwordHead <= text.size()) {
        notePassword(readings, text, text.size() - readings.line);
    }
    return changed || readingsEnded(readings) ||
           (from < passwordHead && passwordHead <= text.size());
}

// Whether more text may still go on a reading: a text's line that has room left, or a line
// being read that may yet begin a field's.
[[nodiscard]] bool readingsOpen(const Readings& readings, std::string_view text) {
    // A line not begun yet may begin any field's: so it is after a read that ends a line.
    const std::uint32_t fields = readings.next & ~(1U << kFields);
    if (readings.line == text.size() && fields != 0) return true;
    for (std::uint32_t open = readings.openFields; open != 0; open &= open - 1) {
        const auto field = static_cast<std::size_t>(std::countr_zero(open));
        const std::size_t at = readings.latest[field];
        if (text.size() <= lastValueEnd(field, at)) return true;
    }
    const std::string_view rest = tailAfter(text, readings.line);
    for (std::uint32_t next = fields; next != 0; next &= next - 1) {
        const auto field = static_cast<std::size_t>(std::countr_zero(next));
        // A line that may still become the field's, or is and has room left.
        if (agreesWithHead(rest, field) && (rest.size() < kShapes[field].head ||
                                            text.size() <= lastValueEnd(field, readings.line))) {
            return true;
        }
    }
    return false;
}

void log(const Sink& sink, Priority priority, std::string_view text) {
    sink.entry(sink.context, priority, text);
}

// How a text's character shows in an entry: as the peer monitor's JSON shows it, so that no
// control reaches a terminal that displays the log, save a newline shown as \n.
struct Shown {
    std::array<char, 6> chars;
    std::size_t size;   // of chars
    std::size_t taken;  // bytes of the text
};

[[nodiscard]] Shown show(std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    const std::size_t length = tools::utf8Length(text);
    const auto byte = static_cast<unsigned char>(text[0]);
    const auto code = static_cast<unsigned char>(byte == 0xc2 && length == 2 ? text[1] : byte);
    Shown shown{{}, 0, std::max<std::size_t>(length, 1)};
    const auto put = [&shown](std::string_view chars) {
        std::copy(chars.begin(), chars.end(), shown.chars.data());
        shown.size = chars.size();
    };
    if (length == 0) {
        put("\\ufffd");
    } else if (byte == '\n') {
        put("\\n");
    } else if (byte == '\\') {
        put("\\\\");
    } else if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && code < 0xa0)) {
        put("\\u00");
        shown.chars[4] = kHex[code >> 4];
        shown.chars[5] = kHex[code & 0x0f];
        shown.size = 6;
    } else {
        put(headOf(text, length));
    }
    return shown;
}

// Whether any byte of the word is not shown as it is: above 0x7e (DEL, a byte of a multi-byte
// character), below 0x20, or a backslash. Exact for the word as a whole, not for which byte:
// a carry or borrow between bytes starts only at a byte that is one of these.
[[nodiscard]] bool hasUnplain(std::uint64_t bytes) {
    constexpr std::uint64_t kOnes = 0x0101010101010101U;
    constexpr std::uint64_t kHighs = kOnes * 0x80;
    const std::uint64_t backslash = bytes ^ (kOnes * '\\');
    return (((bytes + kOnes) | bytes | ((bytes - kOnes * 0x20) & ~bytes) |
             ((backslash - kOnes) & ~backslash)) &
            kHighs) != 0;
}

[[nodiscard]] bool isPlain(char c) {
    return c >= 0x20 && c < 0x7f && c != '\\';
}

// Whether every byte of the text is shown as it is: 8 at a time, the last word overlapping the
// one before where there are 8.
[[nodiscard]] bool allPlain(std::string_view text) {
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    if (text.size() < kWord) return std::all_of(text.begin(), text.end(), isPlain);
    for (std::size_t i = 0; i + kWord < text.size(); i += kWord) {
        if (hasUnplain(word(text.data() + i))) return false;
    }
    return !hasUnplain(word(text.data() + text.size() - kWord));
}

// One entry of a dump, its characters shown so that a text never makes more than its field's
// entry. A field's entry always fits a piece; a cut dump's one entry, up to a dump's width with
// each byte shown in up to six, does not fit the 1 KiB that musl's syslog keeps, so it is cut,
// and every piece after the first begins with the mark: none begins with a line a text forged.
[[gnu::noinline]] void logShown(const Sink& sink, std::string_view entry) {
    std::array<char, kPieceMax> piece;
    const std::size_t limit = piece.size();
    std::size_t used = 0;
    for (; !entry.empty();) {
        // Printable ASCII as it is, in runs.
        const std::size_t room = std::min(entry.size(), limit - used);
        std::size_t plain = 0;
        while (plain < room && isPlain(entry[plain])) ++plain;
        if (plain > 0) {
            std::copy_n(entry.data(), plain, piece.data() + used);
            used += plain;
            entry.remove_prefix(plain);
            continue;
        }
        const Shown shown = show(entry);
        if (used + shown.size > limit) {
            log(sink, Priority::Info, {piece.data(), used});
            used = static_cast<std::size_t>(
                std::copy(kContinued.begin(), kContinued.end(), piece.data()) - piece.data());
        }
        std::copy_n(shown.chars.data(), shown.size, piece.data() + used);
        used += shown.size;
        entry.remove_prefix(shown.taken);
    }
    log(sink, Priority::Info, {piece.data(), used});
}

// `plain`: how many of its first bytes are known to be shown as they are (a field's head).
void logEntry(const Reader& reader, const Sink& sink, std::string_view entry,
              std::size_t plain = 0) {
    if (!reader.dumps) return;
    // Nearly every entry is printable ASCII that fits a piece: it goes as it is, uncopied.
    if (entry.size() <= kPieceMax && allPlain(tailAfter(entry, plain))) {
        log(sink, Priority::Info, entry);
    } else {
        logShown(sink, entry);
    }
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

// Where the previous field's line begins in the latest reading that has field `field`'s at `at`.
[[nodiscard]] std::size_t lineBefore(const Readings& readings, std::size_t field, std::size_t at) {
    const auto& starts = readings.starts[field];
    const auto* start = std::find_if(starts.begin(), starts.begin() + readings.count[field],
                                     [at](const detail::Start& s) { return s.at == at; });
    return start == starts.end() ? 0 : start->from;
}

// Logs a dump's entries up to its first "password = " line, which ends every entry before it,
// and the masked entry in place of all from there. The split follows a reading of the text
// before that line alone, so that it is the same whether the dump's end is known yet or not:
// the last field whose line may end just before it, and the latest reading that leads there.
// False when there is no password line yet, or no reading reaches it.
bool logUpToPassword(Reader& reader, std::string_view text, const Sink& sink) {
    if (reader.masked) return true;
    const Readings& readings = reader.readings;
    const std::size_t last = readings.lastField;
    if (readings.password == 0 || last == kFields) return false;
    reader.masked = true;
    if (!reader.dumps) return true;
    std::array<std::size_t, kFields + 1> bounds{};
    bounds[last] = readings.passwordFrom;
    bounds[last + 1] = readings.password;
    for (std::size_t field = last; field-- > 0;) {
        bounds[field] = lineBefore(readings, field + 1, bounds[field + 1]);
    }
    for (std::size_t field = 0; field <= last; ++field) {
        const std::size_t length = bounds[field + 1] - 1 - bounds[field];
        logEntry(reader, sink, headOf(tailAfter(text, bounds[field]), length), kShapes[field].head);
    }
    logMask(reader, sink);
    return true;
}

// A dump cut by the end of its output: all of it is dump, logged as one entry up to its first
// password line, as its entries cannot be told apart for sure.
void logCutDump(Reader& reader, std::string_view text, const Sink& sink) {
    if (logUpToPassword(reader, text, sink)) return;
    const std::size_t password = reader.readings.password;
    if (password != 0) text = headOf(text, password);
    if (text.ends_with('\n')) text.remove_suffix(1);
    logEntry(reader, sink, text);
    if (password != 0) logMask(reader, sink);
}

[[nodiscard]] std::string_view held(const Reader& reader) {
    return {reader.bytes.data() + reader.start, reader.used - reader.start};
}

void take(Reader& reader, std::size_t count) {
    reader.start += count;
    reader.masked = false;
    startReading(reader.readings);
}

// The dump at the head of what is held: its entries as they settle, and the bytes it took once
// its end is known; 0 while it is open, npos when no reading of a dump fits (its first line is
// then an ordinary one). Its last line waits for the end to be known: until then it may be a
// text's line.
[[nodiscard]] std::size_t takeDump(Reader& reader, bool final, const Sink& sink) {
    if (reader.readings.done == 0) startReading(reader.readings);
    const std::string_view text = headOf(held(reader), kWindow);
    if (!readOn(reader.readings, text) && !final && text.size() < kWindow) return 0;
    // No reading is longer than the window, so a full window settles every reading.
    const bool settled = !readingsOpen(reader.readings, text) || text.size() == kWindow;
    if (!settled && !final) {
        if (!reader.masked && reader.readings.password != 0) logUpToPassword(reader, text, sink);
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
    logUpToPassword(reader, text, sink);
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
    if (isFieldLine(line, kPasswordIndex)) return Kind::Secret;
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
    while (reader.used > reader.start) {
        const std::string_view text = held(reader);
        // A dump being read first: standard error never has one.
        const bool dump =
            reader.readings.done > 0 ||
            (!reader.errors &&
             (reader.masked || (!reader.continued && isFieldLine(text, 0 /* the first field */))));
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
        // What was taken is dropped once per read, not at each line.
        if (reader.start > 0) {
            std::memmove(reader.bytes.data(), reader.bytes.data() + reader.start,
                         reader.used - reader.start);
            reader.used -= reader.start;
            reader.start = 0;
        }
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
