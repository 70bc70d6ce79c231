package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.EOFException;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.util.Random;

import org.apache.coyote.Request;
import org.junit.jupiter.api.Test;

/**
 * Seeded random byte streams and mutated valid messages through the reader and the
 * decoder, the way the processor takes them: nothing but the reader's own bounded
 * failures (WireException, EOFException), and no allocation that grows with the lengths
 * the bytes claim.
 */
class RandomInputTest {

    static final int MAX_MESSAGE = 4096;

    /** Reads messages until the stream fails; returns normally only at a clean end. */
    static void serve(byte[] stream) throws IOException {
        WireInput in = new WireInput(MAX_MESSAGE + 8 + Constants.POST_DATA_MAX + 16);
        in.setSource(WireCodecTest.source(stream, 7, false));
        ServiceMessage decoder = new ServiceMessage(in.buffer(), 8, 16, false);
        Request request = new Request();
        while (in.fillMessage(MAX_MESSAGE, 256)) {
            int code = in.readInt();
            if (code == Constants.PROXY_PING) {
                continue;
            }
            if (code == Constants.PROXY_GET_PROPS) {
                in.take(in.readLength(256, "name"));
                continue;
            }
            if (code != Constants.PROXY_SERVICE_40) {
                return;
            }
            int n = in.readServiceMessage(MAX_MESSAGE);
            decoder.decode(8, n, request);
            if (in.fill(4, false) && in.readInt() == Constants.PROXY_POST_DATA) {
                in.take(in.readLength(Constants.POST_DATA_MAX, "body"));
            }
            request.recycle();
            decoder.recycle();
            in.release();
        }
    }

    static void feed(byte[] stream, String what) {
        com.sun.management.ThreadMXBean threads = (com.sun.management.ThreadMXBean) ManagementFactory.getThreadMXBean();
        long before = threads.getCurrentThreadAllocatedBytes();
        try {
            serve(stream);
        } catch (WireException | EOFException e) {
            // the reader's own refusal
        } catch (Throwable t) {
            fail(what + ": " + t, t);
        }
        long allocated = threads.getCurrentThreadAllocatedBytes() - before;
        assertTrue(allocated < 512 * 1024 + 64L * stream.length, what + " allocated " + allocated);
    }

    @Test
    void randomStreams() {
        Random random = new Random(20261207);
        for (int i = 0; i < 3000; i++) {
            byte[] stream = new byte[random.nextInt(64)];
            random.nextBytes(stream);
            // Half of them open like a message, so the lengths after it are exercised.
            if (stream.length >= 4 && random.nextBoolean()) {
                stream[0] = 0;
                stream[1] = 0;
                stream[2] = 0;
                stream[3] = (byte) (random.nextBoolean() ? Constants.PROXY_SERVICE_40 : Constants.PROXY_GET_PROPS);
            }
            feed(stream, "random stream " + i);
        }
    }

    @Test
    void mutatedMessages() throws IOException {
        byte[] valid = WirePeer.service(new String[] {"a", "b"}, ServiceMessageTest.SECURE, "/app/x",
                new String[] {"Content-Length", "3", "X", "y"});
        byte[] body = {0, 0, 0, 16, 0, 0, 0, 3, 1, 2, 3};
        byte[] stream = new byte[valid.length + body.length];
        System.arraycopy(valid, 0, stream, 0, valid.length);
        System.arraycopy(body, 0, stream, valid.length, body.length);
        Random random = new Random(35);
        for (int i = 0; i < 3000; i++) {
            byte[] copy = stream.clone();
            for (int k = random.nextInt(4); k >= 0; k--) {
                copy[random.nextInt(copy.length)] = (byte) random.nextInt(256);
            }
            feed(copy, "mutation " + i);
        }
    }
}
