package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.util.Arrays;

import org.apache.coyote.Request;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The decoder of PROXY_SERVICE_40's items into a container request. */
class ServiceMessageTest {

    static final String[] SECURE = {"q=1", "POST", "/app/x", null, "client.example", "192.0.2.9", "www.example.org",
        "443", "HTTP/1.1", null, "1", "alice", "Basic"};

    /** Decodes message (as WirePeer builds it) and returns the request. */
    static Request decode(byte[] message, boolean tomcatAuthentication) throws WireException {
        Request request = new Request();
        ServiceMessage decoder = new ServiceMessage(message, 4, 3, tomcatAuthentication);
        decoder.decode(8, message.length - 8, request);
        return request;
    }

    @Test
    void everyFieldLandsInTheRequest() throws IOException {
        byte[] m = WirePeer.service(new String[] {"javax.servlet.request.key_size", "256", "quon.a", "\u00e9"}, SECURE,
                "/app/a b", new String[] {"Content-Length", "12", "content-type", "text/plain", "X-A", "1"});
        Request r = decode(m, false);
        assertEquals(Arrays.asList("POST", "/app/a%20b", "q=1", "HTTP/1.1", "https", "192.0.2.9", "client.example",
                "www.example.org", "443", "12", "text/plain", "1", "alice", "Basic"),
                Arrays.asList(r.getMethod(), r.requestURI().toString(), r.queryString().toString(),
                        r.protocol().toString(), r.scheme().toString(), r.remoteAddr().toString(),
                        r.remoteHost().toString(), r.localName().toString(), String.valueOf(r.getLocalPort()),
                        String.valueOf(r.getContentLengthLong()), r.getContentType(), r.getHeader("x-a"),
                        r.getRemoteUser().toString(), r.getAuthType().toString()));
        assertEquals(Integer.valueOf(256), r.getAttribute("jakarta.servlet.request.key_size"));
        assertEquals("\u00e9", r.getAttribute("quon.a"));
        Request trusted = decode(m, true);
        assertTrue(trusted.getRemoteUser().isNull() && trusted.getAuthType().isNull(),
                "Apache's user and its kind of login only when Tomcat does not authenticate");
    }

    @ParameterizedTest(name = "{0} -> {1}")
    @CsvSource(delimiter = '|', value = {
        "/plain/path;jsessionid=X|/plain/path;jsessionid=X",
        "/100%|/100%25",
        "/a?b#c|/a%3Fb%23c",
        "/caf\u00e9|/caf%C3%A9",
        "/tab\there|/tab%09here"})
    void pathsAreEscapedBackForTomcatsOwnDecoding(String path, String uri) throws IOException {
        assertEquals(uri, decode(WirePeer.get(path, null), true).requestURI().toString());
    }

    /** Items as int32 words and strings: "i:N" an int32, "s:text" a string. */
    static byte[] raw(String... items) throws IOException {
        ByteArrayOutputStream body = new ByteArrayOutputStream();
        DataOutputStream o = new DataOutputStream(body);
        for (String item : items) {
            if (item.startsWith("i:")) {
                o.writeInt(Integer.parseInt(item.substring(2)));
            } else {
                WirePeer.string(o, item.substring(2));
            }
        }
        byte[] message = new byte[8 + body.size()];
        System.arraycopy(body.toByteArray(), 0, message, 8, body.size());
        return message;
    }

    static String[] variables() {
        String[] v = new String[26];
        for (int i = 0; i < 13; i++) {
            v[2 * i] = "i:" + Constants.VARIABLE_ITEMS[i];
            v[2 * i + 1] = i == 1 ? "s:GET" : "s:";
        }
        return v;
    }

    static String[] concat(String[]... parts) {
        return Arrays.stream(parts).flatMap(Arrays::stream).toArray(String[]::new);
    }

    static final String[] URI = {"i:23", "s:/a"};
    static final String[] END = {"i:31"};

    @Test
    void malformedMessagesAreRefused() throws IOException {
        String[] header = {"i:32", "s:X", "s:1"};
        String[] attribute = {"i:18", "s:n", "s:v"};
        String[][][] bad = {
            {variables(), END},                                          // no URI
            {URI, variables(), END},                                     // URI first
            {variables(), URI},                                          // no END
            {variables(), URI, END, {"i:0"}},                            // bytes after END
            {variables(), URI, {"i:99"}, END},                           // unknown item
            {variables(), URI, header, header, header, header, END},     // 4 headers, bound 3
            {attribute, attribute, attribute, attribute, attribute, variables(), URI, END}, // 5 attributes, bound 4
            {variables(), URI, {"i:32", "s:Content-Length", "s:x1"}, END},
            {variables(), URI, {"i:32", "s:Content-Length", "s:1", "i:32", "s:content-length", "s:1"}, END},
            {Arrays.copyOf(variables(), 3), {"s:"}, Arrays.copyOfRange(variables(), 4, 26), URI, END}, // no method
        };
        for (String[][] parts : bad) {
            byte[] m = raw(concat(parts));
            assertThrows(WireException.class, () -> decode(m, true), String.join(" ", concat(parts)));
        }
        assertEquals("/a", decode(raw(concat(variables(), URI, END)), true).requestURI().toString());
    }

    @Test
    void everyTruncationAndEveryBadLengthIsRefused() throws IOException {
        byte[] m = WirePeer.service(new String[] {"a", "b"}, SECURE, "/app", new String[] {"X", "y"});
        for (int cut = 8; cut < m.length; cut++) {
            byte[] shorter = Arrays.copyOf(m, cut);
            assertThrows(WireException.class, () -> decode(shorter, true), "cut at " + cut);
        }
        // The attribute value's length (at offset 17): one past what is left, and negative.
        for (int bad : new int[] {m.length - 21 + 1, -1}) {
            byte[] copy = m.clone();
            copy[17] = (byte) (bad >>> 24);
            copy[18] = (byte) (bad >>> 16);
            copy[19] = (byte) (bad >>> 8);
            copy[20] = (byte) bad;
            assertThrows(WireException.class, () -> decode(copy, true));
        }
    }
}
