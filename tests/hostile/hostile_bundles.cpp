#include "tests/hostile/hostile_bundles.h"

#include <algorithm>
#include <stdexcept>

#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

constexpr std::uint32_t HeaderSize = 16;
constexpr std::uint32_t EntrySize = 16;
constexpr std::size_t TagAt = 16;

Bytes tagBlock(std::size_t size) {
    Bytes block = patterned(size, 1);
    putTag(block, TagAt);
    return block;
}

// LZ streams by their control-word bits and operand bytes.
const Bytes EndOnly{0x02, 0x00, 0x00, 0x00, 0x00};                 // L = 0
const Bytes OneLiteral{0x05, 0x00, 0x9C, 0x00, 0x00, 0x00};        // L = 1
const Bytes TwoLiterals{0x0B, 0x00, 0x9C, 0x3E, 0x00, 0x00, 0x00}; // L = 2
const Bytes FourLiterals{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
// The same four literals without the end marker: the stage runs on through
// the zeros after them to its output limit.
const Bytes NoEndMarker{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28};

// One literal, then extended back-references of 256 bytes each to 256000
// bytes in all, then the end marker: well formed, but past the buffers.
Bytes pastTheBuffers() {
    Bytes bytes{0, 0};
    std::size_t word = 0;
    int used = 0;
    const auto bit = [&](int value) {
        bytes[word] = static_cast<std::uint8_t>(bytes[word] | value << (used % 8));
        if (used == 7) {
            ++word;
        }
        if (++used == 16) {
            word = bytes.size();
            bytes.push_back(0);
            bytes.push_back(0);
            used = 0;
        }
    };
    bit(1);
    bytes.push_back(0x21);
    for (int i = 0; i < 1000; ++i) {
        // Offset -1 (b1 = 0xFF, high nibble 0xF), count field 0, e = 255.
        bit(0);
        bit(1);
        bytes.insert(bytes.end(), {0xFF, 0xF0, 0xFF});
    }
    bit(0);
    bit(1);
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00});
    return bytes;
}

struct Entry {
    std::uint32_t offset; // from the track header
    std::uint32_t size;
    std::uint32_t codec;
};

// A track whose entries say what they like: the header's count, the entries
// as given, then payload, laid out from the end of the table.
Bytes trackImage(std::uint32_t declaredCount, const std::vector<Entry>& entries,
                 const Bytes& payload) {
    Bytes image(HostileTrackOffset, 0);
    image.insert(image.end(), {'C', 'O', 'M', 'P'});
    appendBigEndian32(image, declaredCount);
    appendBigEndian32(image, 0);
    appendBigEndian32(image, 0);
    for (const Entry& e : entries) {
        const Bytes entry = tableEntry(e.offset, e.size, e.codec);
        image.insert(image.end(), entry.begin(), entry.end());
    }
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

std::uint32_t tableEnd(std::size_t entries) {
    return HeaderSize + EntrySize * static_cast<std::uint32_t>(entries);
}

// A track of blocks laid one after another, as an encoder writes them.
Bytes blocksImage(const std::vector<TestBlock>& blocks) {
    Bytes image;
    placeTrack(image, HostileTrackOffset, blocks);
    return image;
}

std::string codecName(std::uint32_t codec) {
    return codec == 0 ? "raw" : "codec " + std::to_string(codec);
}

} // namespace

std::vector<HostileCase> hostileCases() {
    using enum WalkOutcome;
    std::vector<HostileCase> cases;
    const auto add = [&cases](std::string name, Bytes image, WalkOutcome outcome) {
        cases.push_back({std::move(name), std::move(image), {outcome}});
    };
    const Bytes first = tagBlock(8192);

    // Block counts. The tables that claim more entries than they hold end
    // inside the table; 4097 entries trip the block limit before that.
    {
        Bytes wrongMagic = blocksImage({{first, 0}});
        wrongMagic[HostileTrackOffset + 3] = 'Q';
        add("magic COMQ", wrongMagic, WrongMagic);
    }
    add("count 0", trackImage(0, {}, {}), NoBlocks);
    add("count 1", blocksImage({{first, 0}}), Plays);
    {
        // 4096 blocks that all play the same 8192 stored bytes.
        std::vector<Entry> entries(4096, Entry{tableEnd(4096), 8192, 0});
        add("count 4096, raw blocks", trackImage(4096, entries, first), Plays);
        entries.push_back(entries.front());
        add("count 4097", trackImage(4097, entries, first), TooManyBlocks);
        add("count 2^32-1 with 4097 entries", trackImage(0xFFFFFFFF, entries, first),
            TooManyBlocks);
    }
    {
        // The worst case for time: 4095 blocks of every codec that each run
        // on to the LZ stage's output limit.
        std::vector<Entry> entries{{tableEnd(4096), 8192, 0}};
        for (std::uint32_t i = 1; i < 4096; ++i) {
            entries.push_back({tableEnd(4096) + 8192,
                               static_cast<std::uint32_t>(NoEndMarker.size()), 10 + i % 3});
        }
        Bytes payload = first;
        payload.insert(payload.end(), NoEndMarker.begin(), NoEndMarker.end());
        add("count 4096, every decode runs to the limit", trackImage(4096, entries, payload),
            Plays);
        cases.back().heavy = true;
    }
    for (const std::uint32_t count : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const std::vector<Entry> entries{{tableEnd(3), 8192, 0}, {tableEnd(3), 8192, 0}};
        add("count " + std::to_string(count) + " with 2 entries", trackImage(count, entries, first),
            TableCut);
    }

    // Stored sizes, for every codec, in a later block and in the first one.
    const std::vector<std::uint32_t> sizes{0, 1, 4096, 4097, 0x7FFFFFFF, 0xFFFFFFFF};
    for (const std::uint32_t codec : {0u, 10u, 11u, 12u}) {
        for (const std::uint32_t size : sizes) {
            const std::string name = codecName(codec) + " size " + std::to_string(size);
            const Bytes rest = patterned(9000, 2);
            const std::vector<Entry> entries{
                {tableEnd(3), 8192, 0}, {tableEnd(3) + 8192, size, codec}, {tableEnd(3), 8192, 0}};
            Bytes payload = first;
            payload.insert(payload.end(), rest.begin(), rest.end());
            // The largest sizes reach past the end of the file.
            add(name + ", second block", trackImage(3, entries, payload),
                size <= rest.size() ? Plays : BundleEnds);
        }
        // An empty first block holds no tag: raw delivers nothing, and a
        // decoder expands nothing but zeros from it.
        add(codecName(codec) + " size 0, first block",
            trackImage(2, {{tableEnd(2), 0, codec}, {tableEnd(2), 8192, 0}}, first), NoDataTag);
    }
    // A first block of 2^31-1 or 2^32-1 bytes reads what the file holds, cut
    // to the input buffer and to the stream block: its tag still plays.
    for (const std::uint32_t size : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        add("raw size " + std::to_string(size) + ", first block",
            trackImage(2, {{tableEnd(2), size, 0}, {tableEnd(2), 8192, 0}}, tagBlock(140000)),
            Plays);
    }

    // Offsets past the end and offsets whose sum with the track's offset
    // overflows 32 bits: the bundle ends inside such a block. File offset
    // 0x10, before the track, holds a tag: a sum that wrapped around would
    // find it and play.
    {
        const std::vector<std::pair<std::string, std::uint32_t>> offsets{
            {"at the end of the file", tableEnd(2) + 8192},
            {"one byte before the end", tableEnd(2) + 8191},
            {"past the end", tableEnd(2) + 100000},
            {"2^31-1", 0x7FFFFFFF},
            {"that wraps to file offset 0", 0xFFFFFFE0},
            {"that wraps to the tag at 0x10", 0xFFFFFFF0},
            {"2^32-1", 0xFFFFFFFF},
        };
        for (const auto& [what, offset] : offsets) {
            for (const std::uint32_t codec : {0u, 10u, 11u, 12u}) {
                Bytes image = trackImage(2, {{offset, 8192, codec}, {tableEnd(2), 8192, 0}}, first);
                putTag(image, 0x10);
                // "D" at the file's last byte is all a raw block there gets.
                image[image.size() - 1] = 'D';
                add(codecName(codec) + " first block offset " + what, image, BundleEnds);
                Bytes later = trackImage(
                    3, {{tableEnd(3), 8192, 0}, {offset, 8192, codec}, {tableEnd(3), 8192, 0}},
                    first);
                putTag(later, 0x10);
                add(codecName(codec) + " second block offset " + what, later, BundleEnds);
            }
        }
    }

    // Streams that every decoder must survive, as a later block; as the
    // first block none of them yields a tag.
    for (const std::uint32_t codec : {10u, 11u, 12u}) {
        for (const auto& [what, stream] : hostileStreams()) {
            add(codecName(codec) + " " + what,
                blocksImage({{first, 0}, {stream, codec}, {first, 0}}), Plays);
            add(codecName(codec) + " " + what + ", first block",
                blocksImage({{stream, codec}, {first, 0}}), NoDataTag);
        }
    }

    // The tag split across the end of the first block: the search stays in
    // it, so none of these start. A tag that ends at the last byte does.
    for (std::size_t at = 8189; at <= 8191; ++at) {
        Bytes head = patterned(8192, 3);
        Bytes tail = patterned(8192, 4);
        const std::string tag = "DATA";
        const std::size_t inHead = 8192 - at;
        std::copy_n(tag.begin(), inHead, head.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy(tag.begin() + static_cast<std::ptrdiff_t>(inHead), tag.end(), tail.begin());
        add("tag split at " + std::to_string(at), blocksImage({{head, 0}, {tail, 0}}), NoDataTag);
    }
    {
        Bytes head = patterned(8192, 3);
        putTag(head, 8188);
        add("tag at 8188", blocksImage({{head, 0}, {patterned(8192, 4), 0}}), Plays);
        // A first block of 8196 bytes with the tag at 8190: the result is cut
        // to 8192, so the tag's last two bytes never reach the buffer's tail.
        Bytes longer = patterned(8196, 5);
        putTag(longer, 8190);
        add("tag at 8190 of a first block of 8196 bytes",
            blocksImage({{longer, 0}, {patterned(8192, 4), 0}}), NoDataTag);
    }
    return cases;
}

std::vector<std::pair<std::string, Bytes>> hostileStreams() {
    return {
        {"result of 0 bytes", EndOnly},
        {"result of 1 byte", OneLiteral},
        {"result of 2 bytes", TwoLiterals},
        {"without an end marker", NoEndMarker},
        {"expanding past the buffers", pastTheBuffers()},
    };
}

Bytes smallValidBundle() {
    return blocksImage({{tagBlock(64), 0},
                        {FourLiterals, 10},
                        {FourLiterals, 11},
                        {FourLiterals, 12},
                        {patterned(100, 6), 0}});
}

WalkOutcome outcomeOfSmallBundleCut(std::size_t length) {
    const std::size_t tableStart = HostileTrackOffset + HeaderSize;
    const std::size_t firstBlock = tableStart + EntrySize * 5;
    if (length < tableStart) {
        return WalkOutcome::HeaderCut;
    }
    if (length < firstBlock) {
        return WalkOutcome::TableCut;
    }
    // Every block is read on the way, so a cut anywhere in them ends the stream.
    return length < smallValidBundle().size() ? WalkOutcome::BundleEnds : WalkOutcome::Plays;
}

EncodedBundle encodedBundle() {
    // Two batches of frames: four blocks with the lead-in and the tag.
    const std::vector<StereoValue> frames = synthesisePiece(7, 0.3, false);
    EncodedTrack track;
    std::string error;
    if (!encodeTrack(frames, HeaderLeadIn, track, error)) {
        throw std::runtime_error(error);
    }
    EncodedBundle bundle;
    bundle.image.assign(HostileTrackOffset, 0);
    bundle.image.insert(bundle.image.end(), track.bytes.begin(), track.bytes.end());
    const std::size_t tableStart = HostileTrackOffset + HeaderSize;
    const auto field = [&bundle](std::size_t at) {
        return std::size_t{bundle.image[at]} << 24 | std::size_t{bundle.image[at + 1]} << 16 |
               std::size_t{bundle.image[at + 2]} << 8 | std::size_t{bundle.image[at + 3]};
    };
    bundle.firstBlockOffset = HostileTrackOffset + field(tableStart);
    bundle.secondBlockOffset = HostileTrackOffset + field(tableStart + EntrySize);
    return bundle;
}

std::vector<WalkOutcome> outcomesOfEncodedCut(const EncodedBundle& bundle, std::size_t length) {
    const std::size_t tableStart = HostileTrackOffset + HeaderSize;
    if (length < tableStart) {
        return {WalkOutcome::HeaderCut};
    }
    if (length < bundle.firstBlockOffset) {
        return {WalkOutcome::TableCut};
    }
    // The blocks run to the end of the image, and every one is read.
    return {length < bundle.image.size() ? WalkOutcome::BundleEnds : WalkOutcome::Plays};
}
