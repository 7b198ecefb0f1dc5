#include "driver/catalogue.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

struct ExpectedRow {
    int row;
    int number; // -1 for a hidden row
    std::uint32_t streamOffset;
    std::uint32_t hidden;
};

// The catalogue as published with the bundle, row by row.
const ExpectedRow Published[] = {
    {0, 0, 0x20, 0},        {1, 1, 0x91B382, 0},    {2, 2, 0x1234D05, 0},   {3, 3, 0x1801124, 0},
    {4, 4, 0x1BC591B, 0},   {5, -1, 0x1F4FF93, 1},  {6, 5, 0x1F93B2D, 0},   {7, 6, 0x2139001, 0},
    {8, 7, 0x276D53B, 0},   {9, 8, 0x2D48845, 0},   {10, 9, 0x335EECF, 0},  {11, 10, 0x3481E0E, 0},
    {12, 11, 0x35ADB2B, 0}, {13, 12, 0x36EE3C8, 0}, {14, 13, 0x382E335, 0}, {15, 14, 0x39805F2, 0},
    {16, -1, 0x3A38057, 1}, {17, 15, 0x3A9BC0B, 0}, {18, -1, 0x43D320A, 1}, {19, -1, 0x4BA48F2, 1},
    {20, 16, 0x55AFA46, 0}, {21, -1, 0x581BF3B, 1}, {22, 17, 0x5BEF50B, 0}, {23, 18, 0x5D08A0D, 0},
    {24, 19, 0x5ED74A7, 0}, {25, -1, 0x6074D8B, 1}, {26, 20, 0x6AB3199, 0}, {27, -1, 0x7501E1E, 1},
    {28, 21, 0x7D776EC, 0}, {29, 22, 0x7EC8783, 0}, {30, 23, 0x8142F99, 0}, {31, -1, 0x83B7378, 1},
    {32, 24, 0x8542832, 0}, {33, 25, 0x87C7233, 0}, {34, 26, 0x8A5973D, 0}, {35, 27, 0x8CCD8DA, 0},
    {36, -1, 0x8F34769, 1}, {37, 28, 0x984EA2A, 0}, {38, 29, 0xA051332, 0}, {39, -1, 0xA2D29A2, 1},
    {40, -1, 0xA612FA9, 1}, {41, 30, 0xA734157, 0}, {42, 31, 0xA7933C6, 0}, {43, 32, 0xA7E1402, 0},
    {44, 33, 0xA834194, 0}, {45, 34, 0xA8BCA91, 0}, {46, 35, 0xAA52225, 0}, {47, 36, 0xABBAD10, 0},
    {48, 37, 0xAE5C788, 0}, {49, 38, 0xB078080, 0}, {50, 39, 0xB0D4936, 0}, {51, 40, 0xB154118, 0},
    {52, 41, 0xB20D103, 0}, {53, -1, 0xB2B2CB7, 1}, {54, -1, 0xB475832, 1}, {55, -1, 0xB51A3CD, 1},
    {56, -1, 0xB66D419, 1}, {57, -1, 0xB6E60B4, 1}, {58, -1, 0xB897930, 1}, {59, 42, 0xB9A01BD, 0},
    {60, -1, 0xBA423D8, 1}, {61, -1, 0xBAB81F2, 1}, {62, -1, 0xBB8C2E7, 1}, {63, -1, 0xC5404CF, 1},
    {64, -1, 0xCE089A6, 1}, {65, 43, 0xD783C0A, 0}, {66, 44, 0xDCB670A, 0}, {67, 45, 0xE0E001A, 0},
    {68, 46, 0xE28B60C, 0}, {69, 47, 0xE5DE8C1, 0}, {70, 48, 0xE9A7362, 0}, {71, 49, 0xEB413EC, 0},
    {72, 50, 0xEC0C53A, 0}, {73, 51, 0xEDD063E, 0}, {74, 52, 0xEE9035D, 0}, {75, 53, 0xF0067B1, 0},
    {76, 54, 0xF0BF358, 0}, {77, 55, 0xF236E33, 0}, {78, 56, 0xF2F439E, 0}, {79, 57, 0xF470364, 0},
    {80, 58, 0xF570001, 0}, {81, 59, 0xF66EA74, 0}, {82, 60, 0xF7709E4, 0}, {83, 61, 0xF873B8C, 0}};

TEST(Catalogue, RowsMatchThePublishedTable) {
    ASSERT_EQ(std::size(Published), TrackCatalogue.size());
    for (const ExpectedRow& expected : Published) {
        const TrackEntry& row = TrackCatalogue[static_cast<std::size_t>(expected.row)];
        EXPECT_EQ(row.streamOffset, expected.streamOffset) << "row " << expected.row;
        EXPECT_EQ(row.hidden, expected.hidden) << "row " << expected.row;
        if (expected.number >= 0) {
            EXPECT_EQ(&rowForNumber(expected.number), &row) << "number " << expected.number;
        }
    }
    EXPECT_EQ(visibleCount(), 62);
}

TEST(Catalogue, NumbersSkipHiddenRows) {
    const struct {
        int number;
        std::size_t row;
    } cases[] = {{0, 0},   {4, 4},   {5, 6},   {15, 17}, {16, 20}, {29, 38},
                 {30, 41}, {41, 52}, {42, 59}, {43, 65}, {61, 83}};
    for (const auto& c : cases) {
        EXPECT_EQ(&rowForNumber(c.number), &TrackCatalogue[c.row]) << "number " << c.number;
    }
}

TEST(Catalogue, TitlesAreShortAndGroupedByArea) {
    std::set<std::string> titles;
    std::string previousArea;
    std::set<std::string> areasSeen;
    for (const TrackEntry& row : TrackCatalogue) {
        const std::string title = row.title;
        EXPECT_LE(title.size(), 21u) << title;
        EXPECT_TRUE(titles.insert(title).second) << "duplicate title " << title;
        const std::string area = title.substr(0, title.find(' '));
        const std::string detail = title.substr(area.size());
        const bool parenthesised =
            detail.size() > 3 && detail.starts_with(" (") && detail.ends_with(")");
        const bool digit = detail.size() == 2 && detail[0] == ' ' && std::isdigit(detail[1]) != 0;
        EXPECT_TRUE(parenthesised || digit) << title;
        if (area != previousArea) {
            EXPECT_TRUE(areasSeen.insert(area).second) << "area " << area << " is split";
            EXPECT_LT(previousArea, area) << "areas out of alphabetical order";
            previousArea = area;
        }
    }
}

TEST(Catalogue, ListShowsThreeEntriesALineWithoutFinalLineFeed) {
    testing::internal::CaptureStdout();
    printTrackList();
    const std::string list = testing::internal::GetCapturedStdout();

    ASSERT_FALSE(list.empty());
    EXPECT_NE(list.back(), '\n');
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = list.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(list.substr(start, end - start));
    }
    lines.push_back(list.substr(start));
    ASSERT_EQ(lines.size(), 21u);
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(lines[i].size(), 78u) << "line " << i;
    }
    EXPECT_EQ(lines.back().size(), 52u);
    EXPECT_EQ(lines.front().substr(0, 4), " 0. ");
    EXPECT_EQ(lines.front().substr(26, 4), " 1. ");
    EXPECT_EQ(lines.front().substr(52, 4), " 2. ");
    EXPECT_EQ(lines.back().substr(0, 4), "60. ");
    EXPECT_EQ(lines.back().substr(26, 4), "61. ");
    // "%2d. %-21s ": the title padded to 21 columns and one space after it.
    EXPECT_EQ(lines.front().substr(4, 22),
              std::string(TrackCatalogue[0].title) +
                  std::string(22 - std::strlen(TrackCatalogue[0].title), ' '));
}

} // namespace
