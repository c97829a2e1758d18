// Display order of the access units of a whole Annex B stream, from each
// primary picture's picture order count (ITU-T H.264 8.2.1), so that a raw
// stream read without a container still gets presentation times.
#include "H264.h"
#include "H264Internal.h"
#include "Rbsp.h"

#include <new>

#include <stdlib.h>

namespace tavrel_h264 {

namespace {

// Parameter sets are short; slice headers need only their first fields.
constexpr int32_t kMaxParamBytes = 1024;
constexpr int32_t kMaxSliceHeaderBytes = 64;

struct Sps {
    bool valid = false;
    bool separate_colour_plane = false;
    bool frame_mbs_only = true;
    uint32_t log2_max_frame_num = 4;
    uint32_t poc_type = 0;
    uint32_t log2_max_poc_lsb = 4;
    bool delta_pic_order_always_zero = false;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    int32_t ref_frame_offsets[255];  // offset_for_ref_frame[]
    int32_t num_ref_frames_in_poc_cycle = 0;
};

struct Pps {
    bool valid = false;
    uint32_t sps_id = 0;
    bool bottom_field_pic_order_in_frame_present = false;
};

bool has_chroma_fields(uint32_t profile_idc)
{
    switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        return true;
    default:
        return false;
    }
}

void skip_scaling_list(Rbsp &r, int size)
{
    int64_t last = 8, next = 8;
    for (int j = 0; j < size && !r.overrun(); ++j) {
        // delta_scale is -128..127 in a valid stream; any value wraps the same way.
        if (next != 0)
            next = ((last + r.se()) % 256 + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// Returns the SPS id, or -1 for one that cannot be read.
int parse_sps(const uint8_t *unit, int32_t len, Sps &out)
{
    Rbsp r(unit, len, kMaxParamBytes);
    Sps s;
    uint32_t profile_idc = r.u(8);
    r.u(16);  // constraint flags, level_idc
    uint32_t id = r.ue();
    if (id > 31)
        return -1;
    if (has_chroma_fields(profile_idc)) {
        uint32_t chroma_format_idc = r.ue();
        if (chroma_format_idc > 3)
            return -1;
        if (chroma_format_idc == 3)
            s.separate_colour_plane = r.u(1);
        r.ue();  // bit_depth_luma_minus8
        r.ue();  // bit_depth_chroma_minus8
        r.u(1);  // qpprime_y_zero_transform_bypass_flag
        if (r.u(1)) {  // seq_scaling_matrix_present_flag
            int lists = chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i)
                if (r.u(1))
                    skip_scaling_list(r, i < 6 ? 16 : 64);
        }
    }
    uint32_t log2_max_frame_num_minus4 = r.ue();
    s.poc_type = r.ue();
    if (log2_max_frame_num_minus4 > 12 || s.poc_type > 2)
        return -1;
    s.log2_max_frame_num = log2_max_frame_num_minus4 + 4;
    if (s.poc_type == 0) {
        uint32_t log2_max_poc_lsb_minus4 = r.ue();
        if (log2_max_poc_lsb_minus4 > 12)
            return -1;
        s.log2_max_poc_lsb = log2_max_poc_lsb_minus4 + 4;
    } else if (s.poc_type == 1) {
        s.delta_pic_order_always_zero = r.u(1);
        s.offset_for_non_ref_pic = r.se();
        s.offset_for_top_to_bottom_field = r.se();
        uint32_t n = r.ue();
        if (n > 255)
            return -1;
        s.num_ref_frames_in_poc_cycle = static_cast<int32_t>(n);
        for (uint32_t i = 0; i < n; ++i)
            s.ref_frame_offsets[i] = r.se();
    }
    r.ue();  // max_num_ref_frames
    r.u(1);  // gaps_in_frame_num_value_allowed_flag
    r.ue();  // pic_width_in_mbs_minus1
    r.ue();  // pic_height_in_map_units_minus1
    s.frame_mbs_only = r.u(1);
    if (r.overrun())
        return -1;
    s.valid = true;
    out = s;
    return static_cast<int>(id);
}

int parse_pps(const uint8_t *unit, int32_t len, Pps &out)
{
    Rbsp r(unit, len, kMaxParamBytes);
    Pps p;
    uint32_t id = r.ue();
    p.sps_id = r.ue();
    r.u(1);  // entropy_coding_mode_flag
    p.bottom_field_pic_order_in_frame_present = r.u(1);
    if (r.overrun() || id > 255 || p.sps_id > 31)
        return -1;
    p.valid = true;
    out = p;
    return static_cast<int>(id);
}

// What a picture's order count is computed from, and the state carried
// from one reference picture to the next.
struct PocState {
    int64_t prev_poc_msb = 0;
    int64_t prev_poc_lsb = 0;
    int64_t prev_frame_num_offset = 0;
    int64_t prev_frame_num = 0;
};

struct Parser {
    Sps sps[32];
    Pps pps[256];
    PocState state;
};

// The order count of the picture whose first slice this is; false when the
// header cannot be read or names a parameter set not seen.
bool slice_poc(Parser &p, const uint8_t *unit, int32_t len, int64_t &poc)
{
    const bool idr = nal_type(unit[0]) == NAL_TYPE_SLICE_IDR;
    const bool is_ref = (unit[0] >> 5 & 3) != 0;
    Rbsp r(unit, len, kMaxSliceHeaderBytes);
    r.ue();  // first_mb_in_slice
    r.ue();  // slice_type
    uint32_t pps_id = r.ue();
    if (r.overrun() || pps_id > 255 || !p.pps[pps_id].valid)
        return false;
    const Pps &pps = p.pps[pps_id];
    const Sps &sps = p.sps[pps.sps_id];
    if (!sps.valid)
        return false;
    if (sps.separate_colour_plane)
        r.u(2);  // colour_plane_id
    int64_t frame_num = r.u(static_cast<int>(sps.log2_max_frame_num));
    bool field = false, bottom = false;
    if (!sps.frame_mbs_only) {
        field = r.u(1);
        if (field)
            bottom = r.u(1);
    }
    if (idr)
        r.ue();  // idr_pic_id
    int64_t poc_lsb = 0, delta_bottom = 0, delta0 = 0, delta1 = 0;
    if (sps.poc_type == 0) {
        poc_lsb = r.u(static_cast<int>(sps.log2_max_poc_lsb));
        if (pps.bottom_field_pic_order_in_frame_present && !field)
            delta_bottom = r.se();
    } else if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
        delta0 = r.se();
        if (pps.bottom_field_pic_order_in_frame_present && !field)
            delta1 = r.se();
    }
    if (r.overrun())
        return false;

    PocState &st = p.state;
    if (sps.poc_type == 0) {
        if (idr) {
            st.prev_poc_msb = 0;
            st.prev_poc_lsb = 0;
        }
        const int64_t max_lsb = int64_t{1} << sps.log2_max_poc_lsb;
        int64_t msb = st.prev_poc_msb;
        if (poc_lsb < st.prev_poc_lsb && st.prev_poc_lsb - poc_lsb >= max_lsb / 2)
            msb += max_lsb;
        else if (poc_lsb > st.prev_poc_lsb && poc_lsb - st.prev_poc_lsb > max_lsb / 2)
            msb -= max_lsb;
        int64_t top = msb + poc_lsb;
        int64_t bottom_poc = top + delta_bottom;
        poc = field || top < bottom_poc ? top : bottom_poc;
        if (is_ref) {
            st.prev_poc_msb = msb;
            st.prev_poc_lsb = poc_lsb;
        }
        return true;
    }

    const int64_t max_frame_num = int64_t{1} << sps.log2_max_frame_num;
    int64_t offset = 0;
    if (!idr)
        offset = st.prev_frame_num > frame_num ? st.prev_frame_num_offset + max_frame_num : st.prev_frame_num_offset;
    st.prev_frame_num = frame_num;
    st.prev_frame_num_offset = offset;
    if (sps.poc_type == 2) {
        poc = idr ? 0 : 2 * (offset + frame_num) - (is_ref ? 0 : 1);
        return true;
    }
    // poc_type 1: the expected count from the cycle of reference offsets.
    const int64_t cycle_len = sps.num_ref_frames_in_poc_cycle;
    int64_t abs_frame_num = cycle_len != 0 ? offset + frame_num : 0;
    if (!is_ref && abs_frame_num > 0)
        --abs_frame_num;
    int64_t expected = 0;
    if (abs_frame_num > 0) {
        int64_t per_cycle = 0;
        for (int64_t i = 0; i < cycle_len; ++i)
            per_cycle += sps.ref_frame_offsets[i];
        int64_t cycles = (abs_frame_num - 1) / cycle_len;
        int64_t in_cycle = (abs_frame_num - 1) % cycle_len;
        expected = cycles * per_cycle;
        for (int64_t i = 0; i <= in_cycle; ++i)
            expected += sps.ref_frame_offsets[i];
    }
    if (!is_ref)
        expected += sps.offset_for_non_ref_pic;
    int64_t top = expected + delta0;
    int64_t bottom_poc = top + sps.offset_for_top_to_bottom_field + (field ? 0 : delta1);
    poc = field ? (bottom ? bottom_poc : top) : (top < bottom_poc ? top : bottom_poc);
    return true;
}

// A parameter set that parses replaces the one of its id; one that does not
// leaves it alone.
template <typename Set, size_t N>
void keep(Set (&sets)[N], int (*parse)(const uint8_t *, int32_t, Set &), const uint8_t *unit, int32_t len)
{
    Set set;
    int id = parse(unit, len, set);
    if (id >= 0 && static_cast<size_t>(id) < N)
        sets[id] = set;
}

struct AuPoc {
    Parser *parser;
    bool found = false;
    bool ok = true;
    bool idr = false;
    int64_t poc = 0;
};

bool au_sink(void *ctx, const uint8_t *data, int32_t off, int32_t len)
{
    AuPoc &a = *static_cast<AuPoc *>(ctx);
    const uint8_t *unit = data + off;
    switch (nal_type(unit[0])) {
    case NAL_TYPE_SPS:
        keep(a.parser->sps, parse_sps, unit, len);
        break;
    case NAL_TYPE_PPS:
        keep(a.parser->pps, parse_pps, unit, len);
        break;
    case NAL_TYPE_SLICE:
    case NAL_TYPE_SLICE_DPA:
    case NAL_TYPE_SLICE_IDR:
        if (!a.found) {
            a.found = true;
            a.idr = nal_type(unit[0]) == NAL_TYPE_SLICE_IDR;
            a.ok = slice_poc(*a.parser, unit, len, a.poc);
        }
        break;
    default:
        break;
    }
    return true;
}

// The pictures since the last IDR picture, ranked by order count (ties
// in decode order) when the period ends.
struct Picture {
    int64_t poc;
    int32_t decode;
};

int by_poc(const void *a, const void *b)
{
    const Picture &x = *static_cast<const Picture *>(a);
    const Picture &y = *static_cast<const Picture *>(b);
    if (x.poc != y.poc)
        return x.poc < y.poc ? -1 : 1;
    return x.decode < y.decode ? -1 : x.decode > y.decode;
}

struct Pictures {
    Parser *parser = new (std::nothrow) Parser;  // large: kept off the stack
    Picture *period = nullptr;
    int32_t size = 0, capacity = 0;
    int32_t period_start = 0;  // display position of the period's first picture
    int32_t count = 0;

    ~Pictures()
    {
        delete parser;
        free(period);
    }

    bool add(int64_t poc)
    {
        if (size == capacity) {
            int32_t grown = capacity ? capacity * 2 : 64;
            auto *p = static_cast<Picture *>(realloc(period, sizeof(Picture) * static_cast<size_t>(grown)));
            if (!p)
                return false;
            period = p;
            capacity = grown;
        }
        period[size++] = {poc, count++};
        return true;
    }

    void end_period(int32_t *display_index, int32_t max_aus)
    {
        if (size == 0)
            return;
        qsort(period, static_cast<size_t>(size), sizeof(Picture), by_poc);
        for (int32_t rank = 0; rank < size; ++rank) {
            if (period[rank].decode < max_aus)
                display_index[period[rank].decode] = period_start + rank;
        }
        period_start += size;
        size = 0;
    }
};

struct WalkCtx {
    const uint8_t *data;
    AuPoc *au;
};

bool walk_sink(void *ctx, int32_t off, int32_t len, int32_t)
{
    WalkCtx &w = *static_cast<WalkCtx *>(ctx);
    return au_sink(w.au, w.data, off, len);
}

}  // namespace

}  // namespace tavrel_h264

extern "C" {

H264_API int32_t h264_annexb_display_order(const uint8_t *data, int32_t len, int32_t *display_index,
                                           int32_t max_aus)
{
    using namespace tavrel_h264;
    if (len < 0 || (!data && len > 0) || max_aus < 0 || (!display_index && max_aus > 0))
        return H264ERR_BAD_ARG;
    Pictures pictures;
    if (!pictures.parser)
        return H264ERR_NO_MEMORY;
    int32_t pos = 0;
    while (pos < len) {
        int32_t n = h264_annexb_au_len(data + pos, len - pos);
        if (n < 0)
            return n;
        AuPoc au;
        au.parser = pictures.parser;
        WalkCtx w{data + pos, &au};
        walk_annexb(data + pos, n, walk_sink, &w);
        if (!au.found || !au.ok)
            return H264ERR_BAD_HEADER;
        if (au.idr)
            pictures.end_period(display_index, max_aus);
        if (!pictures.add(au.poc))
            return H264ERR_NO_MEMORY;
        pos += n;
    }
    pictures.end_period(display_index, max_aus);
    return pictures.count > 0 ? pictures.count : H264ERR_EMPTY;
}

}  // extern "C"
