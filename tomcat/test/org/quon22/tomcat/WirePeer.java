package org.quon22.tomcat;

import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/** The connector's side of the protocol, scripted: builds messages, reads exchanges. */
final class WirePeer implements AutoCloseable {

    /** What one exchange brought back. */
    static final class Answer {
        int status = -1;
        final List<String[]> headers = new ArrayList<>();
        final ByteArrayOutputStream body = new ByteArrayOutputStream();
        final List<Integer> codes = new ArrayList<>();
        String props;
        int seq = -1;
        int load = -1;
        int asks;
        boolean busy;

        String header(String name) {
            for (String[] h : headers) {
                if (h[0].equalsIgnoreCase(name)) {
                    return h[1];
                }
            }
            return null;
        }

        String text() {
            return body.toString(StandardCharsets.UTF_8);
        }
    }

    final Socket socket;
    final DataInputStream in;
    final DataOutputStream out;

    WirePeer(int port) throws IOException {
        socket = new Socket();
        socket.connect(new InetSocketAddress("127.0.0.1", port), 5000);
        socket.setSoTimeout(10000);
        in = new DataInputStream(socket.getInputStream());
        out = new DataOutputStream(socket.getOutputStream());
    }

    static void string(DataOutputStream o, String s) throws IOException {
        byte[] b = s == null ? new byte[0] : s.getBytes(StandardCharsets.UTF_8);
        o.writeInt(b.length);
        o.write(b);
    }

    /**
     * PROXY_SERVICE_40 for a request: attributes and headers as name/value pairs,
     * variables[] in the order of the thirteen items (null for empty).
     */
    static byte[] service(String[] attributes, String[] variables, String uri, String[] headers) throws IOException {
        ByteArrayOutputStream items = new ByteArrayOutputStream();
        DataOutputStream o = new DataOutputStream(items);
        for (int i = 0; attributes != null && i < attributes.length; i += 2) {
            o.writeInt(Constants.SERVICE_ATTRIBUTE);
            string(o, attributes[i]);
            string(o, attributes[i + 1]);
        }
        for (int i = 0; i < 13; i++) {
            o.writeInt(Constants.VARIABLE_ITEMS[i]);
            string(o, variables[i]);
        }
        o.writeInt(Constants.SERVICE_URI);
        string(o, uri);
        for (int i = 0; headers != null && i < headers.length; i += 2) {
            o.writeInt(Constants.SERVICE_HEADER);
            string(o, headers[i]);
            string(o, headers[i + 1]);
        }
        o.writeInt(Constants.SERVICE_END);
        ByteArrayOutputStream message = new ByteArrayOutputStream();
        DataOutputStream m = new DataOutputStream(message);
        m.writeInt(Constants.PROXY_SERVICE_40);
        m.writeInt(items.size());
        m.write(items.toByteArray());
        return message.toByteArray();
    }

    /** The thirteen variables of a plain request. */
    static String[] variables(String method, String query) {
        return new String[] {query, method, null, null, null, "192.0.2.7", "www.example.org", "8080", "HTTP/1.1",
            null, "0", null, null};
    }

    static byte[] get(String uri, String query, String... headers) throws IOException {
        return service(null, variables("GET", query), uri, headers);
    }

    static byte[] props(String name) throws IOException {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        DataOutputStream o = new DataOutputStream(b);
        o.writeInt(Constants.PROXY_GET_PROPS);
        string(o, name);
        return b.toByteArray();
    }

    void send(byte[] message) throws IOException {
        out.write(message);
        out.flush();
    }

    String readString() throws IOException {
        byte[] b = new byte[in.readInt()];
        in.readFully(b);
        return new String(b, StandardCharsets.ISO_8859_1);
    }

    /** Serves the exchange until FINISH or BUSY; body is what PROXY_GET_DATA receives. */
    Answer exchange(byte[] body) throws IOException {
        Answer a = new Answer();
        int sent = 0;
        for (;;) {
            int code = in.readInt();
            a.codes.add(code);
            switch (code) {
                case Constants.PROXY_PUT_STATUS -> {
                    a.status = in.readInt();
                    readString();
                }
                case Constants.PROXY_PUT_HEADER_VALUE -> a.headers.add(new String[] {readString(), readString()});
                case Constants.PROXY_PUT_CLIENT -> {
                    byte[] b = new byte[in.readInt()];
                    in.readFully(b);
                    a.body.write(b);
                }
                case Constants.PROXY_PUT_PROPS -> a.props = readString();
                case Constants.PROXY_PUT_CLUSTER_SEQ -> a.seq = in.readInt();
                case Constants.PROXY_PUT_LOAD_VALUE -> a.load = in.readInt();
                case Constants.PROXY_GET_DATA -> {
                    int want = in.readInt();
                    a.asks++;
                    int n = Math.min(Math.min(want, Constants.POST_DATA_MAX), body == null ? 0 : body.length - sent);
                    out.writeInt(Constants.PROXY_POST_DATA);
                    out.writeInt(n);
                    if (n > 0) {
                        out.write(body, sent, n);
                    }
                    out.flush();
                    sent += n;
                }
                case Constants.PROXY_FINISH -> {
                    return a;
                }
                case Constants.PROXY_BUSY -> {
                    a.busy = true;
                    return a;
                }
                default -> throw new IOException("unexpected code " + code);
            }
        }
    }

    /** True when the server closed the connection (nothing more to read) within 5 s. */
    boolean closedByServer() {
        try {
            socket.setSoTimeout(5000);
            return in.read() == -1;
        } catch (java.net.SocketTimeoutException e) {
            return false;
        } catch (IOException e) {
            return true;
        }
    }

    @Override
    public void close() throws IOException {
        socket.close();
    }
}
