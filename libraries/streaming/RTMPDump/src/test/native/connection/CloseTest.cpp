// Orderly and abrupt ends of a published stream, seen from the server, and
// the send timeout on a server that has stopped reading.
#include "ChallengeServer.h"
#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "CapturedLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using tavrel_testing::ChallengeServer;
using tavrel_testing::ChallengeServerOptions;
using tavrel_testing::Nginx;

namespace {

ChallengeServerOptions open_server()
{
    ChallengeServerOptions o;
    o.auth = "none";
    return o;
}

// Commands the server recorded from the publishing connection after the
// publish.
std::vector<std::string> commands_after_publish(const ChallengeServer &server)
{
    std::vector<std::string> out;
    bool published = false;
    for (const std::string &line : server.events()) {
        if (line.find("\"event\": \"publish\"") != std::string::npos)
            published = true;
        else if (published && line.find("\"event\": \"command\"") != std::string::npos)
            out.push_back(tavrel_testing::json_field(line, "name"));
    }
    return out;
}

TEST(Close, OrderlyUnpublishesAndAbruptSendsNothing)
{
    struct Case {
        int is_orderly;
        std::vector<std::string> commands;
    };
    const Case cases[] = {
        {1, {"FCUnpublish", "deleteStream"}},
        {0, {}},
    };
    for (const Case &c : cases) {
        ChallengeServer server(open_server());
        const std::string url = server.url("live", "cam");
        RTMP *r = nullptr;
        ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0);
        ASSERT_TRUE(server.wait_for({"\"publish\""}));
        const int fd = r->m_sb.sb_socket;
        close_rtmp_w(r, c.is_orderly);
        // Either way the server sees the connection go.
        EXPECT_TRUE(server.wait_for({"\"closed\""})) << server.record();
        EXPECT_EQ(commands_after_publish(server), c.commands) << server.record();
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "socket left open";
    }
}

TEST(Close, NginxSeesTheStreamDeletedOnlyInAnOrderlyClose)
{
    for (int is_orderly : {1, 0}) {
        Nginx nginx;
        const std::string url = nginx.url("live", "closing");
        RTMP *r = nullptr;
        ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0);
        close_rtmp_w(r, is_orderly);
        // nginx logs the disconnect in both cases, and deleteStream after it
        // as its own clean-up; before it only when we sent one.
        bool disconnected = false;
        for (int i = 0; i < 100 && !disconnected; i++) {
            disconnected = nginx.error_log().find("disconnect") != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(disconnected) << nginx.error_log();
        const std::string log = nginx.error_log();
        const size_t publish = log.find("publish: name='closing'");
        ASSERT_NE(publish, std::string::npos) << log;
        const size_t disconnect = log.find("disconnect", publish);
        ASSERT_NE(disconnect, std::string::npos) << log;
        const bool deleted_first = log.substr(publish, disconnect - publish).find("deleteStream") != std::string::npos;
        EXPECT_EQ(deleted_first, is_orderly == 1) << log;
    }
}

TEST(Close, AbruptCloseOfATlsConnection)
{
    tavrel_testing::NginxOptions options;
    options.tls = true;
    Nginx nginx(options);
    for (int is_orderly : {0, 1}) {
        const std::string url = nginx.tls_url("live", "secure");
        RTMP *r = nullptr;
        ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0) << url;
        EXPECT_NE(r->m_sb.sb_ssl, nullptr);
        close_rtmp_w(r, is_orderly);
    }
}

TEST(Close, NullAndForeignRecords)
{
    close_rtmp_w(nullptr, 0);
    close_rtmp_w(nullptr, 1);
    // A record this library did not make is still closed and released.
    for (int is_orderly : {0, 1}) {
        RTMP *r = RTMP_Alloc();
        RTMP_Init(r);
        close_rtmp_w(r, is_orderly);
    }
}

TEST(SendTimeout, ASendToAServerThatStoppedReadingFails)
{
    ChallengeServerOptions options = open_server();
    options.stall_after_publish = true;
    ChallengeServer server(options);
    GlobalLogCapture capture;
    const std::string url = server.url("live", "stuck") + " timeout=1";
    RTMP *r = nullptr;
    ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0);
    ASSERT_TRUE(server.wait_for({"\"stalled\""}));

    RTMPPacket pkt;
    RTMPPacket_Reset(&pkt);
    ASSERT_TRUE(RTMPPacket_Alloc(&pkt, 64 * 1024));
    pkt.m_packetType = RTMP_PACKET_TYPE_VIDEO;
    pkt.m_nChannel = 4;
    pkt.m_headerType = RTMP_PACKET_SIZE_LARGE;
    pkt.m_nInfoField2 = r->m_stream_id;
    pkt.m_nBodySize = 64 * 1024;
    std::memset(pkt.m_body, 0x27, pkt.m_nBodySize);
    // Far more than any socket buffers hold: without a send timeout the
    // loop would block for good once they are full.
    int sent = 0;
    bool failed = false;
    for (; sent < 20000 && !failed; sent++)
        failed = !RTMP_SendPacket(r, &pkt, FALSE);
    EXPECT_TRUE(failed) << sent << " packets went out";
    EXPECT_FALSE(RTMP_IsConnected(r));
    RTMPPacket_Free(&pkt);
    close_rtmp_w(r, 1);
}

}  // namespace
