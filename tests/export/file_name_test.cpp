// File names made from track numbers and titles.
#include <gtest/gtest.h>

#include "tools/zelvor-export/track_export.h"

namespace {

TEST(ExportFileName, NumberTitleAndExtension) {
    EXPECT_EQ(exportFileName(5, "Bazaar (Morning)", AudioFormat::Flac), "05 Bazaar (Morning).flac");
    EXPECT_EQ(exportFileName(61, "Village 3", AudioFormat::Wav), "61 Village 3.wav");
}

TEST(ExportFileName, TitlesAreMadeSafe) {
    const struct {
        const char* title;
        const char* safe;
    } cases[] = {
        {"Abbey (Cloister)", "Abbey (Cloister)"},
        {"Gate/Night", "Gate_Night"},
        {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
        {"tab\there\x7f", "tab_here_"},
        {"..", "_"}, // would name the parent folder
        {" . ", "_"},
        {"", "_"},
        {" .Hidden.", "Hidden"},        // no hidden file, no trailing dot
        {"Caf\xc3\xa9", "Caf\xc3\xa9"}, // UTF-8 stays as it is
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(safeTitle(c.title), c.safe);
    }
}

} // namespace
