// The authentication fuzz seeds (and any findings kept next to them)
// through the checks of the fuzz targets, so a regular build keeps them
// passing.
#include "AuthChecks.h"
#include "RTMPDumpUtilInternal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

size_t replay(const char *dir, void (*check)(const uint8_t *, size_t))
{
    namespace fs = std::filesystem;
    RTMP_LogSetLevel(RTMP_LOGCRIT);
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

TEST(AuthCorpus, EveryServerCommandSeedPassesTheFuzzChecks)
{
    EXPECT_GE(replay(AUTH_CORPUS_DIR "/needs_publisher_auth", &check_server_command), 10u);
}

TEST(AuthCorpus, EveryDescriptionSeedPassesTheFuzzChecks)
{
    EXPECT_GE(replay(AUTH_CORPUS_DIR "/publisher_auth", &check_auth_description), 10u);
}

}  // namespace
