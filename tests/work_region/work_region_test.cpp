// The block fetch and the decoders clear only what the block before them
// wrote, and their stages take shortcuts (runs of literals in one copy, both
// running sums in one pass, whole triples at a time). Every block of a bundle
// is fetched twice: by the program, after whatever the block before it left
// behind, and by the plain fetch and decoders, from buffers zero-filled whole.
// Everything either leaves behind must be the same byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "tests/support/run_program.h"
#include "tests/support/test_bundle.h"
#include "tests/work_region/plain_decode.h"
#include "tools/encoder/lz_compress.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

// Everything a fetch can leave behind that anything could read afterwards.
struct FetchState {
    std::int32_t result;
    BlockFetchNote note;
    PlainLzState lz; // for decoded blocks
    Bytes input;
    Bytes work;
    Bytes destination;
};

bool operator==(const BlockFetchNote& a, const BlockFetchNote& b) {
    return a.decodeDamaged == b.decodeDamaged && a.storedSizeCut == b.storedSizeCut &&
           a.resultCut == b.resultCut && a.readShort == b.readShort;
}

bool operator==(const PlainLzState& a, const PlainLzState& b) {
    return a.inPos == b.inPos && a.inCount == b.inCount && a.ctrlWord == b.ctrlWord &&
           a.ctrlBitsLeft == b.ctrlBitsLeft && a.outCount == b.outCount && a.damaged == b.damaged;
}

std::array<std::uint8_t, StreamBlockSize> Destination{};

void recordBuffers(FetchState& state) {
    state.input.assign(BlockInputBuffer.begin(), BlockInputBuffer.end());
    state.work.assign(WorkRegion.begin(), WorkRegion.end());
    state.destination.assign(Destination.begin(), Destination.end());
}

FetchState fetchAsTheProgramDoes() {
    FetchState state{};
    const BlockFetch fetch = fetchNextBlock(Destination);
    state.result = fetch.status;
    state.note = fetch.note;
    state.lz = {Lz.inPos, Lz.inCount, Lz.ctrlWord, Lz.ctrlBitsLeft, Lz.outCount, Lz.damaged};
    recordBuffers(state);
    return state;
}

FetchState fetchPlainly() {
    FetchState state{};
    state.result = plainFetchBlock(Destination, state.note);
    state.lz = PlainLz;
    recordBuffers(state);
    return state;
}

// Index of the first differing byte, or -1.
std::int64_t firstDifference(const Bytes& a, const Bytes& b) {
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return at.first == a.end() && at.second == b.end() ? -1 : at.first - a.begin();
}

// Fetches every block of the track at offset both ways and compares; returns
// the number of blocks fetched.
std::int32_t compareEveryBlock(const std::string& path, std::uint32_t offset) {
    std::FILE* const file = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) {
        return 0;
    }
    EXPECT_EQ(loadTrack(file, offset).outcome, TrackLoad::Loaded);
    std::int32_t fetched = 0;
    for (std::int32_t block = 0; block < Blocks.count; ++block) {
        // The bytes past a short result keep what the destination held.
        const std::array<std::uint8_t, StreamBlockSize> before = Destination;
        const FetchState tracked = fetchAsTheProgramDoes();

        // The same block again, plainly, from the same destination.
        Blocks.nextIndex = block;
        Destination = before;
        const FetchState plain = fetchPlainly();

        ++fetched;
        EXPECT_EQ(tracked.result, plain.result) << "block " << block;
        EXPECT_TRUE(tracked.note == plain.note) << "block " << block;
        if (Blocks.codec[static_cast<std::size_t>(block)] != CodecRaw) {
            EXPECT_TRUE(tracked.lz == plain.lz) << "LZ state, block " << block;
        }
        EXPECT_EQ(firstDifference(tracked.input, plain.input), -1)
            << "BlockInputBuffer, block " << block;
        // Indices below WorkBufferSize are ScratchBuffer, the rest DecodeBuffer.
        EXPECT_EQ(firstDifference(tracked.work, plain.work), -1) << "WorkRegion, block " << block;
        EXPECT_EQ(firstDifference(tracked.destination, plain.destination), -1)
            << "destination, block " << block;
        if (testing::Test::HasFailure()) {
            break;
        }
    }
    std::fclose(file);
    BundleFile = nullptr;
    return fetched;
}

Bytes randomBytes(std::mt19937& random, std::size_t size) {
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// One literal, then copies of it with distance 1 up to length bytes.
Bytes runOfLength(std::int32_t length) {
    std::vector<LzToken> tokens{{LzTokenKind::Literal, 0x5A, 0, 0}};
    for (std::int32_t done = 1; done < length;) {
        const std::int32_t count = std::min(LzMaxCount, length - done);
        // An extended copy takes 2 to 256 bytes; a last single byte is a literal.
        tokens.push_back(count >= 2 ? LzToken{LzTokenKind::Extended, 0, 1, count}
                                    : LzToken{LzTokenKind::Literal, 0x5A, 0, 0});
        done += count;
    }
    return lzEmit(tokens);
}

// Lengths below 2, of every remainder modulo 3, around a stream block and at
// the top of the buffers, each after lengths whose left-overs differ.
constexpr std::int32_t HostileLengths[] = {
    LzOutputLimit, 0,    1,    2,      3, 4,      5, 6, 9,     8190, 8191,
    8192,          8193, 8195, 179997, 2, 179998, 1, 0, 30000, 1};

// Blocks no encoder would write: lengths at the edges of the packing steps
// and of the buffers, streams cut short, and noise. Each comes after blocks
// of other lengths, so that every decode meets a different left-over.
std::vector<TestBlock> hostileBlocks() {
    std::mt19937 random(0x5EED);
    std::vector<Bytes> streams;
    for (const std::int32_t length : HostileLengths) {
        // Runs for the long ones: the compressor's parse would take a while.
        streams.push_back(length > 40000
                              ? runOfLength(length)
                              : lzCompress(randomBytes(random, static_cast<std::size_t>(length))));
    }
    // No end marker: the stage runs into its limit.
    Bytes runOn = runOfLength(60000);
    runOn.resize(runOn.size() - 3);
    streams.push_back(runOn);
    // A stream that describes more than the buffers hold.
    streams.push_back(runOfLength(WorkBufferSize + 5000));
    // Noise of many sizes, and a stored size larger than BlockInputBuffer.
    for (const std::size_t size : {9u, 700u, 4096u, 20000u, 131072u}) {
        streams.push_back(randomBytes(random, size));
    }
    // Nothing but literals, cut at every place of a control word's run.
    for (std::size_t size = 5000; size < 5017; ++size) {
        streams.push_back(Bytes(size, 0xFF));
    }
    streams.push_back(randomBytes(random, BlockInputSize + 100));

    std::vector<TestBlock> blocks;
    const std::uint32_t codecs[] = {10, 11, 12, 11, 10, 12};
    std::size_t next = 0;
    for (const Bytes& stored : streams) {
        // Every stream under all three codecs, in turns that vary the order.
        for (std::size_t k = 0; k < 3; ++k) {
            blocks.push_back({stored, codecs[(next + k) % 6]});
        }
        ++next;
        if (next % 5 == 0) {
            blocks.push_back({stored, 0}); // a raw block in between
        }
    }
    return blocks;
}

class WorkRegionEquivalence : public testing::Test {
  protected:
    void SetUp() override { path = makeTempDir() + "/bundle.bun"; }
    void TearDown() override {
        std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    }
    std::string path;
};

// Pieces like the demo's, centred and in stereo, with lead-ins that start
// the first triple in each of the three codecs' places.
TEST_F(WorkRegionEquivalence, EveryBlockOfEncodedMusic) {
    struct Piece {
        std::uint32_t seed;
        double seconds;
        bool centred;
        std::int32_t leadIn;
    };
    const Piece pieces[] = {{1, 4.0, true, HeaderLeadIn},
                            {5, 4.0, false, HeaderLeadIn + 1},
                            {9, 3.0, false, MaxLeadIn}};
    Bytes image;
    std::vector<std::uint32_t> offsets;
    for (const Piece& piece : pieces) {
        EncodedTrack track;
        std::string error;
        ASSERT_TRUE(encodeTrack(synthesisePiece(piece.seed, piece.seconds, piece.centred),
                                piece.leadIn, track, error))
            << error;
        offsets.push_back(static_cast<std::uint32_t>(image.size()));
        image.insert(image.end(), track.bytes.begin(), track.bytes.end());
    }
    writeFile(path, image);

    std::int32_t fetched = 0;
    for (const std::uint32_t offset : offsets) {
        fetched += compareEveryBlock(path, offset);
    }
    EXPECT_GT(fetched, 60);
}

TEST_F(WorkRegionEquivalence, EveryHostileBlock) {
    const std::vector<TestBlock> blocks = hostileBlocks();
    Bytes image;
    placeTrack(image, 0, blocks);
    writeFile(path, image);

    EXPECT_EQ(compareEveryBlock(path, 0), static_cast<std::int32_t>(blocks.size()));
}

} // namespace
