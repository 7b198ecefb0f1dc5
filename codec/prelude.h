#pragma once
// The reconstruction shared by the three block decoders after the LZ stage:
// two running byte sums over DecodeBuffer (D) and the interleaved copy of the
// result in ScratchBuffer (T) that every packing step reads.
#include <cstdint>

// Number of 12-bit values that length bytes carry (n).
constexpr std::int32_t valueCount(std::int32_t length) {
    return 8 * length / 12;
}

// D[0 .. length) holds the LZ output and ScratchBuffer is all zero. Sums D in
// place (modulo 256), copies it to T[0 .. length) and interleaves the halves;
// T[length ..] stays zero. Returns n. Does nothing for a length below 2 or
// past the LZ stage's limit and returns 0.
std::int32_t reconstructPrelude(std::int32_t length);

// T[2j] = D[j] and T[2j + 1] = D[half + j] for j = 0 .. half - 1.
void interleaveHalves(std::int32_t half);
