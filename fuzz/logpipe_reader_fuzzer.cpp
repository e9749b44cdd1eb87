// What velmKort-logpipe logs of any run of what the daemon writes, fed in chunks cut anywhere
// and ended anywhere: dumps of records whose texts forge every kind of line, announcements,
// real error lines, the banner, and lines on standard error. Whatever the run and its timing:
// no byte of a password reaches an entry, the error entries are the real error lines, each
// once, and with --dumps each settled dump gives its fields' entries and one masked password.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/messages.h"
#include "logpipe/reader.h"
#include "record/endian.h"
#include "record/if_dump.h"

namespace {

using velm::logpipe::Priority;
using velm::record::Field;
using velm::record::kIfFields;
namespace text = velm::daemon::text;
constexpr std::size_t kWindow = velm::logpipe::detail::kWindow;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "logpipe reader fuzzer: %s\n", what);
    std::abort();
}

void expect(bool holds, const char* what) {
    if (!holds) fail(what);
}

struct Entries {
    std::vector<std::string> errors;
    std::vector<std::string> infos;
};

void collect(void* context, Priority priority, std::string_view entry) {
    auto& entries = *static_cast<Entries*>(context);
    (priority == Priority::Error ? entries.errors : entries.infos).emplace_back(entry);
}

// Password bytes are the only ones above 0x7f in a run.
bool secret(char c) {
    return static_cast<unsigned char>(c) >= 0x80;
}

constexpr std::string_view kPieces[] = {
    "\n",           "ERROR",       "ERROR#98 in bind on serverSocket",
    "MGMT: UPDATE", "password = ", "\\",
    "\\n",          "0",           "00:11:22:33:44:55",
    "-1",           " = ",         "velmKortd started"};

// A text field's value: empty, full width, or pieces that forge lines of every kind.
void fillText(FuzzedDataProvider& in, const Field& field, bool password, bool full,
              unsigned char* out) {
    std::string value;
    const int shape = full ? 2 : in.ConsumeIntegralInRange(0, 2);
    while (shape != 0 && value.size() < field.size && in.remaining_bytes() > 0) {
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPieces) + 1);
        if (pick < std::size(kPieces)) {
            value += kPieces[pick];
        } else if (pick == std::size(kPieces)) {
            value += "\n";
            value +=
                kIfFields[in.ConsumeIntegralInRange<std::size_t>(0, kIfFields.size() - 1)].name;
            value += " = ";
        } else {
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
        const bool flag = field.kind == velm::record::FieldKind::Flag;
        if (widest && flag) velm::endian::storeHost32(value.data(), 0x80000000U);
        std::copy(value.begin(), value.end(), bytes + field.offset);
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

struct Run {
    std::string out;                   // standard output
    std::vector<std::size_t> errors;   // where each real error line begins in it
    std::vector<std::size_t> banners;  // where each banner begins
    std::vector<std::pair<std::size_t, std::size_t>> dumps;  // where each begins and ends
};

Run generate(FuzzedDataProvider& in) {
    Run run;
    while (in.remaining_bytes() > 0 && run.out.size() < 4000) {
        const int item = in.ConsumeIntegralInRange(0, 4);
        if (item == 0) run.banners.push_back(run.out.size());
        if (item == 0) run.out += text::kBanner;
        if (item == 1) run.errors.push_back(run.out.size());
        if (item == 1) run.out += errorLine(in);
        if (item < 2) continue;
        const std::size_t start = run.out.size();
        run.out += dump(in);
        run.dumps.emplace_back(start, run.out.size());
        if (item == 2) continue;  // an unknown type: no announcement
        run.out += text::kAnnouncementLines[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        if (item == 4) run.errors.push_back(run.out.size());
        if (item == 4) run.out += errorLine(in);
    }
    return run;
}

// Standard error: lines about a piece's length, any text, whole dumps; nothing above 0x7f.
std::string standardError(FuzzedDataProvider& in) {
    std::string err;
    for (int lines = in.ConsumeIntegralInRange(0, 3); lines > 0; --lines) {
        const int kind = in.ConsumeIntegralInRange(0, 2);
        const auto length =
            velm::logpipe::kPieceMax * in.ConsumeIntegralInRange<std::size_t>(1, 2) +
            in.ConsumeIntegralInRange<std::size_t>(0, 2) - 1;
        err += kind == 0   ? std::string(length, 'e') + "\n"
               : kind == 1 ? in.ConsumeRandomLengthString(80) + "\n"
                           : dump(in);
    }
    for (char& c : err) c = static_cast<char>(c & 0x7f);
    return err;
}

Entries feed(std::string_view bytes, bool dumps, bool errors, FuzzedDataProvider& in) {
    Entries entries;
    const velm::logpipe::Sink sink{collect, &entries};
    static velm::logpipe::Reader reader;
    reader = {};
    reader.dumps = dumps;
    reader.errors = errors;
    while (!bytes.empty()) {
        // Cut anywhere, and often where a long line's piece ends.
        const std::size_t cut = in.ConsumeBool() ? velm::logpipe::kPieceMax
                                                 : in.ConsumeIntegralInRange<std::size_t>(1, 900);
        const auto chunk = std::min(bytes.size(), cut);
        velm::logpipe::feed(reader, bytes.substr(0, chunk), sink);
        bytes.remove_prefix(chunk);
    }
    velm::logpipe::finish(reader, sink);
    return entries;
}

// A line's entries: pieces that join to it, none empty unless the line is.
std::vector<std::string> pieces(std::string_view line) {
    std::vector<std::string> out{std::string(line.substr(0, velm::logpipe::kPieceMax))};
    for (line.remove_prefix(out[0].size()); !line.empty(); line.remove_prefix(out.back().size())) {
        out.emplace_back(line.substr(0, velm::logpipe::kPieceMax));
    }
    return out;
}

std::string unescape(std::string_view entry) {
    std::string out;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] != '\\') {
            out += entry[i];
            continue;
        }
        expect(i + 1 < entry.size() && (entry[i + 1] == 'n' || entry[i + 1] == '\\'), "bare \\");
        out += entry[++i] == 'n' ? '\n' : '\\';
    }
    return out;
}

// A settled dump's entries from `at`: a reading of its text up to its first password line, one
// entry per field, the masked entry and its last line. Returns where the next entries begin.
std::size_t expectDump(const std::vector<std::string>& infos, std::size_t at,
                       std::string_view dump) {
    const std::size_t password = dump.find("\npassword = ") + 1;
    std::string joined;
    std::size_t field = 0;
    for (; at < infos.size() && infos[at] != "password = ********"; ++at, ++field) {
        expect(field < 21, "more entries than fields before the password");
        const std::string entry = unescape(infos[at]);
        const std::string head = std::string(kIfFields[field].name) + " = ";
        expect(entry.starts_with(head), "an entry that is not its field's");
        const std::size_t value = entry.size() - head.size();
        expect(value <= velm::record::maxValueChars(kIfFields[field]), "a value too long");
        joined += entry + "\n";
    }
    expect(joined == dump.substr(0, password), "entries that are not the dump's text");
    expect(at + 1 < infos.size(), "no masked entry or no last line");
    const std::size_t last = dump.rfind('\n', dump.size() - 2) + 1;
    expect(infos[at + 1] == dump.substr(last, dump.size() - last - 1), "the last line");
    return at + 2;
}

// Each line's entries, in order: pieces that join to it.
std::vector<std::string> linesInPieces(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const std::size_t newline = std::min(text.find('\n'), text.size());
        for (std::string& piece : pieces(text.substr(0, newline))) out.push_back(std::move(piece));
        text.remove_prefix(std::min(newline + 1, text.size()));
    }
    return out;
}

// The real error lines before the cut, and how many of them must be logged: those after a dump
// that the end of output left open may be dump.
std::pair<std::vector<std::string>, std::size_t> realErrors(const Run& run, std::string_view out) {
    std::vector<std::string> lines;
    std::size_t required = 0;
    std::size_t lastDump = out.size();
    for (const auto& [start, end] : run.dumps) lastDump = start < out.size() ? start : lastDump;
    const bool open = lastDump < out.size() && out.size() < lastDump + kWindow;
    for (const std::size_t at : run.errors) {
        if (at >= out.size()) break;
        const std::string_view line = out.substr(at, out.find('\n', at) - at);
        if (line.starts_with("ERROR")) lines.emplace_back(line);
        if (!open || at < lastDump) required = lines.size();
    }
    return {lines, required};
}

// With --dumps, the banners and the dumps that the output settled, in order.
void expectInfos(const Run& run, std::size_t cut, const std::vector<std::string>& infos) {
    std::size_t at = 0;
    std::size_t banner = 0;
    for (const auto& [start, end] : run.dumps) {
        if (start + kWindow > cut) break;
        for (; banner < run.banners.size() && run.banners[banner] < start; ++banner, ++at) {
            expect(at < infos.size() && infos[at] == "velmKortd started", "the banner");
        }
        at = expectDump(infos, at, std::string_view(run.out).substr(start, end - start));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool dumps = in.ConsumeBool();
    const Run run = generate(in);
    const std::string err = standardError(in);
    const std::size_t cut = in.ConsumeBool()
                                ? run.out.size()
                                : in.ConsumeIntegralInRange<std::size_t>(0, run.out.size());
    const std::string_view out = std::string_view(run.out).substr(0, cut);
    const std::string_view errOut =
        std::string_view(err).substr(0, in.ConsumeIntegralInRange<std::size_t>(0, err.size()));
    const Entries logged = feed(out, dumps, false, in);
    const Entries errLogged = feed(errOut, dumps, true, in);

    for (const auto* entries : {&logged.errors, &logged.infos}) {
        for (const std::string& entry : *entries) {
            expect(std::none_of(entry.begin(), entry.end(), secret), "a password byte logged");
        }
    }
    expect(dumps || logged.infos.empty(), "an entry other than an error without --dumps");
    expect(errLogged.infos.empty() && errLogged.errors == linesInPieces(errOut),
           "standard error's lines not each an error entry");
    const auto [errors, required] = realErrors(run, out);
    expect(logged.errors == errors ||
               std::equal(logged.errors.begin(), logged.errors.end(), errors.begin(),
                          errors.begin() + static_cast<std::ptrdiff_t>(required)),
           "the error entries are not the real error lines");
    if (dumps) expectInfos(run, cut, logged.infos);
    return 0;
}
