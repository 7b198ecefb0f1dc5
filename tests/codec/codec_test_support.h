#pragma once
// Helpers for the decoder tests: a writer of stored LZ streams that also
// records what they expand to, and reference results for the prelude and the
// packing steps, each worked out in a different way from the production loops.
#include <cstdint>
#include <ostream>
#include <vector>

#include "codec/decoders.h"

using Bytes = std::vector<std::uint8_t>;

// Clears BlockInputBuffer and both work buffers.
void clearAllBuffers();
// Zero-fills BlockInputBuffer and places stored at its start, as the block
// fetch does.
void loadStored(const Bytes& stored);
// DecodeBuffer[from .. to) and ScratchBuffer[from .. to) as vectors.
Bytes decoded(std::int32_t from, std::int32_t to);
Bytes scratch(std::int32_t from, std::int32_t to);
// True when every byte of DecodeBuffer (or ScratchBuffer) in [from, to) is 0;
// `to` is clamped to the buffer's end.
bool decodeZeroFrom(std::int32_t from, std::int32_t to = WorkBufferSize);
bool scratchZeroFrom(std::int32_t from, std::int32_t to = WorkBufferSize);

// A stored stream under construction. Flag bits go into the current control
// word; when its 16th bit is used the next word is reserved at once, before
// the operand bytes of the token that used it, as the decoder reads them.
// `expanded` is the LZ output the stream describes.
struct StoredStream {
    Bytes bytes{0, 0};
    std::size_t wordPos = 0;
    std::int32_t bitsUsed = 0;
    Bytes expanded;
};

void putLiteral(StoredStream& stream, std::uint8_t value);
// count 3 .. 6, offset -256 .. -1.
void putShortRef(StoredStream& stream, std::int32_t count, std::int32_t offset);
// count 4 .. 18, offset -4096 .. -1.
void putLongRef(StoredStream& stream, std::int32_t count, std::int32_t offset);
// count 2 .. 256 through the extension byte, offset -4096 .. -1.
void putExtendedRef(StoredStream& stream, std::int32_t count, std::int32_t offset);
// b1 and the high nibble of b2 carry no meaning in the end marker.
void putEndMarker(StoredStream& stream, std::uint8_t b1 = 0, std::uint8_t b2High = 0);

// The summed bytes x for LZ output y, from x[i] - 2x[i-1] + x[i-2] = y[i].
Bytes referenceSums(const Bytes& lzOutput);
// T for summed bytes x, one byte longer than x (T[L] = 0).
Bytes referenceTable(const Bytes& sums);

// Expected DecodeBuffer[0 .. L] (L + 1 bytes, so byte L is included) after
// each packing step, for T of L + 1 bytes, built by placing whole 12-bit
// values into triples. Codec 10 keeps byte L - 1 from priorD when L % 3 == 1.
Bytes referencePack10(const Bytes& table, const Bytes& priorD);
Bytes referencePack11(const Bytes& table);
Bytes referencePack12(const Bytes& table);

// A small deterministic generator, so failures can be reproduced.
struct TestRandom {
    std::uint64_t state;
};
std::uint32_t nextRandom(TestRandom& random);
std::uint8_t randomByte(TestRandom& random);
Bytes randomBytes(TestRandom& random, std::size_t count);
// A random mix of all token kinds that expands to exactly `length` bytes
// (offsets may reach back before the start), closed by an end marker.
StoredStream randomStream(TestRandom& random, std::int32_t length);

// Runs the decoder, or the packing step alone, of codec 10, 11 or 12.
std::int32_t runDecoder(std::int32_t codec, std::int32_t storedSize);
void runPacking(std::int32_t codec, std::int32_t length);

// Puts T[0 .. L) into ScratchBuffer and the D it was interleaved from into
// DecodeBuffer, as the prelude leaves them; everything else is zero.
void loadPreludeState(const Bytes& table);

// One worked example of a packing step: either the packing step alone on a
// given T (L = its size) or a whole decode of stored bytes (size = their
// count).
struct PackingCase {
    const char* name;
    bool wholeDecoder;
    Bytes input;
    std::int32_t length;
    Bytes expected;        // DecodeBuffer[0 .. L], byte L included
    Bytes expectedScratch; // ScratchBuffer[0 .. L) after a whole decode
};
void PrintTo(const PackingCase& c, std::ostream* os);
// Runs the case with the given codec and checks every byte of both buffers.
void checkPackingCase(std::int32_t codec, const PackingCase& c);
