// The fuzz seeds (and any findings kept next to them) through the checks
// of the fuzz target, so a regular build keeps them passing.
#include "AdtsChecks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

TEST(AdtsCorpus, EverySeedPassesTheFuzzChecks)
{
    namespace fs = std::filesystem;
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(AAC_CORPUS_DIR)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        check_adts(bytes.data(), bytes.size());
        ++files;
    }
    EXPECT_GE(files, 5u);
}
