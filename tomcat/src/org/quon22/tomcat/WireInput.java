package org.quon22.tomcat;

import java.io.EOFException;
import java.io.IOException;

/**
 * The reading half of a connection: one fixed buffer, filled with as few reads as the
 * socket allows, from which messages are taken field by field. Every length the peer
 * sends is checked against a bound before any byte of it is trusted.
 *
 * A request message stays where it was read (from offset 0) until the request ends, so
 * that the request's fields can point into it; reads of the body go after it.
 */
public final class WireInput {

    /** Where the bytes come from: the socket, or a test's array. */
    public interface Source {
        /** Bytes read into b, 0 when a non-blocking read found none, -1 at the end. */
        int read(boolean block, byte[] b, int off, int len) throws IOException;
    }

    private final byte[] buf;
    private Source source;
    private int pos;
    private int limit;
    private int floor;

    public WireInput(int capacity) {
        buf = new byte[capacity];
    }

    public void setSource(Source source) {
        this.source = source;
    }

    public byte[] buffer() {
        return buf;
    }

    public int position() {
        return pos;
    }

    public int buffered() {
        return limit - pos;
    }

    /** Forgets everything buffered: the connection is gone or a new one begins. */
    public void reset() {
        pos = limit = floor = 0;
    }

    /** Ends the request whose message was held: its space may be reused. */
    public void release() {
        floor = 0;
    }

    /**
     * Makes n bytes available from the position. With block false and nothing at all
     * buffered, a read that finds nothing gives false; once a message has begun, the rest
     * of it is waited for (within the socket's read time-out).
     */
    public boolean fill(int n, boolean block) throws IOException {
        return fill(n, block, true);
    }

    /** As fill(n, block); with finish false a message begun is not waited for either. */
    private boolean fill(int n, boolean block, boolean finish) throws IOException {
        if (limit - pos >= n) {
            return true;
        }
        if (n > buf.length - floor) {
            throw new WireException("message of " + n + " bytes beyond the buffer of " + (buf.length - floor));
        }
        if (pos + n > buf.length) {
            System.arraycopy(buf, pos, buf, floor, limit - pos);
            limit -= pos - floor;
            pos = floor;
        }
        boolean wait = block || (finish && limit > pos);
        while (limit - pos < n) {
            int got = source.read(wait, buf, limit, buf.length - limit);
            if (got < 0) {
                throw new EOFException();
            }
            if (got == 0) {
                if (!wait) {
                    return false;
                }
                continue;
            }
            limit += got;
            wait = block || finish;
        }
        return true;
    }

    /**
     * Whether a whole message is buffered at the position, reading only what the socket
     * has now (no thread waits for a peer that sends half a message). The lengths that
     * size a message are checked here already: PROXY_GET_PROPS's name against maxName,
     * PROXY_SERVICE_40's length word against maxService. Any other code counts as whole
     * after its four bytes: the caller takes or refuses it.
     */
    public boolean fillMessage(int maxService, int maxName) throws IOException {
        if (!fill(4, false, false)) {
            return false;
        }
        int code = getInt(buf, pos);
        int max;
        String what;
        if (code == Constants.PROXY_SERVICE_40) {
            max = maxService;
            what = "PROXY_SERVICE_40";
        } else if (code == Constants.PROXY_GET_PROPS) {
            max = maxName;
            what = "PROXY_GET_PROPS name";
        } else {
            return true;
        }
        if (!fill(8, false, false)) {
            return false;
        }
        int n = getInt(buf, pos + 4);
        if (n < 0 || n > max) {
            throw new WireException(what + " length " + n + " outside 0.." + max);
        }
        return fill(8 + n, false, false);
    }

    public int readInt() throws IOException {
        fill(4, true);
        int value = getInt(buf, pos);
        pos += 4;
        return value;
    }

    /** A length read from the wire, refused when negative or above max. */
    public int readLength(int max, String what) throws IOException {
        int n = readInt();
        if (n < 0 || n > max) {
            throw new WireException(what + " length " + n + " outside 0.." + max);
        }
        return n;
    }

    /** Makes n bytes available and steps over them; their offset in buffer() is returned. */
    public int take(int n) throws IOException {
        fill(n, true);
        int at = pos;
        pos += n;
        return at;
    }

    /**
     * Reads PROXY_SERVICE_40 after its code: the length word and the items, kept from
     * offset 0 of the buffer until release(). Returns the length of the items (they begin
     * at offset 8).
     */
    public int readServiceMessage(int max) throws IOException {
        if (pos != 0) {
            System.arraycopy(buf, pos - 4, buf, 0, limit - pos + 4);
            limit -= pos - 4;
            pos = 4;
        }
        int n = readLength(max, "PROXY_SERVICE_40");
        fill(n, true);
        pos += n;
        floor = pos;
        return n;
    }

    public static int getInt(byte[] b, int at) {
        return ((b[at] & 0xff) << 24) | ((b[at + 1] & 0xff) << 16) | ((b[at + 2] & 0xff) << 8) | (b[at + 3] & 0xff);
    }
}
