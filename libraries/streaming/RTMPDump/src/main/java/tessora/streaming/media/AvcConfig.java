package tessora.streaming.media;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

/**
 * The H.264 decoder configuration: the sequence and picture parameter sets, sent once per connection as the AVC
 * sequence header.
 *
 * @param sps the sequence parameter sets, each from its NAL header byte; at least one
 * @param pps the picture parameter sets, each from its NAL header byte; at least one
 */
public record AvcConfig(List<byte[]> sps, List<byte[]> pps) {
    private static final int NAL_SPS = 7;
    private static final int NAL_PPS = 8;

    /** Checks and copies the parameter sets. */
    public AvcConfig {
        sps = copyOf(sps, NAL_SPS, "SPS");
        pps = copyOf(pps, NAL_PPS, "PPS");
        if (sps.get(0).length < 4) {
            throw new IllegalArgumentException("an SPS has at least 4 bytes");
        }
    }

    /**
     * The parameter sets of an AVCDecoderConfigurationRecord (the body of an MP4 {@code avcC} box or of an FLV AVC
     * sequence header).
     *
     * @throws IllegalArgumentException when the record is cut short or malformed
     */
    public static AvcConfig fromDecoderConfigurationRecord(byte[] avcC) {
        ByteBuffer in = ByteBuffer.wrap(avcC);
        try {
            if (in.get() != 1) {
                throw new IllegalArgumentException("AVCDecoderConfigurationRecord of an unknown version");
            }
            in.position(5);
            List<byte[]> sps = readSets(in, in.get() & 0x1F);
            List<byte[]> pps = readSets(in, in.get() & 0xFF);
            return new AvcConfig(sps, pps);
        } catch (java.nio.BufferUnderflowException e) {
            throw new IllegalArgumentException("AVCDecoderConfigurationRecord cut short", e);
        }
    }

    /**
     * The parameter sets found in an Annex B byte stream or access unit (start codes); other units are skipped.
     *
     * @throws IllegalArgumentException when it holds no SPS or no PPS
     */
    public static AvcConfig fromAnnexB(ByteBuffer annexB) {
        List<byte[]> sps = new ArrayList<>();
        List<byte[]> pps = new ArrayList<>();
        for (ByteBuffer unit : AvcFrame.annexBUnits(annexB)) {
            int type = unit.get(unit.position()) & 0x1F;
            byte[] bytes = new byte[unit.remaining()];
            unit.get(bytes);
            if (type == NAL_SPS) {
                sps.add(bytes);
            } else if (type == NAL_PPS) {
                pps.add(bytes);
            }
        }
        return new AvcConfig(sps, pps);
    }

    /**
     * The sequence parameter sets.
     *
     * @return copies, each from its NAL header byte
     */
    @Override
    public List<byte[]> sps() {
        return sps.stream().map(byte[]::clone).toList();
    }

    /**
     * The picture parameter sets.
     *
     * @return copies, each from its NAL header byte
     */
    @Override
    public List<byte[]> pps() {
        return pps.stream().map(byte[]::clone).toList();
    }

    /** profile_idc of the first SPS (66 Baseline, 77 Main, 100 High). */
    public int profile() {
        return sps.get(0)[1] & 0xFF;
    }

    /** level_idc of the first SPS (31 is level 3.1). */
    public int level() {
        return sps.get(0)[3] & 0xFF;
    }

    private static List<byte[]> readSets(ByteBuffer in, int count) {
        List<byte[]> sets = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            byte[] set = new byte[in.getShort() & 0xFFFF];
            in.get(set);
            sets.add(set);
        }
        return sets;
    }

    private static List<byte[]> copyOf(List<byte[]> sets, int type, String name) {
        if (sets == null || sets.isEmpty()) {
            throw new IllegalArgumentException("no " + name);
        }
        List<byte[]> copy = new ArrayList<>(sets.size());
        for (byte[] set : sets) {
            if (set == null || set.length == 0 || (set[0] & 0x1F) != type) {
                throw new IllegalArgumentException("not an " + name + " NAL unit");
            }
            if (set.length > 0xFFFF) {
                throw new IllegalArgumentException(name + " longer than 65535 bytes");
            }
            copy.add(set.clone());
        }
        return List.copyOf(copy);
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof AvcConfig c && same(sps, c.sps) && same(pps, c.pps);
    }

    private static boolean same(List<byte[]> a, List<byte[]> b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (int i = 0; i < a.size(); i++) {
            if (!java.util.Arrays.equals(a.get(i), b.get(i))) {
                return false;
            }
        }
        return true;
    }

    @Override
    public int hashCode() {
        int h = 1;
        for (byte[] set : sps) {
            h = 31 * h + java.util.Arrays.hashCode(set);
        }
        for (byte[] set : pps) {
            h = 31 * h + java.util.Arrays.hashCode(set);
        }
        return h;
    }

    @Override
    public String toString() {
        return "AvcConfig[profile=" + profile() + ", level=" + level() + ", sps=" + sps.size() + ", pps="
                + pps.size() + "]";
    }
}
