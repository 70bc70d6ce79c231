package org.quon22.testapp;

import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.security.cert.X509Certificate;
import java.util.Collections;

/**
 * What the integration tests ask of an application behind Apache, one behaviour per
 * servlet path (see web.xml). Every answer names the Tomcat that gave it in X-Tomcat
 * (the JVM's quon.test.name property), so a test sees where a request went.
 */
public class TestServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;
    // The largest body /stream writes: a bound on what a query string can ask for.
    private static final long MAX_STREAM = 1L << 31;

    @Override
    protected void service(HttpServletRequest req, HttpServletResponse resp)
            throws ServletException, IOException {
        resp.setHeader("X-Tomcat", System.getProperty("quon.test.name", "?"));
        switch (req.getServletPath()) {
            case "/echo" -> echo(req, resp);
            case "/body" -> body(req, resp);
            case "/stream" -> stream(req, resp);
            case "/session" -> session(req, resp);
            case "/error" -> resp.sendError(number(req, "code", 500), "asked for");
            case "/redirect" -> resp.sendRedirect(req.getContextPath() + "/echo/redirected");
            case "/flush" -> flush(resp);
            case "/cookies" -> cookies(resp);
            case "/slow" -> slow(req, resp);
            default -> resp.sendError(HttpServletResponse.SC_NOT_FOUND);
        }
    }

    private static int number(HttpServletRequest req, String name, int otherwise) {
        try {
            return Integer.parseInt(req.getParameter(name));
        } catch (NumberFormatException e) {
            return otherwise;
        }
    }

    // Every request field as "key=value" lines, headers as "header.name=value" (in the
    // order and case the container gives them), the body's length and a checksum.
    private static void echo(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        long length = 0;
        long sum = 0;
        byte[] buffer = new byte[8192];
        try (InputStream in = req.getInputStream()) {
            for (int n; (n = in.read(buffer)) > 0; length += n)
                for (int i = 0; i < n; i++) sum = sum * 31 + (buffer[i] & 0xff);
        }
        resp.setContentType("text/plain;charset=UTF-8");
        PrintWriter out = resp.getWriter();
        out.println("method=" + req.getMethod());
        out.println("uri=" + req.getRequestURI());
        out.println("contextPath=" + req.getContextPath());
        out.println("servletPath=" + req.getServletPath());
        out.println("pathInfo=" + req.getPathInfo());
        out.println("query=" + req.getQueryString());
        out.println("protocol=" + req.getProtocol());
        out.println("remoteAddr=" + req.getRemoteAddr());
        out.println("remotePort=" + req.getRemotePort());
        out.println("serverName=" + req.getServerName());
        out.println("serverPort=" + req.getServerPort());
        out.println("secure=" + req.isSecure());
        out.println("scheme=" + req.getScheme());
        out.println("remoteUser=" + req.getRemoteUser());
        out.println("cipher=" + req.getAttribute("jakarta.servlet.request.cipher_suite"));
        out.println("keySize=" + req.getAttribute("jakarta.servlet.request.key_size"));
        Object certs = req.getAttribute("jakarta.servlet.request.X509Certificate");
        out.println("clientCert=" + (certs instanceof X509Certificate[] c && c.length > 0
                ? c[0].getSubjectX500Principal().getName() : "null"));
        out.println("bodyLength=" + length);
        out.println("bodySum=" + sum);
        for (String name : Collections.list(req.getHeaderNames()))
            for (String value : Collections.list(req.getHeaders(name)))
                out.println("header." + name.toLowerCase() + "=" + value);
    }

    // The request's body back, byte for byte, as it comes.
    private static void body(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        resp.setContentType("application/octet-stream");
        try (InputStream in = req.getInputStream(); OutputStream out = resp.getOutputStream()) {
            in.transferTo(out);
        }
    }

    // ?bytes=N of a pattern the test can check (byte i is i*7 mod 251), written in pieces
    // without a declared length, so it goes out in parts.
    private static void stream(HttpServletRequest req, HttpServletResponse resp)
            throws IOException {
        long total;
        try {
            total = Math.min(Long.parseLong(req.getParameter("bytes")), MAX_STREAM);
        } catch (NumberFormatException e) {
            resp.sendError(HttpServletResponse.SC_BAD_REQUEST, "bytes=N");
            return;
        }
        resp.setContentType("application/octet-stream");
        OutputStream out = resp.getOutputStream();
        byte[] piece = new byte[65536];
        for (long sent = 0; sent < total; ) {
            int n = (int) Math.min(piece.length, total - sent);
            for (int i = 0; i < n; i++) piece[i] = (byte) (((sent + i) * 7) % 251);
            out.write(piece, 0, n);
            sent += n;
        }
    }

    // A counter kept in the session; "count", "id" and "created" (whether this request
    // made the session) as lines.
    private static void session(HttpServletRequest req, HttpServletResponse resp)
            throws IOException {
        HttpSession session = req.getSession(true);
        Integer count = (Integer) session.getAttribute("count");
        int next = count == null ? 1 : count + 1;
        session.setAttribute("count", next);
        resp.setContentType("text/plain");
        PrintWriter out = resp.getWriter();
        out.println("count=" + next);
        out.println("id=" + session.getId());
        out.println("created=" + session.isNew());
    }

    private static void flush(HttpServletResponse resp) throws IOException {
        resp.setContentType("text/plain");
        PrintWriter out = resp.getWriter();
        out.print("first part\n");
        resp.flushBuffer();
        out.print("second part\n");
    }

    private static void cookies(HttpServletResponse resp) throws IOException {
        resp.addHeader("Set-Cookie", "a=1; Path=/");
        resp.addHeader("Set-Cookie", "b=2; Path=/; HttpOnly");
        resp.addHeader("Set-Cookie", "c=3; Path=/; Max-Age=60");
        // ISO-8859-1 bytes beyond ASCII, which HTTP carries as they are.
        resp.setHeader("X-Latin", "caf\u00e9 \u00fcber");
        resp.setContentType("text/plain");
        resp.getOutputStream().write("cookies\n".getBytes(StandardCharsets.US_ASCII));
    }

    // Answers after ?ms=N milliseconds (at most a minute).
    private static void slow(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        try {
            Thread.sleep(Math.min(number(req, "ms", 1000), 60000));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        resp.setContentType("text/plain");
        resp.getWriter().println("slept");
    }
}
