// The server-stream fuzz target's seeds (and the findings kept next to
// them) through its checks: real servers' conversations played into the
// connect loop, plain and through the HTTP tunnel.
#include "CorpusReplay.h"
#include "ServerStreamChecks.h"

#include <gtest/gtest.h>

TEST(ServerStreamCorpus, EverySeedPassesTheFuzzChecks)
{
    server_stream_checks_init();
    EXPECT_GE(tavrel_testing::replay_corpus(SERVER_CORPUS_DIR "/server_stream", &check_server_stream), 10u);
}

TEST(ServerStreamCorpus, EveryTunnelSeedPassesTheFuzzChecks)
{
    server_stream_checks_init();
    EXPECT_GE(tavrel_testing::replay_corpus(SERVER_CORPUS_DIR "/tunnel_stream", &check_tunnel_stream), 10u);
}
