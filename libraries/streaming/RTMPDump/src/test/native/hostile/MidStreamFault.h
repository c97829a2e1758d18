// The start of every mid-stream fault case: the hostile server of the
// scenario the parameter names, the descriptors open before the context,
// and a context on that server.
#pragma once

#include "Bounded.h"
#include "Feed.h"
#include "HostileServer.h"

#include <gtest/gtest.h>

#include <string>

namespace hostile {

class MidStreamFault : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        fds_before = open_fds();
        ctx = connect(server.url());
        ASSERT_NE(ctx, nullptr) << server.log();
    }

    const std::string scenario = GetParam();
    tavrel_testing::HostileServer server{scenario};
    int fds_before = -1;
    RTMPDumpCtx *ctx = nullptr;
};

}  // namespace hostile
