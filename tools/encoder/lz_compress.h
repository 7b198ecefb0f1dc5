#pragma once
// LZ compressor for the stored form of codec 10, 11 and 12 blocks: 16-bit
// little-endian control words of flag bits, least significant bit first,
// with the tokens' operand bytes between them.
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::int32_t LzWindow = 4096;
inline constexpr std::int32_t LzMaxCount = 256;

// Compresses input into a token stream that ends with the end marker. The
// expansion starts from a history of LzWindow zero bytes, which the parse
// uses as a dictionary, and yields exactly the input bytes.
std::vector<std::uint8_t> lzCompress(std::span<const std::uint8_t> input);

// Token kinds and their costs in bits (flag bits plus operand bytes).
enum class LzTokenKind : std::uint8_t { Literal, Short, Long, Extended };

struct LzToken {
    LzTokenKind kind;
    std::uint8_t literal;  // Literal only
    std::int32_t distance; // back-references: 1 .. 4096 (Short: 1 .. 256)
    std::int32_t count;    // Short 3 .. 6, Long 4 .. 18, Extended 2 .. 256
};

// Writes tokens and the end marker with every control word placed where the
// expander reloads it: the moment the 16th flag bit of the previous word has
// been taken, before that token's operand bytes.
std::vector<std::uint8_t> lzEmit(std::span<const LzToken> tokens);
