// libFuzzer entry for the Annex B and AVCC cutters and the splitter.
#include "H264CutterChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_h264_cutters(data, size);
    return 0;
}
