// The URL fuzz target's seeds through its checks.
#include "CorpusReplay.h"
#include "UrlChecks.h"

#include <gtest/gtest.h>

TEST(UrlCorpus, EverySeedPassesTheFuzzChecks)
{
    url_checks_init();
    EXPECT_GE(tavrel_testing::replay_corpus(URL_CORPUS_DIR, &check_url), 15u);
}
