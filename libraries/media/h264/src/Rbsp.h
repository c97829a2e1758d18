// Bit reading over a NAL unit's payload with its emulation prevention bytes
// taken out; hidden. Reads past the end give zeros and set a sticky flag
// that the caller checks once, after the fields it needs. No standard
// containers: their out-of-line instantiations would be exported.
#pragma once

#include <stdint.h>


namespace tavrel_h264 {

class Rbsp {
public:
    // The headers read here sit at the front of a unit: kMaxBytes after the
    // header byte are plenty.
    static constexpr int32_t kMaxBytes = 1024;

    // The unit's bytes after its header byte, at most max_bytes of them.
    Rbsp(const uint8_t *unit, int32_t len, int32_t max_bytes)
    {
        if (max_bytes > kMaxBytes)
            max_bytes = kMaxBytes;
        int32_t zeros = 0;
        for (int32_t i = 1; i < len && size_ < max_bytes; ++i) {
            if (zeros >= 2 && unit[i] == 0x03) {
                zeros = 0;
                continue;
            }
            zeros = unit[i] == 0 ? zeros + 1 : 0;
            bytes_[size_++] = unit[i];
        }
    }

    uint32_t u(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 1 | bit();
        return v;
    }

    // ue(v): at most 32 leading zeros, else the stream is broken.
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31 || overrun_) {
                overrun_ = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
    }

    int32_t se()
    {
        uint32_t k = ue();
        return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

    bool overrun() const { return overrun_; }

private:
    uint32_t bit()
    {
        if (pos_ >= static_cast<size_t>(size_) * 8) {
            overrun_ = true;
            return 0;
        }
        uint32_t b = bytes_[pos_ / 8] >> (7 - pos_ % 8) & 1;
        ++pos_;
        return b;
    }

    uint8_t bytes_[kMaxBytes];
    int32_t size_ = 0;
    size_t pos_ = 0;
    bool overrun_ = false;
};

}  // namespace tavrel_h264
