package org.quon22.demo;

import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.IOException;
import java.io.PrintWriter;

/**
 * The demo's servlet: /hello says which Tomcat answered, /counter counts the requests of
 * a session. The Tomcat's name comes from the JVM's quon.demo.name property.
 */
public class DemoServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;

    @Override
    protected void doGet(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        String server = System.getProperty("quon.demo.name", "tomcat");
        resp.setContentType("text/plain;charset=UTF-8");
        PrintWriter out = resp.getWriter();
        if (req.getServletPath().equals("/counter")) {
            HttpSession session = req.getSession(true);
            Integer count = (Integer) session.getAttribute("count");
            int next = count == null ? 1 : count + 1;
            session.setAttribute("count", next);
            out.println("count=" + next + " session=" + session.getId() + " server=" + server);
        } else {
            out.println("hello from " + server + " (" + req.getContextPath() + ", client "
                    + req.getRemoteAddr() + ")");
        }
    }
}
