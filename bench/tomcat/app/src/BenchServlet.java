package org.quon22.bench;

import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.IOException;
import java.nio.charset.StandardCharsets;

/**
 * The bench's application, deployed as /app: /size?n=N answers N bytes (byte i is
 * 'a' + i mod 23, the bytes of the static files the bench compares with), /sleep?ms=N
 * answers after N ms (threads made stuck), /echo a line, /session "state: new" or
 * "state: known" with a session (the answers bench/chaos's load driver checks). Every
 * answer names its Tomcat in X-Quon-Server (the JVM's quon.bench.server, the address of
 * its Quon connector), as quon-backend does, so the bench's drivers see who served it
 * through any of the connectors.
 */
public class BenchServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;
    private static final int MAX_SIZE = 1 << 20;
    private static final byte[] BYTES = new byte[MAX_SIZE];

    static {
        for (int i = 0; i < MAX_SIZE; i++) {
            BYTES[i] = (byte) ('a' + i % 23);
        }
    }

    private final String server = System.getProperty("quon.bench.server", "-");

    @Override
    protected void doGet(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        resp.setHeader("X-Quon-Server", server);
        resp.setContentType("text/plain");
        switch (req.getServletPath()) {
            case "/size" -> {
                int n = Math.min(MAX_SIZE, Math.max(0, number(req.getParameter("n"), 100)));
                resp.setContentLength(n);
                resp.getOutputStream().write(BYTES, 0, n);
            }
            case "/sleep" -> {
                try {
                    Thread.sleep(Math.max(0, number(req.getParameter("ms"), 1000)));
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
                resp.getOutputStream().write("slept\n".getBytes(StandardCharsets.US_ASCII));
            }
            case "/session" -> {
                HttpSession session = req.getSession(true);
                String state = session.isNew() ? "new" : "known";
                resp.getOutputStream().write(("state: " + state + "\nsession: " + session.getId()
                        + "\n").getBytes(StandardCharsets.US_ASCII));
            }
            default -> resp.getOutputStream().write(("echo from " + server + "\n")
                    .getBytes(StandardCharsets.US_ASCII));
        }
    }

    private static int number(String text, int fallback) {
        try {
            return text == null ? fallback : Integer.parseInt(text);
        } catch (NumberFormatException e) {
            return fallback;
        }
    }
}
