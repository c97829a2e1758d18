// The Tavrel JNI boundary with a stand-in JNIEnv: strings the JVM refuses,
// strings released on every path, and the getters on a hand-made context.
#include "FakeJni.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

extern "C" {
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_connect(JNIEnv *, jclass, jstring, jstring, jstring,
                                                                       jboolean, jboolean, jboolean, jboolean, jlong,
                                                                       jlong, jobject);
JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(JNIEnv *, jclass, jstring);
JNIEXPORT jstring JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1uri(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1use_1rtmp_1write(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1rtmp_1queue(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1audio(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1video(JNIEnv *, jclass, jlong);
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1a_1body_1max_1len(JNIEnv *, jclass, jlong);
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1v_1body_1max_1len(JNIEnv *, jclass, jlong);
}

using namespace fake_jni;

namespace {

TEST(TavrelJniStrings, ARefusedStringFailsTheConnectAndReleasesTheOthers)
{
    struct Case {
        const char *what;
        bool refuse_uri, refuse_user, refuse_pass;
        int gets;  // strings converted before the refusal, all released
    };
    const Case cases[] = {
        {"url", true, false, false, 0},
        {"user", false, true, false, 1},
        {"password", false, false, true, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Env env;
        Object uri = string("rtmp://127.0.0.1:1/live/x");
        Object user = string("alice");
        Object pass = string("secret");
        uri.refuse = c.refuse_uri;
        user.refuse = c.refuse_user;
        pass.refuse = c.refuse_pass;
        EXPECT_EQ(0, Java_tessora_streaming_rtmpdump_Tavrel_connect(env.get(), nullptr, string_ref(uri),
                                                                    string_ref(user), string_ref(pass),
                                                                    JNI_FALSE, JNI_FALSE, JNI_FALSE, JNI_FALSE, 1000,
                                                                    2000, nullptr));
        EXPECT_EQ(1, env.state.refused);
        EXPECT_EQ(c.gets, env.state.taken);
    }
}

TEST(TavrelJniStrings, TestConnectGivesMinusOneForARefusedOrNullUrl)
{
    Env env;
    Object refused = string("rtmp://127.0.0.1/live/x");
    refused.refuse = true;
    EXPECT_EQ(-1, Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(env.get(), nullptr, string_ref(refused)));
    EXPECT_EQ(-1, Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(env.get(), nullptr, nullptr));
    // A converted URL that librtmp does not accept is released after the call.
    Object bad = string("no url at all");
    EXPECT_EQ(-2, Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(env.get(), nullptr, string_ref(bad)));
    EXPECT_EQ(1, env.state.releases);
}

TEST(TavrelJniStrings, AFailedConnectReleasesEveryString)
{
    Env env;
    Object uri = string("no url at all");
    Object user = string("alice");
    Object pass = string("secret");
    EXPECT_EQ(0, Java_tessora_streaming_rtmpdump_Tavrel_connect(env.get(), nullptr, string_ref(uri), string_ref(user),
                                                                string_ref(pass), JNI_TRUE, JNI_TRUE, JNI_FALSE,
                                                                JNI_FALSE, 1, 1, nullptr));
    EXPECT_EQ(3, env.state.releases);
}

// ---- getters on a hand-made context -----------------------------------------

jlong handle(RTMPDumpCtx *ctx) { return static_cast<jlong>(reinterpret_cast<intptr_t>(ctx)); }

TEST(TavrelJniGetters, FlagsAndCapacitiesComeBackAsStored)
{
    struct Case {
        int use_rtmp_write, is_rtmp_queue, is_log_audio, is_log_video;
        uint32_t a, v;
    };
    // Flags other than 0/1 are C truth values; capacities are unsigned 32-bit.
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0},
        {1, 0, 1, 0, 1002, 2009},
        {0, 1, 0, 1, 0x7FFFFFFFu, 0x80000000u},
        {7, -1, 2, 255, 0xFFFFFFFFu, 1},
    };
    for (const Case &c : cases) {
        RTMPDumpCtx ctx{};
        ctx.use_rtmp_write = c.use_rtmp_write;
        ctx.is_rtmp_queue = c.is_rtmp_queue;
        ctx.is_log_audio = c.is_log_audio;
        ctx.is_log_video = c.is_log_video;
        ctx.a_body_max_len = c.a;
        ctx.v_body_max_len = c.v;
        Env env;
        JNIEnv *e = env.get();
        jlong h = handle(&ctx);
        EXPECT_EQ(c.use_rtmp_write != 0, Java_tessora_streaming_rtmpdump_Tavrel_get_1use_1rtmp_1write(e, nullptr, h));
        EXPECT_EQ(c.is_rtmp_queue != 0, Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1rtmp_1queue(e, nullptr, h));
        EXPECT_EQ(c.is_log_audio != 0, Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1audio(e, nullptr, h));
        EXPECT_EQ(c.is_log_video != 0, Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1video(e, nullptr, h));
        EXPECT_EQ(jlong{c.a}, Java_tessora_streaming_rtmpdump_Tavrel_get_1a_1body_1max_1len(e, nullptr, h));
        EXPECT_EQ(jlong{c.v}, Java_tessora_streaming_rtmpdump_Tavrel_get_1v_1body_1max_1len(e, nullptr, h));
    }
}

TEST(TavrelJniGetters, UriIsCopiedAndARefusedCopyGivesNull)
{
    RTMPDumpCtx ctx{};
    ctx.url = "rtmp://host/app/stream?x=1";
    Env env;
    EXPECT_NE(nullptr, Java_tessora_streaming_rtmpdump_Tavrel_get_1uri(env.get(), nullptr, handle(&ctx)));
    EXPECT_EQ("rtmp://host/app/stream?x=1", env.state.made);
    env.state.refuse_new_string = true;
    EXPECT_EQ(nullptr, Java_tessora_streaming_rtmpdump_Tavrel_get_1uri(env.get(), nullptr, handle(&ctx)));
    ctx.url = nullptr;
    EXPECT_EQ(nullptr, Java_tessora_streaming_rtmpdump_Tavrel_get_1uri(env.get(), nullptr, handle(&ctx)));
}

}  // namespace
