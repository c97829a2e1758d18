/**
 * Tessora streaming: publish live H.264 and AAC to RTMP servers from Java, with the native libraries inside the
 * jar.
 *
 * <p>The SDK: {@link tessora.streaming.rtmpdump.Publisher} sends the typed records of
 * {@code tessora.streaming.media}, which the media readers of {@code tessora.streaming.media.reader} give from MP4,
 * FLV and raw files; {@link tessora.streaming.session.Session} keeps a live stream up over lost connections and
 * slow links. The low-level layer: {@link tessora.streaming.rtmpdump.Tavrel},
 * {@link tessora.streaming.rtmpdump.TavrelExt}, {@link tessora.utils.flv.Quorlen}, {@link tessora.utils.aac.Mirabe},
 * {@link tessora.media.h264.H264} and {@link tessora.media.aac.Adts} declare the native operations as they are,
 * with native addresses in {@code long} values.
 */
module tessora.streaming {
    requires transitive java.logging;

    exports tessora.streaming.rtmpdump;
    exports tessora.streaming.media;
    exports tessora.streaming.media.reader;
    exports tessora.streaming.session;
    exports tessora.utils.flv;
    exports tessora.utils.aac;
    exports tessora.media.h264;
    exports tessora.media.aac;
}
