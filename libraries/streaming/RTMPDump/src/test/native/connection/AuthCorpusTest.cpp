// The authentication fuzz targets' seeds through their checks: server
// commands and _error descriptions.
#include "AuthChecks.h"
#include "CorpusReplay.h"

#include <gtest/gtest.h>

TEST(AuthCorpus, EverySeedPassesTheFuzzChecks)
{
    using tavrel_testing::replay_corpus;
    auth_checks_init();
    EXPECT_GE(replay_corpus(AUTH_CORPUS_DIR "/needs_publisher_auth", &check_server_command), 10u);
    EXPECT_GE(replay_corpus(AUTH_CORPUS_DIR "/publisher_auth", &check_auth_description), 10u);
}
