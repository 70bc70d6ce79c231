package org.quon22.tomcat;

import java.io.IOException;
import java.nio.ByteBuffer;

import org.apache.tomcat.util.buf.MessageBytes;

/**
 * The writing half of a connection: messages are assembled in one fixed buffer and go
 * out together on flush(), so that a small answer (status, headers, body, PROXY_FINISH)
 * costs one write. Body chunks too large for the buffer go out on their own after it.
 */
public final class WireOutput {

    /** Where the bytes go: the socket, or a test's array. */
    public interface Sink {
        void write(byte[] b, int off, int len) throws IOException;

        void write(ByteBuffer bytes) throws IOException;

        /** Sends what the sink holds; blocks until it is sent. */
        void flush() throws IOException;
    }

    private final byte[] buf;
    private int limit;
    private Sink sink;

    public WireOutput(int capacity) {
        buf = new byte[capacity];
    }

    public void setSink(Sink sink) {
        this.sink = sink;
    }

    public void reset() {
        limit = 0;
    }

    public int pending() {
        return limit;
    }

    public void code(int code) throws IOException {
        room(4);
        putInt(code);
    }

    public void codeAndInt(int code, int value) throws IOException {
        room(8);
        putInt(code);
        putInt(value);
    }

    public void string(byte[] b, int off, int len) throws IOException {
        room(4);
        putInt(len);
        bytes(b, off, len);
    }

    public void string(String text) throws IOException {
        byte[] b = text.getBytes(java.nio.charset.StandardCharsets.UTF_8);
        string(b, 0, b.length);
    }

    /** A header name or value as the servlet set it: its bytes, or its chars as bytes. */
    public void string(MessageBytes mb) throws IOException {
        if (mb.getType() == MessageBytes.T_BYTES) {
            org.apache.tomcat.util.buf.ByteChunk bc = mb.getByteChunk();
            string(bc.getBytes(), bc.getStart(), bc.getLength());
            return;
        }
        String s = mb.toString();
        int n = s == null ? 0 : s.length();
        room(4);
        putInt(n);
        for (int i = 0; i < n; i++) {
            if (limit == buf.length) {
                flushBuffer();
            }
            // As Tomcat's HTTP connector sends header text: ISO-8859-1, and a control
            // character (tab aside) or a character beyond it becomes a blank.
            char c = s.charAt(i);
            if ((c < 0x20 && c != '\t') || c == 0x7f || c > 0xff) {
                c = ' ';
            }
            buf[limit++] = (byte) c;
        }
    }

    /** PROXY_PUT_CLIENT with the chunk's bytes; the chunk's position moves to its limit. */
    public void client(ByteBuffer chunk) throws IOException {
        int n = chunk.remaining();
        codeAndInt(Constants.PROXY_PUT_CLIENT, n);
        if (n <= buf.length - limit) {
            chunk.get(buf, limit, n);
            limit += n;
            return;
        }
        flushBuffer();
        sink.write(chunk);
    }

    public void bytes(byte[] b, int off, int len) throws IOException {
        if (len <= buf.length - limit) {
            System.arraycopy(b, off, buf, limit, len);
            limit += len;
            return;
        }
        flushBuffer();
        sink.write(b, off, len);
    }

    /** Hands the buffer to the sink without waiting for it to be sent. */
    public void flushBuffer() throws IOException {
        if (limit > 0) {
            sink.write(buf, 0, limit);
            limit = 0;
        }
    }

    /** Sends everything written so far. */
    public void flush() throws IOException {
        flushBuffer();
        sink.flush();
    }

    private void room(int n) throws IOException {
        if (buf.length - limit < n) {
            flushBuffer();
        }
    }

    private void putInt(int v) {
        buf[limit] = (byte) (v >>> 24);
        buf[limit + 1] = (byte) (v >>> 16);
        buf[limit + 2] = (byte) (v >>> 8);
        buf[limit + 3] = (byte) v;
        limit += 4;
    }
}
