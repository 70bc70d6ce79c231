package org.quon22.demo;

import jakarta.servlet.FilterChain;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpFilter;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;

/** Names the Tomcat that answered (the JVM's quon.demo.name) in X-Demo-Server, on every answer. */
public class ServerNameFilter extends HttpFilter {
    private static final long serialVersionUID = 1L;

    @Override
    protected void doFilter(HttpServletRequest req, HttpServletResponse resp, FilterChain chain)
            throws IOException, ServletException {
        resp.setHeader("X-Demo-Server", System.getProperty("quon.demo.name", "tomcat"));
        chain.doFilter(req, resp);
    }
}
