// What velmKort-logpipe logs of any run of what the daemon writes, fed in chunks cut anywhere
// and ended anywhere: dumps whose texts forge every kind of line, announcements, real error
// lines, the banner, and lines on standard error. No byte of a password reaches an entry, the
// error entries are the real error lines, each once, and with --dumps each settled dump gives
// its fields' entries and one masked password, its texts shown as the page promises: no control
// (C0, DEL, C1) or byte that is not UTF-8 as it is.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/messages.h"
#include "logpipe/reader.h"
#include "record/endian.h"
#include "record/if_dump.h"
#include "common/utf8.h"

namespace {

using velm::logpipe::kContinued;
using velm::logpipe::kPieceMax;
using velm::record::Field;
using velm::record::FieldKind;
using velm::record::kIfFields;
namespace text = velm::daemon::text;
constexpr std::size_t kWindow = velm::logpipe::detail::kWindow;
using Lines = std::vector<std::string>;

void expect(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "logpipe reader fuzzer: %s\n", what);
    std::abort();
}

constexpr std::string_view kPieces[] = {"\n",
                                        "ERROR",
                                        "ERROR#98 in bind on serverSocket",
                                        "MGMT: UPDATE",
                                        "password = ",
                                        "\\",
                                        "\\n",
                                        "0",
                                        "-1",
                                        "00:11:22:33:44:55",
                                        " = ",
                                        "velmKortd started",
                                        "\r\x1b[2K\x7f",
                                        "\t",
                                        "DEL\x7f-DEL",
                                        "\xc2\x85\xc2\x9b",  // C1 controls
                                        "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                        "\x9b\xff\xc3(\xe2\x82",  // not UTF-8
                                        "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"};

// A record's dump: integers of any value or the widest, texts empty, full width or of pieces
// that forge lines of every kind, with controls and bytes that are not UTF-8; only a password
// holds '~'.
std::string dump(FuzzedDataProvider& in) {
    AdslIfObject object{};
    const bool widest = in.ConsumeBool();
    for (const Field& field : kIfFields) {
        const bool isText = field.kind == FieldKind::Text;
        const bool password = field.name == "password";
        std::string value = isText ? "" : in.ConsumeBytesAsString(field.size);
        if (widest && !isText) value.assign(field.size, '\xff');
        if (widest && field.kind == FieldKind::Flag) {
            velm::endian::storeHost32(reinterpret_cast<unsigned char*>(value.data()), 1U << 31);
        }
        const int shape = widest ? 2 : in.ConsumeIntegralInRange(0, 2);
        while (isText && shape != 0 && value.size() < field.size && in.remaining_bytes() > 0) {
            const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPieces) + 1);
            if (pick < std::size(kPieces)) value += kPieces[pick];
            if (pick == std::size(kPieces)) {
                value +=
                    "\n" + std::string(kIfFields[in.ConsumeIntegral<std::uint8_t>() % 23].name);
                value += " = ";
            }
            if (pick > std::size(kPieces)) value += password ? '~' : 'a';
        }
        if (isText && shape == 2) value.resize(field.size, password ? '~' : 'w');
        value.resize(std::min(value.size(), field.size));
        std::copy(value.begin(), value.end(), reinterpret_cast<char*>(&object) + field.offset);
    }
    std::array<char, velm::record::kDumpMaxChars> printed;
    return {printed.data(), velm::record::formatIfObject(object, printed)};
}

std::string errorLine(FuzzedDataProvider& in) {
    const char* const contexts[] = {text::kSocketCreation, text::kBind, text::kDispatch};
    const int pick = in.ConsumeIntegralInRange(0, 3);
    if (pick == 3) return std::string("ERROR ") + text::kServiceFailed + "\n";
    return "ERROR#" + std::to_string(in.ConsumeIntegral<std::uint8_t>()) + " " + contexts[pick] +
           "\n";
}

// A text as the page says an entry shows it: a newline as \n, a backslash as \\, every other
// control (C0, DEL, C1) as \u00XX, a byte that begins no UTF-8 character as \ufffd.
std::string shown(std::string_view text) {
    std::string out;
    for (std::size_t length = 0; !text.empty();
         text.remove_prefix(std::max<std::size_t>(length, 1))) {
        length = velm::tools::utf8Length(text);
        const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        const unsigned code = length == 2 ? (byte(0) & 0x1fU) << 6 | (byte(1) & 0x3fU) : byte(0);
        std::array<char, 7> escape;
        std::snprintf(escape.data(), escape.size(), "\\u%04x", length == 0 ? 0xfffdU : code);
        const bool plain =
            length > 2 || (code >= 0x20 && code != 0x7f && (code < 0x80 || code >= 0xa0));
        out += code == '\n'           ? "\\n"
               : code == '\\'         ? "\\\\"
               : length != 0 && plain ? std::string(text.substr(0, length))
                                      : escape.data();
    }
    return out;
}

// How many bytes of the output an entry shows: an escape one, a C1 control's two.
std::size_t rawLength(std::string_view entry) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < entry.size(); ++bytes) {
        const std::string_view code = entry.substr(i, 6);
        bytes += code >= "\\u0080" && code < "\\u00a0" ? 1 : 0;
        i += entry[i] != '\\' ? 1 : code.starts_with("\\u") ? 6 : 2;
    }
    return bytes;
}

struct Run {
    std::string out, err;                                    // standard output and error
    std::vector<std::size_t> errors;                         // where each error line begins
    std::vector<std::pair<std::size_t, std::size_t>> dumps;  // where each begins and ends
};

Run generate(FuzzedDataProvider& in) {
    Run run;
    while (in.remaining_bytes() > 0 && run.out.size() < 4000) {
        const int item = in.ConsumeIntegralInRange(0, 5);
        if (item == 0) run.out += text::kBanner;
        if (item == 5) {  // lines about a piece's length, any text, dumps
            const auto length = kPieceMax * in.ConsumeIntegralInRange<std::size_t>(1, 2) - 1 +
                                in.ConsumeIntegralInRange<std::size_t>(0, 2);
            run.err += in.ConsumeBool() ? std::string(length, 'e') + "\n"
                                        : in.ConsumeRandomLengthString(80) + "\n" + dump(in);
        }
        if (item >= 2 && item <= 4) {  // an event; of an unknown type (2), no announcement
            run.dumps.emplace_back(run.out.size(), run.out.size());
            run.out += dump(in);
            run.dumps.back().second = run.out.size();
            if (item > 2)
                run.out += text::kAnnouncementLines[in.ConsumeIntegral<std::uint8_t>() % 3];
        }
        if (item == 1 || item == 4) run.errors.push_back(run.out.size());
        if (item == 1 || item == 4) run.out += errorLine(in);
    }
    for (char& c : run.err) c = static_cast<char>(c & 0x7f);
    return run;
}

struct Entries {
    Lines errors, infos;
    std::vector<std::pair<std::size_t, std::size_t>> fed;  // after each read: bytes, infos
};

// Where the next read ends: anywhere, often where a long line's piece ends, after a line, or
// just after a "password = " line's head.
std::size_t nextChunk(std::string_view rest, FuzzedDataProvider& in) {
    const auto upTo = [rest](std::string_view what) {
        const std::size_t at = rest.find(what);
        return at == std::string_view::npos ? rest.size() : at + what.size();
    };
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return kPieceMax;
        case 1:
            return upTo("\n");
        case 2:
            return upTo("password = ");
        default:
            return in.ConsumeIntegralInRange<std::size_t>(1, 900);
    }
}

Entries feed(std::string_view bytes, bool dumps, bool errors, FuzzedDataProvider* in) {
    Entries entries;
    const velm::logpipe::Sink sink{
        [](void* to, velm::logpipe::Priority level, std::string_view entry) {
            auto& all = *static_cast<Entries*>(to);
            (level == velm::logpipe::Priority::Error ? all.errors : all.infos).emplace_back(entry);
        },
        &entries};
    static velm::logpipe::Reader reader;
    reader = {};
    reader.dumps = dumps;
    reader.errors = errors;
    for (std::size_t fed = 0; fed < bytes.size();) {  // in one read without `in`
        const std::size_t chunk = std::min(
            bytes.size() - fed, in != nullptr ? nextChunk(bytes.substr(fed), *in) : bytes.size());
        velm::logpipe::feed(reader, bytes.substr(fed, chunk), sink);
        fed += chunk;
        entries.fed.emplace_back(fed, entries.infos.size());
    }
    velm::logpipe::finish(reader, sink);
    return entries;
}

// Each line in pieces that join to it, none empty unless the line is.
Lines linesInPieces(std::string_view text) {
    Lines out;
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(line.size() + 1, text.size()));
        do {
            out.emplace_back(line.substr(0, kPieceMax));
            line.remove_prefix(out.back().size());
        } while (!line.empty());
    }
    return out;
}

// A settled dump's entries from `at`: a reading of its text up to its first password line, one
// entry per field, shown as promised; the masked entry, logged by the read that brought that line's
// head; its last line. `start`: where the dump begins. Returns the next entry's.
std::size_t expectDump(const Entries& logged, std::size_t at, std::string_view dump,
                       std::size_t start) {
    const Lines& infos = logged.infos;
    std::string joined;  // the entries as the text is shown, each ending in its newline's \\n
    for (std::size_t field = 0; at < infos.size() && infos[at] != "password = ********";
         ++at, ++field) {
        const std::string_view name = field < 21 ? kIfFields[field].name : "";
        expect(!name.empty() && infos[at].starts_with(std::string(name) + " = "),
               "an entry that is not its field's");
        expect(
            rawLength(infos[at]) - name.size() - 3 <= velm::record::maxValueChars(kIfFields[field]),
            "a value too long");
        joined += infos[at] + "\\n";
    }
    const std::size_t split = dump.find("\npassword = ") + 1;
    expect(joined == shown(dump.substr(0, split)), "entries not the dump's, shown as promised");
    const std::size_t head = start + split + std::string_view("password = ").size();
    const auto read = std::find_if(logged.fed.begin(), logged.fed.end(),
                                   [head](const auto& fed) { return fed.first >= head; });
    expect(read != logged.fed.end() && read->second > at,
           "a dump's entries held after its password line began");
    const std::size_t last = dump.rfind('\n', dump.size() - 2) + 1;
    expect(at + 1 < infos.size() && infos[at + 1] == dump.substr(last, dump.size() - last - 1),
           "no masked entry, or not the last line after it");
    return at + 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool dumps = in.ConsumeBool();
    const Run run = generate(in);
    const std::size_t cut = in.ConsumeBool()
                                ? run.out.size()
                                : in.ConsumeIntegralInRange<std::size_t>(0, run.out.size());
    const std::string_view out = std::string_view(run.out).substr(0, cut);
    const std::string_view err = std::string_view(run.err).substr(
        0, in.ConsumeIntegralInRange<std::size_t>(0, run.err.size()));
    const Entries logged = feed(out, dumps, false, &in);
    const Entries errLogged = feed(err, dumps, true, &in);
    const Entries whole = feed(out, dumps, false, nullptr);
    expect(whole.errors == logged.errors && whole.infos == logged.infos,
           "entries that depend on how the output was cut into reads");

    for (const Lines* entries : {&logged.errors, &logged.infos}) {
        for (const std::string& entry : *entries) {
            expect(entry.find('~') == std::string::npos, "a password byte logged");
            std::string asIs;  // its escapes' backslashes shown as they are
            for (const char c : entry) asIs.append(c == '\\' ? 2 : 1, c);
            expect(shown(entry) == asIs, "a control or a byte not UTF-8 logged as it is");
        }
    }
    expect(dumps || logged.infos.empty(), "an entry other than an error without --dumps");
    expect(errLogged.infos.empty() && errLogged.errors == linesInPieces(err),
           "standard error's lines not each an error entry, whole");

    // The real error lines, each once. Output that ends less than a window after a dump's
    // start may leave that dump open, and then all from its start is dump: any dump, not only
    // the last, as one settled by what follows it still leaves the next one open.
    Lines errors;
    for (const std::size_t start : run.errors) {
        const std::string_view line = out.substr(std::min(start, cut));
        if (line.starts_with("ERROR")) errors.emplace_back(line.substr(0, line.find('\n')));
    }
    bool expected = logged.errors == errors;
    for (const auto& [start, end] : run.dumps) {
        if (start >= cut || start + kWindow <= cut) continue;
        const auto before = std::lower_bound(run.errors.begin(), run.errors.end(), start);
        expected =
            expected ||
            logged.errors == Lines(errors.begin(), errors.begin() + (before - run.errors.begin()));
    }
    expect(expected, "the error entries not the real error lines");

    // With --dumps, no entry begins with a line that a text forged: each begins with a field's
    // line or the mark of a piece that goes on (after a full one), or is a line of the daemon's
    // or the part of one that the end of output left. Each dump begun has an entry, up to the
    // first that the end may have left open.
    const auto daemonLine = [](std::string_view entry) {
        for (const Field& field : kIfFields) {
            const std::string head = std::string(field.name) + " = ";
            if (entry.starts_with(head) || head.starts_with(entry)) return true;
        }
        for (const std::string_view line :
             {std::string_view(text::kBanner), std::string_view("ERRO"),
              text::kAnnouncementLines[0], text::kAnnouncementLines[1],
              text::kAnnouncementLines[2]}) {
            if (line.starts_with(entry)) return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < logged.infos.size(); ++i) {
        const std::string_view entry = logged.infos[i];
        const std::string_view next = entry.substr(std::min(entry.size(), kContinued.size()));
        const std::size_t width = next.starts_with("\\u") ? 6
                                  : next.starts_with('\\')
                                      ? 2
                                      : std::max<std::size_t>(velm::tools::utf8Length(next), 1);
        expect(entry.starts_with(kContinued)
                   ? i > 0 && logged.infos[i - 1].size() + width > kPieceMax
                   : daemonLine(entry),
               "an entry that begins with a forged line, or a piece cut short");
    }
    std::size_t begun = 0;
    for (const auto& [start, end] : run.dumps) {
        if (start + kIfFields[0].name.size() + 3 > cut) break;
        ++begun;
        if (start + kWindow > cut) break;
    }
    expect(!dumps || std::count_if(logged.infos.begin(), logged.infos.end(),
                                   [](std::string_view entry) {
                                       return entry.starts_with("bModeAutodetect = ");
                                   }) >= static_cast<std::ptrdiff_t>(begun),
           "a dump begun before the end with no entry");

    // With --dumps, the dumps that the output settled, in order, the banners between them.
    std::size_t at = 0;
    for (const auto& [start, end] : run.dumps) {
        if (!dumps || start + kWindow > cut) break;
        while (at < logged.infos.size() && logged.infos[at] == "velmKortd started") ++at;
        at = expectDump(logged, at, out.substr(start, end - start), start);
    }
    return 0;
}
