// The ADTS fuzz target's seeds through its checks.
#include "AdtsChecks.h"
#include "CorpusReplay.h"

#include <gtest/gtest.h>

TEST(AdtsCorpus, EverySeedPassesTheFuzzChecks)
{
    EXPECT_GE(tavrel_testing::replay_corpus(AAC_CORPUS_DIR, &check_adts), 5u);
}
