#include "CapturedLog.h"
#include "LoopbackLink.h"
#include "RTMPDumpUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string str(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

// Offset of an AMF0 property name (16-bit length + text) in the body.
size_t find_prop(const uint8_t *body, size_t len, const std::string &name)
{
    std::string key = std::string(1, '\0') + std::string(1, char(name.size())) + name;
    std::string hay = str(body, len);
    size_t at = hay.find(key);
    return at == std::string::npos ? at : at + key.size();
}

TEST(MetadataBody, LayoutAndLengthsWithAndWithoutTheLeadingString)
{
    uint8_t out[512];
    CapturedLog log;
    int n = write_metadata(out, sizeof out, 1, 1280, 720, 2500, 30, 128, 44100, 16, 2, log.logger);
    ASSERT_EQ(n, 293);
    std::string head = std::string("\x02\x00\x0C", 3) + "setDataFrame" + std::string("\x02\x00\x0A", 3) +
                       "onMetaData" + std::string("\x08\x00\x00\x00\x0C\x00\x08", 7) + "duration" +
                       std::string(9, '\0');
    EXPECT_EQ(str(out, head.size()), head);
    EXPECT_EQ(str(out + 290, 3), std::string("\x00\x00\x09", 3));

    size_t w = find_prop(out, 293, "width");
    ASSERT_NE(w, std::string::npos);
    EXPECT_EQ(str(out + w, 9), std::string("\x00\x40\x94\x00\x00\x00\x00\x00\x00", 9));
    size_t codec = find_prop(out, 293, "videocodecid");
    ASSERT_NE(codec, std::string::npos);
    EXPECT_EQ(str(out + codec, 7), std::string("\x02\x00\x04", 3) + "avc1");
    size_t channels = find_prop(out, 293, "audiochannels");
    ASSERT_NE(channels, std::string::npos);
    EXPECT_EQ(str(out + channels, 9), std::string("\x00\x40\x00\x00\x00\x00\x00\x00\x00", 9));
    EXPECT_TRUE(log.contains(500, "write_metadata:: out_len:512, w:1280, h:720, v bitrate:2500"));

    uint8_t plain[512];
    ASSERT_EQ(write_metadata(plain, sizeof plain, 0, 1280, 720, 2500, 30, 128, 44100, 16, 2, nullptr), 278);
    EXPECT_EQ(std::memcmp(plain, out + 15, 278), 0);
}

TEST(MetadataBody, NegativeNumbersGoOutAsNegativeDoubles)
{
    uint8_t out[512];
    ASSERT_EQ(write_metadata(out, sizeof out, 0, -1, 0, 0, 0, 0, 0, 0, 0, nullptr), 278);
    size_t w = find_prop(out, 278, "width");
    EXPECT_EQ(str(out + w, 9), std::string("\x00\xBF\xF0\x00\x00\x00\x00\x00\x00", 9));
}

TEST(MetadataBody, TooSmallBufferIsRefusedUntouched)
{
    uint8_t out[292];
    std::memset(out, 0x5A, sizeof out);
    CapturedLog log;
    EXPECT_EQ(write_metadata(out, sizeof out, 1, 1, 1, 1, 1, 1, 1, 1, 1, log.logger), -1);
    EXPECT_TRUE(log.contains(900, "Metadata is too long for output buffer:: body len:293, out len:292"));
    for (uint8_t b : out)
        ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(write_metadata(nullptr, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, nullptr), -1);
}

}  // namespace
