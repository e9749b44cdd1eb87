// What velmKort-logpipe logs of any run of what the daemon writes, fed in chunks cut anywhere
// and ended anywhere: dumps of records whose texts forge every kind of line, announcements,
// real error lines, the banner, and lines on standard error. Whatever the run and its timing:
// no byte of a password reaches an entry, the error entries are the real error lines, each
// once, and with --dumps each settled dump gives its fields' entries and one masked password.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/messages.h"
#include "logpipe/reader.h"
#include "record/endian.h"
#include "record/if_dump.h"

namespace {

using velm::logpipe::kPieceMax;
using velm::record::Field;
using velm::record::kIfFields;
namespace text = velm::daemon::text;
constexpr std::size_t kWindow = velm::logpipe::detail::kWindow;
using Lines = std::vector<std::string>;

void expect(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "logpipe reader fuzzer: %s\n", what);
    std::abort();
}

constexpr std::string_view kPieces[] = {
    "\n",           "ERROR",       "ERROR#98 in bind on serverSocket",
    "MGMT: UPDATE", "password = ", "\\",
    "\\n",          "0",           "00:11:22:33:44:55",
    "-1",           " = ",         "velmKortd started"};

// A text: empty, full width, or pieces that forge lines of every kind. Only a password holds
// bytes above 0x7f.
void fillText(FuzzedDataProvider& in, const Field& field, bool password, bool full,
              unsigned char* out) {
    std::string value;
    const int shape = full ? 2 : in.ConsumeIntegralInRange(0, 2);
    while (shape != 0 && value.size() < field.size && in.remaining_bytes() > 0) {
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPieces) + 1);
        if (pick < std::size(kPieces)) value += kPieces[pick];
        if (pick == std::size(kPieces)) {
            value +=
                "\n" + std::string(kIfFields[in.ConsumeIntegral<std::uint8_t>() % 23].name) + " = ";
        }
        if (pick > std::size(kPieces)) {
            value += password ? static_cast<char>(0x80 | in.ConsumeIntegral<std::uint8_t>()) : 'a';
        }
    }
    if (shape == 2) value.resize(field.size, password ? '\xaa' : 'w');
    value.resize(std::min(value.size(), field.size));
    std::copy(value.begin(), value.end(), out);
}

// What the daemon prints for a record of any field values, or of the widest ones.
std::string dump(FuzzedDataProvider& in) {
    AdslIfObject object{};
    auto* bytes = reinterpret_cast<unsigned char*>(&object);
    const bool widest = in.ConsumeBool();
    for (const Field& field : kIfFields) {
        if (field.kind == velm::record::FieldKind::Text) {
            fillText(in, field, field.name == "password", widest, bytes + field.offset);
            continue;
        }
        auto value = in.ConsumeBytes<unsigned char>(field.size);
        if (widest) value.assign(field.size, 0xff);
        if (widest && field.kind == velm::record::FieldKind::Flag) {
            velm::endian::storeHost32(value.data(), 0x80000000U);
        }
        std::copy(value.begin(), value.end(), bytes + field.offset);
    }
    std::array<char, velm::record::kDumpMaxChars> printed;
    return {printed.data(), velm::record::formatIfObject(object, printed)};
}

struct Run {
    std::string out;
    std::vector<std::size_t> errors, banners;                // where each begins
    std::vector<std::pair<std::size_t, std::size_t>> dumps;  // where each begins and ends
    std::string err;  // standard error: lines about a piece's length, any text, dumps
};

void add(std::string& out, std::vector<std::size_t>& starts, std::string_view line) {
    starts.push_back(out.size());
    out += line;
}

Run generate(FuzzedDataProvider& in) {
    Run run;
    const char* const contexts[] = {text::kSocketCreation, text::kBind, text::kDispatch};
    const auto error = [&] {
        const int pick = in.ConsumeIntegralInRange(0, 3);
        return pick == 3 ? std::string("ERROR ") + text::kServiceFailed + "\n"
                         : "ERROR#" + std::to_string(in.ConsumeIntegral<std::uint8_t>()) + " " +
                               contexts[pick] + "\n";
    };
    while (in.remaining_bytes() > 0 && run.out.size() < 4000) {
        const int item = in.ConsumeIntegralInRange(0, 5);
        if (item == 0) add(run.out, run.banners, text::kBanner);
        if (item == 1) add(run.out, run.errors, error());
        if (item == 5) {
            const auto length = kPieceMax * in.ConsumeIntegralInRange<std::size_t>(1, 2) - 1 +
                                in.ConsumeIntegralInRange<std::size_t>(0, 2);
            run.err += in.ConsumeBool() ? std::string(length, 'e') + "\n"
                                        : in.ConsumeRandomLengthString(80) + "\n" + dump(in);
        }
        if (item < 2 || item == 5) continue;
        const std::size_t start = run.out.size();
        run.out += dump(in);
        run.dumps.emplace_back(start, run.out.size());
        if (item == 2) continue;  // an unknown type: no announcement
        run.out += text::kAnnouncementLines[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        if (item == 4) add(run.out, run.errors, error());
    }
    for (char& c : run.err) c = static_cast<char>(c & 0x7f);
    return run;
}

struct Entries {
    Lines errors, infos;
};

void collect(void* to, velm::logpipe::Priority priority, std::string_view entry) {
    auto& all = *static_cast<Entries*>(to);
    (priority == velm::logpipe::Priority::Error ? all.errors : all.infos).emplace_back(entry);
}

Entries feed(std::string_view bytes, bool dumps, bool errors, FuzzedDataProvider& in) {
    Entries entries;
    const velm::logpipe::Sink sink{collect, &entries};
    static velm::logpipe::Reader reader;
    reader = {};
    reader.dumps = dumps;
    reader.errors = errors;
    while (!bytes.empty()) {  // cut anywhere, and often where a long line's piece ends
        const std::size_t chunk =
            std::min(bytes.size(),
                     in.ConsumeBool() ? kPieceMax : in.ConsumeIntegralInRange<std::size_t>(1, 900));
        velm::logpipe::feed(reader, bytes.substr(0, chunk), sink);
        bytes.remove_prefix(chunk);
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

std::string unescape(std::string_view entry) {
    std::string out;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        char c = entry[i];
        if (c == '\\') {
            expect(i + 1 < entry.size() && (entry[i + 1] == 'n' || entry[i + 1] == '\\'),
                   "bare \\");
            c = entry[++i] == 'n' ? '\n' : '\\';
        }
        out += c;
    }
    return out;
}

// A settled dump's entries from `at`: a reading of its text up to its first password line, one
// entry per field, the masked entry and its last line. Returns where the next entries begin.
std::size_t expectDump(const Lines& infos, std::size_t at, std::string_view dump) {
    std::string joined;
    for (std::size_t field = 0; at < infos.size() && infos[at] != "password = ********"; ++at) {
        expect(field < 21, "more entries than fields before the password");
        const std::string entry = unescape(infos[at]);
        const std::string head = std::string(kIfFields[field].name) + " = ";
        expect(entry.starts_with(head), "an entry that is not its field's");
        expect(entry.size() - head.size() <= velm::record::maxValueChars(kIfFields[field++]),
               "a value too long");
        joined += entry + "\n";
    }
    expect(joined == dump.substr(0, dump.find("\npassword = ") + 1), "entries not the dump's");
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
    const Entries logged = feed(out, dumps, false, in);
    const Entries errLogged = feed(err, dumps, true, in);

    for (const Lines* entries : {&logged.errors, &logged.infos}) {
        for (const std::string& entry : *entries) {
            expect(std::all_of(entry.begin(), entry.end(), [](char c) { return c >= 0; }),
                   "a password byte logged");
        }
    }
    expect(dumps || logged.infos.empty(), "an entry other than an error without --dumps");
    expect(errLogged.infos.empty() && errLogged.errors == linesInPieces(err),
           "standard error's lines not each an error entry, whole");

    // The real error lines, each once; those after a dump that the end of output left open
    // may be taken as dump.
    std::size_t lastDump = cut;
    for (const auto& [start, end] : run.dumps) lastDump = start < cut ? start : lastDump;
    const bool open = cut < lastDump + kWindow;
    Lines errors;
    std::size_t required = 0;
    for (std::size_t at = 0; at < run.errors.size() && run.errors[at] < cut; ++at) {
        const std::string_view line = out.substr(run.errors[at]);
        if (line.starts_with("ERROR")) errors.emplace_back(line.substr(0, line.find('\n')));
        if (!open || run.errors[at] < lastDump) required = errors.size();
    }
    expect(logged.errors == errors ||
               std::equal(logged.errors.begin(), logged.errors.end(), errors.begin(),
                          errors.begin() + static_cast<std::ptrdiff_t>(required)),
           "the error entries not the real error lines");
    if (!dumps) return 0;

    // The banners and the dumps that the output settled, in order.
    std::size_t at = 0;
    std::size_t banner = 0;
    for (const auto& [start, end] : run.dumps) {
        if (start + kWindow > cut) break;
        for (; banner < run.banners.size() && run.banners[banner] < start; ++banner, ++at) {
            expect(at < logged.infos.size() && logged.infos[at] == "velmKortd started", "banner");
        }
        at = expectDump(logged.infos, at, out.substr(start, end - start));
    }
    return 0;
}
