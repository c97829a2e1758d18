// The server-talk fuzz target's seeds through its checks.
#include "CorpusReplay.h"
#include "ServerTalkChecks.h"

#include <gtest/gtest.h>

TEST(ServerTalkCorpus, EverySeedPassesTheFuzzChecks)
{
    server_talk_checks_init();
    EXPECT_GE(tavrel_testing::replay_corpus(SERVER_TALK_CORPUS_DIR, &check_server_talk), 13u);
}
