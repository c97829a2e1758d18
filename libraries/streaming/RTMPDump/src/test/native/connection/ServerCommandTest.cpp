// How the connection reads the server's commands: which are authentication
// demands, what the method queue loses, and the read loop on a scripted
// server.
#include "RTMPDumpUtilInternal.h"
#include "ServerMessages.h"
#include "CapturedLog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string av_str(const AVal &a) { return a.av_val ? std::string(a.av_val, a.av_len) : std::string(); }

char *heap_text(const std::string &s)
{
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// A publishing record with pending commands, as librtmp queues them.
struct Record {
    RTMP r;
    explicit Record(std::vector<std::pair<std::string, int>> pending = {{"connect", 1}, {"releaseStream", 2}},
                    bool publishing = true)
    {
        RTMP_Init(&r);
        if (publishing)
            r.Link.protocol |= RTMP_FEATURE_WRITE;
        r.m_methodCalls = static_cast<RTMP_METHOD *>(std::calloc(pending.size() + 1, sizeof(RTMP_METHOD)));
        for (const auto &p : pending) {
            r.m_methodCalls[r.m_numCalls].name = {heap_text(p.first), static_cast<int>(p.first.size())};
            r.m_methodCalls[r.m_numCalls].num = p.second;
            r.m_numCalls++;
        }
    }
    ~Record()
    {
        for (int i = 0; i < r.m_numCalls; i++)
            std::free(r.m_methodCalls[i].name.av_val);
        std::free(r.m_methodCalls);
    }
    std::vector<std::string> pending() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < r.m_numCalls; i++)
            out.push_back(av_str(r.m_methodCalls[i].name));
        return out;
    }
};

// A packet whose body is a heap buffer of exactly the body's length.
struct Packet {
    RTMPPacket pkt = {};
    std::vector<char> body;
    Packet(uint8_t type, const std::vector<uint8_t> &bytes) : body(bytes.begin(), bytes.end())
    {
        pkt.m_packetType = type;
        pkt.m_body = body.empty() ? nullptr : body.data();
        pkt.m_nBodySize = static_cast<uint32_t>(body.size());
        pkt.m_nBytesRead = pkt.m_nBodySize;
    }
};

// depth objects inside each other, each with one property "a".
std::vector<uint8_t> nested(int depth)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < depth; i++)
        out.insert(out.end(), {0x03, 0x00, 0x01, 'a'});
    out.push_back(0x05);
    return out;
}

const std::string kNeedAuth = "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ";

TEST(NeedsPublisherAuth, OnlyAnErrorAnsweringConnectIsAnAuthDemand)
{
    using namespace amf;
    const Bytes answer_connect = error_command(1, kNeedAuth);
    struct Case {
        const char *what;
        uint8_t type;
        Bytes body;
        bool publishing;
        int expected;
        std::vector<std::string> pending_after;
        const char *logged;  // level 900 or 1000
    };
    const Case cases[] = {
        {"AMF0 _error for connect", 0x14, answer_connect, true, 1, {"releaseStream"}, nullptr},
        {"AMF3 command, one byte in", 0x11, cat({{0x00}, answer_connect}), true, 1, {"releaseStream"}, nullptr},
        {"AMF3 command without body", 0x11, {}, true, 0, {"connect", "releaseStream"}, nullptr},
        {"AMF3 command of one byte", 0x11, {0x00}, true, 0, {"connect", "releaseStream"}, nullptr},
        {"data message", 0x12, answer_connect, true, 0, {"connect", "releaseStream"}, nullptr},
        {"no string first", 0x14, cat({number(1), answer_connect}), true, 0, {"connect", "releaseStream"},
         "needs_publisher_auth, Sanity failed. no string method in invoke packet"},
        {"truncated", 0x14, Bytes(answer_connect.begin(), answer_connect.begin() + 30), true, 0,
         {"connect", "releaseStream"}, "needs_publisher_auth, error decoding invoke packet"},
        {"string longer than the packet", 0x14, {0x02, 0xff, 0xff, 'a'}, true, 0, {"connect", "releaseStream"},
         "error decoding invoke packet"},
        {"string marker at the very end", 0x14, cat({string("_error"), number(1), {0x02}}), true, 0,
         {"connect", "releaseStream"}, "error decoding invoke packet"},
        {"AMF3 value", 0x14, cat({string("_error"), number(1), null(), {0x11, 0x0a, 0x0b, 0x01}}), true, 0,
         {"connect", "releaseStream"}, "error decoding invoke packet"},
        {"reference", 0x14, cat({string("_error"), number(1), null(), {0x07, 0x00, 0x01}}), true, 0,
         {"connect", "releaseStream"}, "error decoding invoke packet"},
        {"nesting 200 deep", 0x14, cat({string("_error"), number(1), nested(200)}), true, 0,
         {"connect", "releaseStream"}, "error decoding invoke packet"},
        {"nesting 10 deep", 0x14, cat({string("_error"), number(1), nested(10)}), true, 1, {"releaseStream"},
         nullptr},
        {"array longer than the packet", 0x14, cat({string("_error"), number(1), {0x0a, 0, 0, 0, 9}, number(1)}),
         true, 0, {"connect", "releaseStream"}, "error decoding invoke packet"},
        {"object running to the end", 0x14, cat({string("_error"), number(1), null(), {0x03, 0x00, 0x01, 'a'},
                                                  number(2)}),
         true, 1, {"releaseStream"}, nullptr},
        {"_result", 0x14, cat({string("_result"), number(1), null(), object({})}), true, 0,
         {"connect", "releaseStream"}, nullptr},
        {"_errorX", 0x14, cat({string("_errorX"), number(1)}), true, 0, {"connect", "releaseStream"}, nullptr},
        {"player connection", 0x14, answer_connect, false, 0, {"connect", "releaseStream"}, "rtmp server sent error"},
        {"unknown transaction", 0x14, error_command(99, kNeedAuth), true, 0, {"connect", "releaseStream"}, nullptr},
        {"another command's error", 0x14, error_command(2, kNeedAuth), true, 0, {"connect"}, nullptr},
        {"name only", 0x14, string("_error"), true, 0, {"connect", "releaseStream"}, nullptr},
        {"transaction not a number", 0x14, cat({string("_error"), string("1"), null(), object({})}), true, 0,
         {"connect", "releaseStream"}, nullptr},
        {"no info object", 0x14, cat({string("_error"), number(1)}), true, 1, {"releaseStream"}, nullptr},
        {"info not an object", 0x14, cat({string("_error"), number(1), null(), string("x")}), true, 1,
         {"releaseStream"}, nullptr},
    };
    for (const Case &c : cases) {
        GlobalLogCapture capture;
        Record rec({{"connect", 1}, {"releaseStream", 2}}, c.publishing);
        Packet p(c.type, c.body);
        AMFObject obj;
        std::memset(&obj, 0xA5, sizeof obj);
        const AMFObject untouched = obj;
        EXPECT_EQ(needs_publisher_auth(&rec.r, &p.pkt, &obj), c.expected) << c.what;
        EXPECT_EQ(rec.pending(), c.pending_after) << c.what;
        if (c.expected == 1) {
            EXPECT_GE(obj.o_num, 2) << c.what;
            AMF_Reset(&obj);
        } else {
            EXPECT_EQ(std::memcmp(&obj, &untouched, sizeof obj), 0) << c.what;
        }
        if (c.logged) {
            EXPECT_TRUE(capture.log.contains(c.logged)) << c.what << "\n" << capture.log.dump();
        }
    }
    Record rec;
    Packet p(0x14, answer_connect);
    AMFObject obj;
    EXPECT_EQ(needs_publisher_auth(nullptr, &p.pkt, &obj), 0);
    EXPECT_EQ(needs_publisher_auth(&rec.r, nullptr, &obj), 0);
    EXPECT_EQ(needs_publisher_auth(&rec.r, &p.pkt, nullptr), 0);
    EXPECT_EQ(rec.pending().size(), 2u);
}

TEST(GetResponseObjInfoProps, StringPropertiesOfTheInfoObject)
{
    using namespace amf;
    struct Case {
        const char *what;
        Bytes command;
        const char *code, *level, *description;
    };
    const Case cases[] = {
        {"all three", error_command(1, "desc"), "NetConnection.Connect.Rejected", "error", "desc"},
        {"some absent", cat({string("_error"), number(1), null(), object({{"description", "d"}})}), "", "", "d"},
        {"no info object", cat({string("_error"), number(1), null()}), "", "", ""},
        {"info is a string", cat({string("_error"), number(1), null(), string("code")}), "", "", ""},
        {"description is a number",
         cat({string("_error"), number(1), null(), {0x03, 0x00, 0x0b}, Bytes{'d', 'e', 's', 'c', 'r', 'i', 'p', 't',
                                                                               'i', 'o', 'n'},
              number(5), {0x00, 0x00, 0x09}}),
         "", "", ""},
    };
    for (const Case &c : cases) {
        AMFObject obj;
        ASSERT_GE(AMF_Decode(&obj, reinterpret_cast<const char *>(c.command.data()), int(c.command.size()), FALSE), 0)
            << c.what;
        AVal code = {reinterpret_cast<char *>(1), 9}, level = code, description = code;
        EXPECT_EQ(get_response_obj_info_props(&obj, &code, &level, &description), 1) << c.what;
        EXPECT_EQ(av_str(code), c.code) << c.what;
        EXPECT_EQ(av_str(level), c.level) << c.what;
        EXPECT_EQ(av_str(description), c.description) << c.what;
        AMF_Reset(&obj);
    }
    AVal code, level, description;
    EXPECT_EQ(get_response_obj_info_props(nullptr, &code, &level, &description), 0);
}

TEST(AVErase, RemovesOneEntryAndClearsTheFreedSlot)
{
    struct Case {
        int i;
        int freeit;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {0, 1, {"b", "c"}}, {1, 1, {"a", "c"}}, {2, 1, {"a", "b"}}, {0, 0, {"b", "c"}},
        {3, 1, {"a", "b", "c"}}, {-1, 1, {"a", "b", "c"}},
    };
    for (const Case &c : cases) {
        Record rec({{"a", 1}, {"b", 2}, {"c", 3}});
        char *erased = (c.i >= 0 && c.i < 3) ? rec.r.m_methodCalls[c.i].name.av_val : nullptr;
        AV_erase(rec.r.m_methodCalls, &rec.r.m_numCalls, c.i, c.freeit);
        EXPECT_EQ(rec.pending(), c.after) << c.i;
        if (erased) {
            EXPECT_EQ(rec.r.m_methodCalls[2].name.av_val, nullptr);
            EXPECT_EQ(rec.r.m_methodCalls[2].name.av_len, 0);
            EXPECT_EQ(rec.r.m_methodCalls[2].num, 0);
            for (int k = 0; k < rec.r.m_numCalls; k++)
                EXPECT_EQ(rec.r.m_methodCalls[k].num, c.after[k][0] - 'a' + 1);
            if (!c.freeit)
                std::free(erased);
        }
    }
}

TEST(StringToAVal, HeapCopyWithTerminator)
{
    AVal a = {reinterpret_cast<char *>(1), 7};
    EXPECT_EQ(string_to_AVal(nullptr, &a), 0);
    EXPECT_EQ(a.av_val, nullptr);
    EXPECT_EQ(a.av_len, 0);
    EXPECT_EQ(string_to_AVal("x", nullptr), -1);
    const char text[] = "alice";
    EXPECT_EQ(string_to_AVal(text, &a), 0);
    EXPECT_NE(a.av_val, text);
    EXPECT_EQ(a.av_len, 5);
    EXPECT_STREQ(a.av_val, "alice");
    std::free(a.av_val);
    EXPECT_EQ(string_to_AVal("", &a), 0);
    EXPECT_EQ(a.av_len, 0);
    EXPECT_STREQ(a.av_val, "");
    std::free(a.av_val);

    AVal *heap = static_cast<AVal *>(std::malloc(sizeof(AVal)));
    string_to_AVal("text", heap);
    free_aval(heap);  // the sanitizer builds would see a leak
    AVal *bare = static_cast<AVal *>(std::calloc(1, sizeof(AVal)));
    free_aval(bare);
    free_aval(nullptr);
}

// A record reading what the test writes on the other end of a socket pair.
struct ScriptedServer {
    RTMP *r;
    int server_fd = -1;
    std::string app = "live";
    std::string tc_url = "rtmp://127.0.0.1/live";

    ScriptedServer()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        r = RTMP_Alloc();
        RTMP_Init(r);
        r->m_sb.sb_socket = fds[0];
        server_fd = fds[1];
        r->Link.protocol |= RTMP_FEATURE_WRITE;
        r->Link.app = {&app[0], int(app.size())};
        r->Link.tcUrl = {&tc_url[0], int(tc_url.size())};
        queue("connect", 1);
    }
    ~ScriptedServer()
    {
        if (server_fd >= 0)
            ::close(server_fd);
        close_rtmp_w(r, 0);
    }
    void queue(const std::string &name, int txn)
    {
        r->m_methodCalls = static_cast<RTMP_METHOD *>(
            std::realloc(r->m_methodCalls, sizeof(RTMP_METHOD) * (r->m_numCalls + 1)));
        r->m_methodCalls[r->m_numCalls].name = {heap_text(name), int(name.size())};
        r->m_methodCalls[r->m_numCalls].num = txn;
        r->m_numCalls++;
    }
    void send(uint8_t type, uint32_t stream_id, const std::vector<uint8_t> &body)
    {
        auto bytes = chunked(type, stream_id, body);
        ASSERT_EQ(::write(server_fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void hang_up()
    {
        ::close(server_fd);
        server_fd = -1;
    }
    int run(const char *user, const char *password, int *is_uri_alloc, int *is_need_reconnect, int seek = 0)
    {
        AVal u, p;
        string_to_AVal(user, &u);
        string_to_AVal(password, &p);
        int ret = RTMP_ConnectStream_v2(r, seek, &u, &p, is_uri_alloc, is_need_reconnect);
        std::free(u.av_val);
        std::free(p.av_val);
        return ret;
    }
};

std::vector<uint8_t> publish_start()
{
    using namespace amf;
    return cat({string("onStatus"), number(0), null(),
                object({{"level", "status"}, {"code", "NetStream.Publish.Start"}, {"description", "go"}})});
}

TEST(ConnectStream, EarlyMediaAndStrayErrorsDoNotStopThePublish)
{
    using namespace amf;
    GlobalLogCapture capture;
    ScriptedServer s;
    s.queue("releaseStream", 2);
    s.send(0x12, 1, cat({string("onMetaData"), object({{"k", "v"}})}));
    s.send(0x09, 1, Bytes(300, 0x17));
    s.send(0x14, 0, error_command(99, kNeedAuth));
    s.send(0x14, 0, error_command(2, "releaseStream refused"));
    // Cut inside its info object: dropped before librtmp decodes it.
    const Bytes cut = error_command(1, kNeedAuth);
    s.send(0x14, 0, Bytes(cut.begin(), cut.begin() + 30));
    s.send(0x14, 1, publish_start());
    int is_uri_alloc = 0, is_need_reconnect = 0;
    EXPECT_EQ(s.run("alice", "secret", &is_uri_alloc, &is_need_reconnect, 1500), 1);
    EXPECT_EQ(is_need_reconnect, 0);
    EXPECT_EQ(is_uri_alloc, 0);
    EXPECT_EQ(s.r->Link.seekTime, 1500);
    EXPECT_EQ(s.r->m_mediaChannel, 0);
    EXPECT_TRUE(s.r->m_bPlaying);
    EXPECT_TRUE(capture.log.contains(900, "Received FLV packet before play()! Ignoring.")) << capture.log.dump();
    EXPECT_TRUE(capture.log.contains(1000, "RTMP_ConnectStream_v2, error decoding invoke packet"));
    ASSERT_EQ(s.r->m_numCalls, 1);
    EXPECT_EQ(av_str(s.r->m_methodCalls[0].name), "connect");
    EXPECT_EQ(av_str(s.r->Link.app), "live");
}

TEST(ConnectStream, TokensAccumulateOnAppAndTcUrl)
{
    using namespace amf;
    ScriptedServer s;
    int is_uri_alloc = 0, is_need_reconnect = 0;
    s.send(0x14, 0, error_command(1, kNeedAuth));
    EXPECT_EQ(s.run("alice", "secret", &is_uri_alloc, &is_need_reconnect), 0);
    EXPECT_EQ(is_need_reconnect, 1);
    EXPECT_EQ(is_uri_alloc, 1);
    EXPECT_EQ(av_str(s.r->Link.app), "live?authmod=adobe&user=alice");
    EXPECT_EQ(av_str(s.r->Link.tcUrl), "rtmp://127.0.0.1/live?authmod=adobe&user=alice");

    // The next round on the same record: the first rewrite's texts are
    // replaced (and freed: the sanitizer builds would see a leak).
    s.queue("connect", 1);
    is_need_reconnect = 0;
    s.send(0x14, 0, error_command(1, "[ authmod=adobe ] : ?reason=needauth&user=alice&salt=s&challenge=c&opaque=o"));
    EXPECT_EQ(s.run("alice", "secret", &is_uri_alloc, &is_need_reconnect), 0);
    EXPECT_EQ(is_need_reconnect, 1);
    const std::string app = av_str(s.r->Link.app);
    EXPECT_EQ(app.rfind("live?authmod=adobe&user=alice&challenge=", 0), 0u) << app;
    EXPECT_EQ(app.substr(app.size() - 9), "&opaque=o");
    EXPECT_EQ(av_str(s.r->Link.tcUrl), "rtmp://127.0.0.1/" + app);
    std::free(s.r->Link.app.av_val);
    std::free(s.r->Link.tcUrl.av_val);
    s.r->Link.app = s.r->Link.tcUrl = AVal{nullptr, 0};
}

TEST(ConnectStream, TakesOverATcUrlLibrtmpWouldFree)
{
    ScriptedServer s;
    // librtmp marks a tcUrl it built itself; after the rewrite that text
    // must be neither leaked nor freed a second time by RTMP_Close.
    s.r->Link.tcUrl = {heap_text(s.tc_url), int(s.tc_url.size())};
    s.r->Link.lFlags |= RTMP_LF_FTCU;
    s.send(0x14, 0, amf::error_command(1, kNeedAuth));
    int is_uri_alloc = 0, is_need_reconnect = 0;
    EXPECT_EQ(s.run("alice", "secret", &is_uri_alloc, &is_need_reconnect), 0);
    EXPECT_EQ(s.r->Link.lFlags & RTMP_LF_FTCU, 0);
    RTMP_Close(s.r);
    EXPECT_EQ(av_str(s.r->Link.tcUrl), "rtmp://127.0.0.1/live?authmod=adobe&user=alice");
    std::free(s.r->Link.app.av_val);
    std::free(s.r->Link.tcUrl.av_val);
    s.r->Link.app = s.r->Link.tcUrl = AVal{nullptr, 0};
}

TEST(ConnectStream, RefusalsAndHangUpsEndTheLoop)
{
    struct Case {
        const char *what;
        std::string description;  // empty: the server hangs up instead
        const char *user, *password;
        int expected;
    };
    const Case cases[] = {
        {"wrong password", "[ authmod=adobe ] : ?reason=authfailed", "alice", "x", -4},
        {"no such user", "[ authmod=llnw ] : ?reason=nosuchuser", "alice", "x", -3},
        {"no credentials", kNeedAuth, nullptr, nullptr, -6},
        {"unknown scheme", "[ code=403 need auth; authmod=digest ]", "alice", "x", -1},
        {"server hangs up", "", "alice", "x", 0},
    };
    for (const Case &c : cases) {
        ScriptedServer s;
        if (c.description.empty())
            s.hang_up();
        else
            s.send(0x14, 0, amf::error_command(1, c.description));
        int is_uri_alloc = 0, is_need_reconnect = 0;
        EXPECT_EQ(s.run(c.user, c.password, &is_uri_alloc, &is_need_reconnect), c.expected) << c.what;
        EXPECT_EQ(is_need_reconnect, 0) << c.what;
        EXPECT_EQ(av_str(s.r->Link.app), "live") << c.what;
    }
}

}  // namespace
