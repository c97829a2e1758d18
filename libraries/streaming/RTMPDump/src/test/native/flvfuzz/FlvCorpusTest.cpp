// The FLV stream writer's fuzz targets' seeds through their checks: one tag
// per call, and streams cut into pieces.
#include "CorpusReplay.h"
#include "FlvWriteChecks.h"

#include <gtest/gtest.h>

TEST(FlvCorpus, EverySeedPassesTheFuzzChecks)
{
    using tavrel_testing::replay_corpus;
    flv_checks_init();
    EXPECT_GE(replay_corpus(FLV_CORPUS_DIR "/flv_write_v2", &check_flv_write_v2), 10u);
    EXPECT_GE(replay_corpus(FLV_CORPUS_DIR "/flv_write_fix", &check_flv_write_fix), 10u);
}
