// The fuzz seeds (and any findings kept next to them) through the checks
// of the fuzz target, so a regular build keeps them passing.
#include "H264CutterChecks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

TEST(H264Corpus, EverySeedPassesTheFuzzChecks)
{
    namespace fs = std::filesystem;
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(H264_CORPUS_DIR)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        check_h264_cutters(bytes.data(), bytes.size());
        ++files;
    }
    EXPECT_GE(files, 3u);
}
