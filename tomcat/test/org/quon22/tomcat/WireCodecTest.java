package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.HexFormat;

import org.apache.tomcat.util.buf.MessageBytes;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The reader and writer halves of a connection, against arrays. */
class WireCodecTest {

    /** A source that hands out at most step bytes a read, and nothing when non-blocking. */
    static WireInput.Source source(byte[] bytes, int step, boolean idle) {
        int[] at = {0};
        return (block, b, off, len) -> {
            if (at[0] == bytes.length) {
                return block || !idle ? -1 : 0;
            }
            int n = Math.min(Math.min(len, step), bytes.length - at[0]);
            System.arraycopy(bytes, at[0], b, off, n);
            at[0] += n;
            return n;
        };
    }

    static WireInput input(String hex, int capacity) {
        WireInput in = new WireInput(capacity);
        in.setSource(source(HexFormat.of().parseHex(hex), 3, false));
        return in;
    }

    @ParameterizedTest(name = "length {0} with bound {1}")
    @CsvSource({
        "00000000, 10, true",
        "0000000a, 10, true",
        "0000000b, 10, false",
        "ffffffff, 10, false",
        "80000000, 10, false",
        "7fffffff, 2147483647, true"})
    void lengthsAreBounded(String hex, int max, boolean ok) throws IOException {
        WireInput in = input(hex, 64);
        if (ok) {
            assertEquals(Integer.parseUnsignedInt(hex, 16), in.readLength(max, "x"));
        } else {
            assertThrows(WireException.class, () -> in.readLength(max, "x"));
        }
    }

    @Test
    void truncatedInputIsTheEndNotAHang() {
        WireInput in = input("000000", 64);
        assertThrows(EOFException.class, in::readInt);
        WireInput body = input("0000000500010203", 64);
        assertThrows(EOFException.class, () -> body.take(body.readInt()));
    }

    @Test
    void aMessageBeyondTheBufferIsRefusedBeforeReading() throws IOException {
        WireInput in = input("0000002700000100", 64);
        assertEquals(Constants.PROXY_SERVICE_40, in.readInt());
        assertThrows(WireException.class, () -> in.readServiceMessage(1000));
        WireInput bounded = input("0000002700000009", 4096);
        bounded.readInt();
        assertThrows(WireException.class, () -> bounded.readServiceMessage(8));
    }

    @Test
    void aNonBlockingReadWithNothingBufferedGivesBack() throws IOException {
        WireInput in = new WireInput(64);
        in.setSource(source(HexFormat.of().parseHex("0000000c"), 1, true));
        assertTrue(in.fill(4, false));
        assertEquals(Constants.PROXY_PING, in.readInt());
        assertFalse(in.fill(4, false));
    }

    @Test
    void aHalfMessageWaitsForTheRestWithoutBlocking() throws IOException {
        byte[] message = HexFormat.of().parseHex("0000000d" + "00000003" + "616263" + "0000000c");
        int[] available = {5};
        int[] at = {0};
        WireInput in = new WireInput(64);
        in.setSource((block, b, off, len) -> {
            if (block) {
                throw new AssertionError("a blocking read");
            }
            int n = Math.min(len, available[0] - at[0]);
            System.arraycopy(message, at[0], b, off, n);
            at[0] += n;
            return n;
        });
        assertFalse(in.fillMessage(100, 3));
        assertEquals(5, in.buffered());
        available[0] = 10;
        assertFalse(in.fillMessage(100, 3));
        available[0] = message.length;
        assertTrue(in.fillMessage(100, 3));
        assertEquals(Constants.PROXY_GET_PROPS, in.readInt());
        assertEquals(3, in.readLength(3, "name"));
        in.take(3);
        assertTrue(in.fillMessage(100, 3));
        assertEquals(Constants.PROXY_PING, in.readInt());
        WireInput longName = input("0000000d00000004", 64);
        assertThrows(WireException.class, () -> longName.fillMessage(100, 3));
    }

    @Test
    void theRequestMessageStaysWhileTheBodyIsRead() throws IOException {
        // A ping, the message (4 bytes of items), then two body answers of 30 bytes.
        String body = "00000010" + "0000001e" + "ab".repeat(30);
        WireInput in = input("0000000c" + "00000027" + "00000004" + "0000001f" + body + body, 48 + 8);
        assertEquals(Constants.PROXY_PING, in.readInt());
        assertEquals(Constants.PROXY_SERVICE_40, in.readInt());
        assertEquals(4, in.readServiceMessage(16));
        for (int i = 0; i < 2; i++) {
            assertEquals(Constants.PROXY_POST_DATA, in.readInt());
            int at = in.take(in.readLength(30, "x"));
            assertTrue(at >= 12, "the body lands after the message");
            assertEquals((byte) 0xab, in.buffer()[at + 29]);
        }
        assertEquals(Constants.SERVICE_END, WireInput.getInt(in.buffer(), 8));
    }

    /** Everything the writer produced, and how many writes and flushes it took. */
    static final class Recorder implements WireOutput.Sink {
        final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        int writes;
        int flushes;

        @Override
        public void write(byte[] b, int off, int len) {
            bytes.write(b, off, len);
            writes++;
        }

        @Override
        public void write(ByteBuffer buffer) {
            byte[] b = new byte[buffer.remaining()];
            buffer.get(b);
            write(b, 0, b.length);
        }

        @Override
        public void flush() {
            flushes++;
        }

        String hex() {
            return HexFormat.of().formatHex(bytes.toByteArray());
        }
    }

    @Test
    void aSmallAnswerIsOneWrite() throws IOException {
        WireOutput out = new WireOutput(256);
        Recorder sink = new Recorder();
        out.setSink(sink);
        out.codeAndInt(Constants.PROXY_PUT_STATUS, 200);
        out.string("");
        out.code(Constants.PROXY_PUT_HEADER_VALUE);
        out.string(MessageBytes.newInstance());
        MessageBytes value = MessageBytes.newInstance();
        value.setString("a\r\nb\u00e9\u20ac");
        out.string(value);
        out.client(ByteBuffer.wrap(new byte[] {1, 2}));
        out.code(Constants.PROXY_FINISH);
        out.flush();
        assertEquals(1, sink.writes);
        assertEquals(1, sink.flushes);
        assertEquals("00000006" + "000000c8" + "00000000" + "00000025" + "00000000" + "00000006" + "612020" + "62e920" +
                "00000008" + "00000002" + "0102" + "00000009", sink.hex());
    }

    @Test
    void aLargeChunkGoesOutAfterTheBufferWithoutACopy() throws IOException {
        WireOutput out = new WireOutput(64);
        Recorder sink = new Recorder();
        out.setSink(sink);
        byte[] chunk = new byte[100];
        chunk[99] = 7;
        out.client(ByteBuffer.wrap(chunk));
        out.flush();
        assertEquals(2, sink.writes);
        byte[] all = sink.bytes.toByteArray();
        assertEquals(108, all.length);
        assertArrayEquals(new byte[] {0, 0, 0, 8, 0, 0, 0, 100}, java.util.Arrays.copyOf(all, 8));
        assertEquals(7, all[107]);
    }
}
