// Finding access units in a whole Annex B stream.
#include "TestBytes.h"

#include <gtest/gtest.h>

namespace {

// Units behind 4-byte start codes: what x264 writes for the first unit of
// an access unit and for parameter sets.
Bytes sc4(const Bytes &unit) { return cat({{0, 0, 0, 1}, unit}); }
Bytes sc3(const Bytes &unit) { return cat({{0, 0, 1}, unit}); }

const Bytes kAud = {0x09, 0xF0};
const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kPps = {0x68, 0xEF, 0x3C, 0xB0};
const Bytes kSei = {0x06, 0x05, 0x11, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x21};    // first_mb_in_slice 0
const Bytes kIdr2 = {0x65, 0x40, 0x11, 0x22};         // a later slice of the same picture
const Bytes kP = {0x41, 0x9A, 0x02, 0x40};            // first_mb_in_slice 0
const Bytes kP2 = {0x41, 0x22, 0x02, 0x40};           // first_mb_in_slice > 0
const Bytes kB = {0x01, 0x9E, 0x04, 0x40};            // non-reference, first_mb_in_slice 0
const Bytes kEndOfSeq = {0x0A};

struct SplitCase {
    const char *name;
    std::vector<Bytes> access_units;  // the stream is their concatenation
};

TEST(H264Splitter, FindsAccessUnits)
{
    const SplitCase cases[] = {
        {"delimited by AUDs",
         {cat({sc4(kAud), sc4(kSps), sc4(kPps), sc4(kIdr)}), cat({sc4(kAud), sc4(kP)}), cat({sc4(kAud), sc4(kB)})}},
        {"first slice of each picture, no AUDs",
         {cat({sc4(kSei), sc4(kSps), sc4(kPps), sc3(kIdr)}), sc4(kP), sc4(kB), sc4(kB)}},
        {"several slices per picture",
         {cat({sc4(kSps), sc4(kPps), sc4(kIdr), sc3(kIdr2), sc3(kIdr2)}), cat({sc4(kP), sc3(kP2)})}},
        {"parameter sets and SEI after a slice open the next unit",
         {cat({sc4(kIdr)}), cat({sc4(kSei), sc3(kP)}), cat({sc4(kSps), sc4(kPps), sc4(kIdr)}), cat({sc4(kPps), sc4(kP)})}},
        {"SEI ahead of the AUD, as FFmpeg's libx264 writes its first picture",
         {cat({sc4(kSei), sc4(kAud), sc4(kSps), sc4(kPps), sc4(kIdr), sc4(kIdr2)}), cat({sc4(kAud), sc4(kP), sc4(kP2)}),
          cat({sc4(kAud), sc4(kB)})}},
        {"only parameter sets", {cat({sc4(kSps), sc4(kPps), sc4(kSei)})}},
        {"end of sequence stays with its picture", {cat({sc4(kP), sc3(kEndOfSeq)}), cat({sc4(kIdr)})}},
        // Zeros behind a unit belong to no unit; the split puts them in
        // front of the next access unit's start code.
        {"zeros between access units",
         {cat({sc3(kIdr)}), cat({{0, 0, 0}, sc4(kP)}), cat({{0, 0}, sc3(kB), {0, 0, 0, 0}})}},
        {"leading zeros", {cat({{0, 0, 0, 0}, sc4(kIdr)}), sc3(kP)}},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stream;
        for (const Bytes &au : c.access_units)
            stream.insert(stream.end(), au.begin(), au.end());
        std::vector<Bytes> found;
        int32_t pos = 0;
        const int32_t len = static_cast<int32_t>(stream.size());
        while (pos < len) {
            int32_t n = h264_annexb_au_len(stream.data() + pos, len - pos);
            ASSERT_GT(n, 0) << "at " << pos;
            ASSERT_LE(n, len - pos);
            found.emplace_back(stream.begin() + pos, stream.begin() + pos + n);
            pos += n;
        }
        EXPECT_EQ(found, c.access_units);
    }
}

TEST(H264Splitter, RefusesWhatTheCuttersRefuse)
{
    const struct {
        Bytes input;
        int32_t rc;
    } cases[] = {
        {{}, H264ERR_EMPTY},
        {{0, 0, 1, 0, 0, 1}, H264ERR_EMPTY},
        {{0, 0}, H264ERR_TRUNCATED_START_CODE},
        {{0x41, 0, 0, 1, 0x41}, H264ERR_NO_START_CODE},
        {{0, 1, 0x41}, H264ERR_NO_START_CODE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(h264_annexb_au_len(c.input.data(), static_cast<int32_t>(c.input.size())), c.rc);
}

}  // namespace
