// The H.264 cutters' fuzz target's seeds through its checks.
#include "CorpusReplay.h"
#include "H264CutterChecks.h"

#include <gtest/gtest.h>

TEST(H264Corpus, EverySeedPassesTheFuzzChecks)
{
    EXPECT_GE(tavrel_testing::replay_corpus(H264_CORPUS_DIR, &check_h264_cutters), 3u);
}
