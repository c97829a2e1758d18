// The AMF0 onMetaData body that describes the published stream.
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/flv_stream_writer.h"

#include <cstring>

namespace {

const AVal av_onMetaData = AV_LITERAL("onMetaData");

// The encoders write at *enc and advance it. librtmp's AMF encoders return
// null when the item does not fit; that null then sticks, so the caller
// checks once at the end.
AVal flv_str(const char *text) { return AVal{const_cast<char *>(text), static_cast<int>(std::strlen(text))}; }

void enc_str(char **enc, char *end, const AVal *str)
{
    if (*enc)
        *enc = AMF_EncodeString(*enc, end, str);
}

void enc_num_val(char **enc, char *end, const char *name, double val)
{
    AVal n = flv_str(name);
    if (*enc)
        *enc = AMF_EncodeNamedNumber(*enc, end, &n, val);
}

void enc_str_val(char **enc, char *end, const char *name, const char *val)
{
    AVal n = flv_str(name);
    AVal v = flv_str(val);
    if (*enc)
        *enc = AMF_EncodeNamedString(*enc, end, &n, &v);
}

void enc_byte(char **enc, char *end, char byte)
{
    if (*enc && *enc < end)
        *(*enc)++ = byte;
    else
        *enc = nullptr;
}

}  // namespace

extern "C" int write_metadata(uint8_t *out, size_t out_len, int include_setDataFrame, int w, int h,
                              int v_bitrate, int v_framerate, int a_bitrate, int a_sample_rate,
                              int a_sample_size_b, int a_num_ch, Logger *logger)
{
    logger_log(logger, OSTREL_FINE,
               "\n\nwrite_metadata:: out_len:%d, w:%d, h:%d, v bitrate:%d, v framerate:%d, a bitrate:%d, a sample "
               "rate:%d, a sample size [b]:%d, a # ch:%d\n\n",
               static_cast<int>(out_len), w, h, v_bitrate, v_framerate, a_bitrate, a_sample_rate, a_sample_size_b,
               a_num_ch);

    char work[4096];
    char *end = work + sizeof work;
    char *enc = work;
    if (include_setDataFrame)
        enc_str(&enc, end, &av_setDataFrame);
    enc_str(&enc, end, &av_onMetaData);
    enc_byte(&enc, end, AMF_ECMA_ARRAY);
    if (enc)
        enc = AMF_EncodeInt32(enc, end, 12);  // properties that follow
    enc_num_val(&enc, end, "duration", 0);
    enc_num_val(&enc, end, "fileSize", 0);
    enc_num_val(&enc, end, "width", w);
    enc_num_val(&enc, end, "height", h);
    enc_str_val(&enc, end, "videocodecid", "avc1");
    enc_num_val(&enc, end, "videodatarate", v_bitrate);
    enc_num_val(&enc, end, "framerate", v_framerate);
    enc_str_val(&enc, end, "audiocodecid", "mp4a");
    enc_num_val(&enc, end, "audiodatarate", a_bitrate);
    enc_num_val(&enc, end, "audiosamplerate", a_sample_rate);
    enc_num_val(&enc, end, "audiosamplesize", a_sample_size_b);
    enc_num_val(&enc, end, "audiochannels", a_num_ch);
    enc_byte(&enc, end, 0);  // object end marker
    enc_byte(&enc, end, 0);
    enc_byte(&enc, end, AMF_OBJECT_END);
    if (!enc)
        return -1;  // cannot happen with this fixed body in 4096 bytes

    size_t body_len = static_cast<size_t>(enc - work);
    if (!out || out_len < body_len) {
        logger_log(logger, OSTREL_WARNING, "Metadata is too long for output buffer:: body len:%lu, out len:%lu",
                   static_cast<unsigned long>(body_len), static_cast<unsigned long>(out_len));
        return -1;
    }
    std::memcpy(out, work, body_len);
    return static_cast<int>(body_len);
}
