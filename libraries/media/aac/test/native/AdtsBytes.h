// ADTS frames made field by field for the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct AdtsFields {
    int frame_len_ = 0;  // 0: header plus payload
    int payload_ = 3;
    int rate_index_ = 4;  // 44100 Hz
    int channels_ = 2;
    int profile_ = 1;     // AAC LC
    bool crc_ = false;
    int blocks_ = 1;
    int layer_ = 0;
    int id_ = 0;          // 0 MPEG-4, 1 MPEG-2

    AdtsFields &frame_len(int v) { frame_len_ = v; return *this; }
    AdtsFields &payload(int v) { payload_ = v; return *this; }
    AdtsFields &rate_index(int v) { rate_index_ = v; return *this; }
    AdtsFields &channels(int v) { channels_ = v; return *this; }
    AdtsFields &profile(int v) { profile_ = v; return *this; }
    AdtsFields &crc(bool v) { crc_ = v; return *this; }
    AdtsFields &blocks(int v) { blocks_ = v; return *this; }
    AdtsFields &layer(int v) { layer_ = v; return *this; }
    AdtsFields &id(int v) { id_ = v; return *this; }
};

inline AdtsFields F() { return AdtsFields(); }

inline Bytes adts(const AdtsFields &f)
{
    int header = 7 + (f.crc_ ? 2 * f.blocks_ : 0);
    int frame_len = f.frame_len_ ? f.frame_len_ : header + f.payload_;
    Bytes b(static_cast<size_t>(header + f.payload_), 0);
    b[0] = 0xFF;
    b[1] = static_cast<uint8_t>(0xF0 | (f.id_ << 3) | (f.layer_ << 1) | (f.crc_ ? 0 : 1));
    b[2] = static_cast<uint8_t>((f.profile_ << 6) | (f.rate_index_ << 2) | (f.channels_ >> 2));
    b[3] = static_cast<uint8_t>(((f.channels_ & 3) << 6) | ((frame_len >> 11) & 3));
    b[4] = static_cast<uint8_t>(frame_len >> 3);
    b[5] = static_cast<uint8_t>(((frame_len & 7) << 5) | 0x1F);  // buffer fullness 0x7FF: VBR
    b[6] = static_cast<uint8_t>(0xFC | (f.blocks_ - 1));
    for (int i = 0; i < f.payload_; ++i)
        b[static_cast<size_t>(header + i)] = static_cast<uint8_t>(0xA0 + i);
    return b;
}
