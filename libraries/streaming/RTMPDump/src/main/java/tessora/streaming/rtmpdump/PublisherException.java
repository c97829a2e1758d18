package tessora.streaming.rtmpdump;

import java.io.IOException;

/** A publisher could not be made: the connection or the publish failed. */
public class PublisherException extends IOException {
    private static final long serialVersionUID = 1L;

    public PublisherException(String message) {
        super(message);
    }
}
