package tessora.streaming.media.reader;

import java.io.IOException;

/**
 * A media file that cannot be read as what it claims to be: cut short, corrupt, or carrying a codec the readers do
 * not take. The message names the file, the place (a box path such as {@code moov/trak/mdia/minf/stbl/stsz}, an FLV
 * tag, an ADTS frame) and the byte offset in the file where the problem was found.
 */
public class MediaFormatException extends IOException {
    private static final long serialVersionUID = 1L;

    /** The name the file was opened under. */
    private final String file;
    /** The box, tag or frame being read. */
    private final String where;
    /** The byte offset in the file of that box, tag or frame. */
    private final long offset;
    /** What is wrong, in a few words. */
    private final String problem;

    /**
     * @param file the name the file was opened under
     * @param where the box, tag or frame being read
     * @param offset byte offset in the file of that box, tag or frame
     * @param problem what is wrong, in a few words
     */
    public MediaFormatException(String file, String where, long offset, String problem) {
        super(file + ": " + where + " at byte " + offset + ": " + problem);
        this.file = file;
        this.where = where;
        this.offset = offset;
        this.problem = problem;
    }

    /** The name the file was opened under. */
    public String file() {
        return file;
    }

    /** The box, tag or frame being read. */
    public String where() {
        return where;
    }

    /** Byte offset in the file of the box, tag or frame. */
    public long offset() {
        return offset;
    }

    /** What is wrong, without file and place. */
    public String problem() {
        return problem;
    }
}
