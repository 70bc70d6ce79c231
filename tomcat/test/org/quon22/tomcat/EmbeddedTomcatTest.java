package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Random;

import jakarta.servlet.http.Cookie;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;

import org.apache.catalina.Context;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.startup.Tomcat;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/** A Tomcat in this JVM with our connector on a free port of 127.0.0.1, driven byte by byte. */
@Timeout(60)
class EmbeddedTomcatTest {

    /** A client certificate as Apache's TLS module gives it (PEM, CN=client.example). */
    static final String PEM = "-----BEGIN CERTIFICATE-----\n" +
            "MIIBhzCCAS2gAwIBAgIUCArbQLGRsB5cA9DWbJGi5f3AxLQwCgYIKoZIzj0EAwIw\n" +
            "GTEXMBUGA1UEAwwOY2xpZW50LmV4YW1wbGUwHhcNMjYxMjA3MTM1NzI0WhcNMzYx\n" +
            "MjA0MTM1NzI0WjAZMRcwFQYDVQQDDA5jbGllbnQuZXhhbXBsZTBZMBMGByqGSM49\n" +
            "AgEGCCqGSM49AwEHA0IABB3Sqe/ZUJ4cq7RwZcv90OKt1A5v0cC/qMPwbdAMLjnc\n" +
            "R8hmxW+elpqLa6xG59hfTGrLxpsG93hxx22Rm7VKL0ajUzBRMB0GA1UdDgQWBBQ3\n" +
            "7XE9GogmOJbwEmrSs/+S2VwZJDAfBgNVHSMEGDAWgBQ37XE9GogmOJbwEmrSs/+S\n" +
            "2VwZJDAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCIFX0XCHc4f5U\n" +
            "q8dgCpukygX5U5RTdGW/4uPzJn1vPqjpAiEAm3BEMMU8xDLeB+7rer+np5LqYpjM\n" +
            "pT7DHTE9ym0Dobw=\n-----END CERTIFICATE-----\n";

    static Tomcat tomcat;
    static int port;
    /** A second connector: two connections at most, MIN balancing. */
    static int smallPort;
    static Context gone;

    /** Echoes what the request carried, or its body, or makes sessions and cookies. */
    static class Echo extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void service(HttpServletRequest req, HttpServletResponse resp) throws IOException {
            String what = req.getPathInfo() == null ? "" : req.getPathInfo();
            switch (what) {
                case "/body" -> {
                    resp.setContentType("application/octet-stream");
                    req.getInputStream().transferTo(resp.getOutputStream());
                }
                case "/session" -> resp.getWriter().print(req.getSession(true).getId());
                case "/cookies" -> {
                    resp.addCookie(new Cookie("a", "1"));
                    resp.addCookie(new Cookie("b", "2"));
                    resp.setHeader("X-Name", "caf\u00e9");
                    resp.getWriter().print("first");
                    resp.flushBuffer();
                    resp.getWriter().print("second");
                }
                case "/teapot" -> resp.sendError(418);
                default -> {
                    resp.setContentType("text/plain;charset=UTF-8");
                    resp.getWriter().print("method=" + req.getMethod() + "\nuri=" + req.getRequestURI() + "\npath=" +
                            what + "\nquery=" + req.getQueryString() + "\nremote=" + req.getRemoteAddr() + "\nsecure=" +
                            req.isSecure() + "\nserver=" + req.getServerName() + ":" + req.getServerPort() + "\nuser=" +
                            req.getRemoteUser() + "\nheader=" + req.getHeader("X-Test") + "\nattr=" +
                            req.getAttribute("quon.attr") + "\ncipher=" +
                            req.getAttribute("jakarta.servlet.request.cipher_suite") + "\ncert=" + subject(req) + "\n");
                }
            }
        }

        static String subject(HttpServletRequest req) {
            Object chain = req.getAttribute("jakarta.servlet.request.X509Certificate");
            return chain instanceof java.security.cert.X509Certificate[] certs && certs.length == 1
                    ? certs[0].getSubjectX500Principal().getName() : String.valueOf(chain);
        }
    }

    /** Reads the body without blocking (a ReadListener) and tells how much came. */
    static class AsyncCount extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void service(HttpServletRequest req, HttpServletResponse resp) throws IOException {
            jakarta.servlet.AsyncContext async = req.startAsync();
            jakarta.servlet.ServletInputStream in = req.getInputStream();
            long[] total = {0};
            in.setReadListener(new jakarta.servlet.ReadListener() {
                @Override
                public void onDataAvailable() throws IOException {
                    byte[] b = new byte[8192];
                    for (int n; in.isReady() && (n = in.read(b)) >= 0;) {
                        total[0] += n;
                    }
                }

                @Override
                public void onAllDataRead() throws IOException {
                    resp.getWriter().print("read " + total[0]);
                    async.complete();
                }

                @Override
                public void onError(Throwable t) {
                    async.complete();
                }
            });
        }
    }

    /** Held, so that the level stays set: Tomcat's start and stop lines are noise here. */
    static final java.util.logging.Logger TOMCAT_LOG = java.util.logging.Logger.getLogger("org.apache");

    @BeforeAll
    static void start() throws Exception {
        TOMCAT_LOG.setLevel(java.util.logging.Level.SEVERE);
        Path base = Files.createTempDirectory("quon-embedded");
        tomcat = new Tomcat();
        tomcat.setBaseDir(base.toString());
        Connector connector = connector("buddies", "SRV2,SRV3", "members", "127.0.0.2:7001,127.0.0.3:7001");
        tomcat.setConnector(connector);
        Connector small = connector("algorithm", "MIN", "maxConnections", "2");
        tomcat.getEngine().addLifecycleListener(new QuonListener());
        Context app = tomcat.addContext("/app", base.toString());
        Tomcat.addServlet(app, "echo", new Echo()).addMapping("/echo/*");
        org.apache.catalina.Wrapper async = Tomcat.addServlet(app, "async", new AsyncCount());
        async.setAsyncSupported(true);
        async.addMapping("/async");
        gone = tomcat.addContext("/gone", base.toString());
        Tomcat.addServlet(gone, "echo", new Echo()).addMapping("/*");
        tomcat.start();
        port = connector.getLocalPort();
        smallPort = small.getLocalPort();
    }

    /** A connector of ours on a free port of 127.0.0.1 as SRV1, added to the service. */
    static Connector connector(String... attributes) {
        Connector c = new Connector("org.quon22.tomcat.QuonNioProtocol");
        c.setPort(0);
        c.setProperty("address", "127.0.0.1");
        c.setProperty("repId", "SRV1");
        for (int i = 0; i < attributes.length; i += 2) {
            c.setProperty(attributes[i], attributes[i + 1]);
        }
        tomcat.getService().addConnector(c);
        return c;
    }

    @AfterAll
    static void stop() throws Exception {
        tomcat.stop();
        tomcat.destroy();
    }

    @Test
    void getCarriesTheRequestAndTheConnectionStaysOpen() throws Exception {
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(new byte[] {0, 0, 0, 12});
            String[] secure = WirePeer.variables("GET", "a=1&b=%20");
            secure[10] = "1";
            peer.send(WirePeer.service(new String[] {"quon.attr", "v1", "javax.servlet.request.cipher_suite", "AES",
                "javax.servlet.request.X509Certificate", PEM}, secure, "/app/echo/a b%c",
                    new String[] {"X-Test", "t1", "Host", "front.example:8443"}));
            WirePeer.Answer a = peer.exchange(null);
            assertEquals(200, a.status);
            String text = a.text();
            assertTrue(text.contains("uri=/app/echo/a%20b%25c\npath=/a b%c\nquery=a=1&b=%20\n"), text);
            assertTrue(text.contains("remote=192.0.2.7\nsecure=true\nserver=front.example:8443\nuser=null\n"), text);
            assertTrue(text.contains("header=t1\nattr=v1\ncipher=AES\ncert=CN=client.example\n"), text);
            assertTrue(a.seq > 0, "the cluster sequence comes with every answer when there are members");
            assertEquals(-1, a.load, "no load value: it would replace the configured weight");
            peer.send(new byte[] {0, 0, 0, 12});
            peer.send(WirePeer.get("/app/echo/x", null));
            WirePeer.Answer b = peer.exchange(null);
            assertEquals(200, b.status);
            assertTrue(b.text().contains("secure=false\nserver=www.example.org:8080"), b.text());
            assertTrue(b.text().contains("cert=null"), "nothing of the last request is left: " + b.text());
        }
    }

    @Test
    void postBodiesStreamBothWays() throws Exception {
        byte[] body = new byte[100_000];
        new Random(7).nextBytes(body);
        try (WirePeer peer = new WirePeer(port)) {
            // A reader that never blocks is served the same way, chunk by chunk.
            peer.send(WirePeer.service(null, WirePeer.variables("POST", null), "/app/async", null));
            WirePeer.Answer n = peer.exchange(body);
            assertEquals("read " + body.length, n.text());
            peer.send(WirePeer.service(null, WirePeer.variables("POST", null), "/app/echo/body",
                    new String[] {"Content-Length", Integer.toString(body.length)}));
            WirePeer.Answer a = peer.exchange(body);
            assertArrayEquals(body, a.body.toByteArray());
            assertEquals(3, a.asks, "a known length needs no asking past its end");
            // Without a length the body ends with a count of 0.
            peer.send(WirePeer.service(null, WirePeer.variables("POST", null), "/app/echo/body", null));
            WirePeer.Answer b = peer.exchange(body);
            assertArrayEquals(body, b.body.toByteArray());
            assertEquals(4, b.asks);
        }
    }

    @Test
    void propertySetsAnswerFromTheConnectorAndTheContainer() throws Exception {
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.props("server-props"));
            WirePeer.Answer s = peer.exchange(null);
            assertEquals("rep_id=SRV1\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\nmapcheck=10\nproxyretryinterval=10\n",
                    s.props);
            peer.send(WirePeer.props("servlet-mappings"));
            assertEquals("/app/*=/app\n/gone/*=/gone\n", peer.exchange(null).props);
            peer.send(WirePeer.props("clustered-servers"));
            WirePeer.Answer c = peer.exchange(null);
            assertEquals("member1=127.0.0.2:7001\nmember2=127.0.0.3:7001\n", c.props);
            assertTrue(c.seq > 0);
        }
    }

    @Test
    void sessionIdsCarryTheReplicationIdAndBuddies() throws Exception {
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.get("/app/echo/session", null));
            String id = peer.exchange(null).text();
            assertTrue(id.matches("SRV1[0-9A-F]{32}TRSRV2SRV3"), id);
        }
    }

    @Test
    void anyManagerAContextIsGivenMakesTheseIds() {
        // A cluster's manager is set while the context starts, as a context.xml's is.
        org.apache.catalina.session.ManagerBase delta = new org.apache.catalina.ha.session.DeltaManager();
        Context other = tomcat.addContext("/other", gone.getDocBase());
        try {
            other.setManager(delta);
            assertTrue(delta.getSessionIdGenerator() instanceof QuonSessionIdGenerator);
            assertTrue(delta.getSessionIdGenerator().generateSessionId().matches("SRV1[0-9A-F]{32}TRSRV2SRV3"));
        } finally {
            tomcat.getHost().removeChild(other);
        }
    }

    @Test
    void headersCookiesAndErrorsComeThroughAsWritten() throws Exception {
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.get("/app/echo/cookies", null));
            WirePeer.Answer a = peer.exchange(null);
            assertEquals("firstsecond", a.text());
            assertEquals(2, a.headers.stream().filter(h -> h[0].equals("Set-Cookie")).count());
            assertEquals("caf\u00e9", a.header("X-Name"), "one byte per character, as Tomcat sends it");
            peer.send(WirePeer.get("/app/echo/teapot", null));
            assertEquals(418, peer.exchange(null).status);
        }
    }

    @Test
    void aStoppedApplicationAnswersBusy() throws Exception {
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.props("servlet-mappings"));
            assertTrue(peer.exchange(null).props.contains("/gone/*"));
            // A path that was never announced is Tomcat's own 404.
            peer.send(WirePeer.get("/nowhere/x", null));
            assertEquals(404, peer.exchange(null).status);
        }
        gone.stop();
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.get("/gone/x", null));
            assertTrue(peer.exchange(null).busy);
            assertTrue(peer.closedByServer());
        } finally {
            gone.start();
        }
    }

    @Test
    void beyondMaxConnectionsTheAnswerIsBusyAndLoadValuesComeWithMin() throws Exception {
        try (WirePeer one = new WirePeer(smallPort); WirePeer two = new WirePeer(smallPort)) {
            // The connector's first request, on a processor never used: a body all the same.
            byte[] body = {1, 2, 3};
            one.send(WirePeer.service(null, WirePeer.variables("POST", null), "/app/echo/body",
                    new String[] {"Content-Length", "3"}));
            WirePeer.Answer a = one.exchange(body);
            assertEquals(200, a.status);
            assertArrayEquals(body, a.body.toByteArray());
            assertEquals(1, a.load, "the request itself is the load");
            assertEquals(-1, a.seq, "no members, no cluster sequence");
            // Four open: beyond the limit whether or not the acceptor's slot is counted yet.
            try (WirePeer three = new WirePeer(smallPort); WirePeer four = new WirePeer(smallPort)) {
                assertTrue(two.socket.isConnected() && three.socket.isConnected());
                four.send(WirePeer.get("/app/echo/x", null));
                assertTrue(four.exchange(null).busy);
                assertTrue(four.closedByServer());
            }
        }
    }

    @Test
    void aConnectorWithABadAttributeDoesNotStart() {
        Connector bad = connector("weight", "heavy");
        assertFalse(bad.getState().isAvailable(), "Tomcat logs the failure; the connector stays down");
        tomcat.getService().removeConnector(bad);
        Throwable e = org.junit.jupiter.api.Assertions.assertThrows(IllegalArgumentException.class,
                () -> bad.getProtocolHandler().init());
        assertTrue(e.getMessage().contains("[weight]"), e.getMessage());
    }

    @Test
    void hostileInputClosesTheConnectionAndTomcatServesOn() throws Exception {
        byte[] huge = ByteBuffer.allocate(8).putInt(Constants.PROXY_SERVICE_40).putInt(Integer.MAX_VALUE).array();
        byte[][] hostile = {{0, 0, 0, 99}, huge, {0, 0, 0, 13, (byte) 0xff, (byte) 0xff, 0, 0}};
        for (byte[] message : hostile) {
            try (WirePeer peer = new WirePeer(port)) {
                peer.send(message);
                assertTrue(peer.closedByServer());
            }
        }
        // A body answer one byte longer than what was asked.
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.service(null, WirePeer.variables("POST", null), "/app/echo/body",
                    new String[] {"Content-Length", "10"}));
            assertEquals(Constants.PROXY_GET_DATA, peer.in.readInt());
            assertEquals(10, peer.in.readInt());
            peer.out.writeInt(Constants.PROXY_POST_DATA);
            peer.out.writeInt(11);
            peer.out.write(new byte[11]);
            peer.out.flush();
            assertTrue(peer.closedByServer());
        }
        try (WirePeer peer = new WirePeer(port)) {
            peer.send(WirePeer.get("/app/echo/x", null));
            assertEquals(200, peer.exchange(null).status);
            assertFalse(peer.socket.isClosed());
        }
    }
}
