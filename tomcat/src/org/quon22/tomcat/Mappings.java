package org.quon22.tomcat;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import org.apache.catalina.Container;
import org.apache.catalina.Context;
import org.apache.catalina.Engine;
import org.apache.catalina.Host;

/**
 * The "servlet-mappings" set, computed from the container at each fetch, so that a
 * deployed, reloaded or removed application shows in the next fetch with no listener.
 *
 * What is announced: every started (or reloading) context of the hosts the connector serves, except
 * ROOT, /manager and /host-manager (which only a "mappings" list naming them announces)
 * and the excluded ones; with a "mappings" list, only the contexts it names. A context
 * announces its whole path ("/ctx/*": its default servlet answers the static files) or,
 * with announce="servlets", its servlet mappings only (exact paths, "/ctx/path/*" and
 * "/ctx*.ext"), so that Apache serves everything else itself. Contexts of a host other
 * than the Engine's default host are announced host-qualified: "//host/ctx/*".
 *
 * The value names the application and its version (the context's name, "/app##2" for
 * version 2 in parallel deployment), so that two servers that run different versions
 * announce different values.
 */
final class Mappings {

    private static final List<String> HIDDEN = List.of("", "/manager", "/host-manager");

    private final List<String> named;
    /** Context path -> when a fetch last announced it (for requests that race a removal). */
    private final Map<String, Long> announcedAt = new java.util.concurrent.ConcurrentHashMap<>();
    private final List<String> excluded;
    private final boolean servlets;

    Mappings(List<String> named, List<String> excluded, boolean servlets) {
        this.named = normalise(named);
        this.excluded = normalise(excluded);
        this.servlets = servlets;
    }

    /** "/" and "ROOT" name the ROOT context, whose path is "". */
    private static List<String> normalise(List<String> paths) {
        List<String> out = new ArrayList<>();
        for (String p : paths) {
            out.add(p.equals("/") || p.equals("ROOT") ? "" : p);
        }
        return out;
    }

    boolean announced(String path) {
        if (!named.isEmpty()) {
            return named.contains(path);
        }
        return !HIDDEN.contains(path) && !excluded.contains(path);
    }

    /**
     * Whether the path lies in a context that a fetch announced within the last graceMs:
     * a request for it that finds no application raced a removal or a redeployment, and
     * another server may still serve it. Later, the path is simply not ours.
     */
    boolean recentlyAnnounced(String uri, long graceMs) {
        long now = System.currentTimeMillis();
        for (Map.Entry<String, Long> e : announcedAt.entrySet()) {
            String path = e.getKey();
            boolean under = uri.equals(path) || uri.startsWith(path + "/");
            if (under && now - e.getValue().longValue() < graceMs) {
                return true;
            }
        }
        return false;
    }

    /** The property text for the engine's (or one host's) started contexts. */
    String text(Container top) {
        Map<String, String> patterns = new LinkedHashMap<>();
        if (top instanceof Engine engine) {
            Container[] hosts = engine.findChildren();
            Arrays.sort(hosts, Comparator.comparing(Container::getName));
            for (Container host : hosts) {
                String qualifier = host.getName().equalsIgnoreCase(engine.getDefaultHost()) ? "" : "//" + host.getName();
                addHost((Host) host, qualifier, patterns);
            }
        } else if (top instanceof Host host) {
            addHost(host, "", patterns);
        }
        PropsText text = new PropsText();
        patterns.forEach(text::add);
        return text.toString();
    }

    private void addHost(Host host, String qualifier, Map<String, String> patterns) {
        Container[] children = host.findChildren();
        Arrays.sort(children, Comparator.comparing(Container::getName));
        for (Container child : children) {
            Context context = (Context) child;
            // A context being reloaded is paused: Tomcat holds its requests until it is
            // back, so it stays announced.
            boolean serving = context.getState().isAvailable() || context.getPaused();
            if (!serving || !announced(context.getPath())) {
                continue;
            }
            announcedAt.put(context.getPath(), Long.valueOf(System.currentTimeMillis()));
            String value = context.getName().isEmpty() ? "ROOT" : context.getName();
            for (String pattern : patterns(context.getPath(), context.findServletMappings(), servlets)) {
                patterns.putIfAbsent(qualifier + pattern, value);
            }
        }
    }

    /**
     * The patterns of one context: its path with "/*", or each servlet mapping prefixed
     * with the path. The default servlet ("/") is left to Apache; "" (the context root
     * alone) becomes the path with "/".
     */
    static List<String> patterns(String path, String[] servletMappings, boolean servlets) {
        List<String> out = new ArrayList<>();
        if (!servlets) {
            out.add(path + "/*");
            return out;
        }
        String[] sorted = servletMappings.clone();
        Arrays.sort(sorted);
        for (String m : sorted) {
            if (m.equals("/")) {
                continue;
            }
            if (m.isEmpty()) {
                out.add(path + "/");
            } else if (m.startsWith("*.")) {
                out.add(path + "*" + m.substring(1));
            } else if (m.startsWith("/")) {
                out.add(path + m);
            }
        }
        return out;
    }
}
