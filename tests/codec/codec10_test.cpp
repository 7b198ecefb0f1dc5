// Codec 10: triples laid from byte 0, the first nibble byte's high nibble
// ORed into the last triple after the loop.
#include <gtest/gtest.h>

#include "codec_test_support.h"

namespace {

const std::vector<PackingCase> Codec10Cases = {
    // Byte 2 is 0xEA from the loop and 0xFA after the fix-up; byte 3 keeps
    // the prelude's value.
    {"FourLiteralBlock",
     true,
     {0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00},
     4,
     {0xA0, 0x10, 0xFA, 0xAA, 0x00},
     {0x0A, 0x1E, 0x50, 0xAA}},
    // One value 0x124; the fix-up puts T[1]'s high nibble into byte 1.
    {"TwoBytes", false, {0x12, 0x34}, 2, {0x24, 0x31, 0x00}, {}},
    // The right value's low nibble comes from T[3] = 0; the fix-up adds 0x50.
    {"ThreeBytes", false, {0x12, 0x34, 0x56}, 3, {0x26, 0x31, 0x50, 0x00}, {}},
    {"FourBytesKeepLastByte",
     false,
     {0x0A, 0x1E, 0x50, 0xAA},
     4,
     {0xA0, 0x10, 0xFA, 0xAA, 0x00},
     {}},
};

class Codec10Examples : public testing::TestWithParam<PackingCase> {};

TEST_P(Codec10Examples, Packs) {
    checkPackingCase(10, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Blocks, Codec10Examples, testing::ValuesIn(Codec10Cases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

} // namespace
