// The log pipe's reader alone, fed the daemon's standard output for COUNT events the way
// velmKort-logpipe feeds it, for bench/logpipe.sh to count under callgrind. The output is made
// by the daemon's own dump and texts: its banner, then per event the dump and "MGMT: CONNECT".
//   velm_logpipe_feed default|dumps|print whole|line|byte sample|worst COUNT
// whole: each event's output in one read, as the daemon's single write of a dump arrives;
// line: a read per line; byte: a read per byte. sample: the measurements' connect event;
// worst: texts all newlines at their full width and every number at its widest, a 694-byte
// dump. Prints the number of entries the reader made; with print, writes the output instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bench/sample_event.h"
#include "daemon/messages.h"
#include "logpipe/reader.h"
#include "record/if_dump.h"

namespace {

using velm::record::FieldKind;

AdslIfObject worstObject() {
    AdslIfObject object{};
    auto* bytes = reinterpret_cast<unsigned char*>(&object);
    for (const velm::record::Field& field : velm::record::kIfFields) {
        const bool text = field.kind == FieldKind::Text;
        std::memset(bytes + field.offset, text ? '\n' : 0xff, field.size);
        if (field.kind == FieldKind::Flag) {
            velm::endian::storeHost32(bytes + field.offset, 0x80000000U);
        }
    }
    return object;
}

// Feeds `text` in reads of one line, one byte, or whole.
void feedAs(velm::logpipe::Reader& reader, std::string_view text, char chunking,
            const velm::logpipe::Sink& sink) {
    while (!text.empty()) {
        std::size_t size = text.size();
        if (chunking == 'l') size = std::min(text.find('\n') + 1, text.size());
        if (chunking == 'b') size = 1;
        velm::logpipe::feed(reader, {text.data(), size}, sink);
        text.remove_prefix(size);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s default|dumps|print whole|line|byte sample|worst COUNT\n",
                     argv[0]);
        return 2;
    }
    const bool worst = std::strcmp(argv[3], "worst") == 0;
    const AdslIfObject object =
        worst ? worstObject() : velm::bench::sampleEvent(MgmtEventType::CONNECT).ifObject;
    static char event[velm::record::kDumpMaxChars + 32];
    std::size_t size = velm::record::formatIfObject(
        object, std::span<char, velm::record::kDumpMaxChars>(event, velm::record::kDumpMaxChars));
    const std::string_view announcement = velm::daemon::text::kAnnouncementLines[0];
    std::memcpy(event + size, announcement.data(), announcement.size());
    size += announcement.size();

    if (std::strcmp(argv[1], "print") == 0) {
        std::fputs(velm::daemon::text::kBanner, stdout);
        for (long count = std::atol(argv[4]); count > 0; --count)
            std::fwrite(event, 1, size, stdout);
        return 0;
    }
    static std::size_t entries = 0;
    const velm::logpipe::Sink sink{
        [](void*, velm::logpipe::Priority, std::string_view) { ++entries; }, nullptr};
    static velm::logpipe::Reader reader;
    reader.dumps = std::strcmp(argv[1], "dumps") == 0;
    const char chunking = argv[2][0];
    feedAs(reader, velm::daemon::text::kBanner, chunking, sink);
    for (long count = std::atol(argv[4]); count > 0; --count) {
        feedAs(reader, {event, size}, chunking, sink);
    }
    velm::logpipe::finish(reader, sink);
    std::printf("%zu\n", entries);
    return 0;
}
