// The FLV stream writer's fuzz seeds (and any findings kept next to them)
// through the checks of the fuzz targets, so a regular build keeps them
// passing.
#include "FlvWriteChecks.h"

#include <librtmp/log.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

size_t replay(const char *dir, void (*check)(const uint8_t *, size_t))
{
    namespace fs = std::filesystem;
    flv_checks_init();
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        check(bytes.data(), bytes.size());
        ++files;
    }
    RTMP_LogSetLevel(RTMP_LOGWARNING);
    return files;
}

TEST(FlvCorpus, EveryOneTagSeedPassesTheFuzzChecks)
{
    EXPECT_GE(replay(FLV_CORPUS_DIR "/flv_write_v2", &check_flv_write_v2), 10u);
}

TEST(FlvCorpus, EveryCutStreamSeedPassesTheFuzzChecks)
{
    EXPECT_GE(replay(FLV_CORPUS_DIR "/flv_write_fix", &check_flv_write_fix), 10u);
}

}  // namespace
