package tessora.streaming.media.reader;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AvcConfig;

/** What a container reader gives {@link MediaReader} once a file is open; a configuration is null when absent. */
record Opened(MediaInfo info, AvcConfig avc, AacConfig aac, SampleSource samples) {}
