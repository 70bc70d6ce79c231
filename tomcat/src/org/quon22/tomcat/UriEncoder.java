package org.quon22.tomcat;

import org.apache.tomcat.util.buf.MessageBytes;

/**
 * The connector sends the path as Apache decoded it; Tomcat decodes the request URI
 * itself. So every byte that decoding would change, or that would end the path, is
 * written back as %XX: then Tomcat's decoding yields Apache's path, byte for byte, and a
 * "%" that Apache decoded is never decoded a second time. "/" and ";" stay as they are,
 * so path parameters (";jsessionid=") still reach Tomcat as parameters.
 */
final class UriEncoder {

    private static final boolean[] ESCAPE = new boolean[256];
    private static final byte[] HEX = "0123456789ABCDEF".getBytes(java.nio.charset.StandardCharsets.US_ASCII);

    static {
        for (int c = 0; c < 256; c++) {
            ESCAPE[c] = c <= 0x20 || c >= 0x7f;
        }
        for (char c : "%?#\"<>\\^`{|}[]".toCharArray()) {
            ESCAPE[c] = true;
        }
    }

    private byte[] scratch = new byte[256];

    /** Sets uri to the escaped form of b[at, at + length). */
    void encode(byte[] b, int at, int length, MessageBytes uri) {
        int escapes = 0;
        for (int i = at; i < at + length; i++) {
            if (ESCAPE[b[i] & 0xff]) {
                escapes++;
            }
        }
        if (escapes == 0) {
            uri.setBytes(b, at, length);
            return;
        }
        int size = length + 2 * escapes;
        if (scratch.length < size) {
            scratch = new byte[Math.max(size, scratch.length * 2)];
        }
        int o = 0;
        for (int i = at; i < at + length; i++) {
            int c = b[i] & 0xff;
            if (ESCAPE[c]) {
                scratch[o++] = '%';
                scratch[o++] = HEX[c >> 4];
                scratch[o++] = HEX[c & 15];
            } else {
                scratch[o++] = (byte) c;
            }
        }
        uri.setBytes(scratch, 0, o);
    }
}
