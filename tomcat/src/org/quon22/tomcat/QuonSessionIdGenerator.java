package org.quon22.tomcat;

import java.util.List;

import org.apache.catalina.util.StandardSessionIdGenerator;

/**
 * Session ids the connector routes by: the server's four-character replication id, a
 * random part in upper-case hex (which can never hold "TR"), then "TR" and the buddies'
 * ids, four characters each: SRV1 0F3A...9C TR SRV2 SRV3.
 *
 * An Engine jvmRoute is not appended: the replication id already names the server, and
 * a ".route" after the buddies would read as more buddy ids. The replication id wins;
 * QuonListener logs once when a jvmRoute is set.
 */
public class QuonSessionIdGenerator extends StandardSessionIdGenerator {

    private volatile String prefix = "";
    private volatile String suffix = "";

    public QuonSessionIdGenerator() {
    }

    public QuonSessionIdGenerator(String repId, List<String> buddies) {
        setRepId(repId);
        setBuddies(String.join(",", buddies));
    }

    public void setRepId(String repId) {
        ConnectorSettings.checkId("repId", repId, false);
        prefix = repId;
    }

    public String getRepId() {
        return prefix;
    }

    public void setBuddies(String buddies) {
        StringBuilder tail = new StringBuilder();
        for (String buddy : ConnectorSettings.split(buddies)) {
            ConnectorSettings.checkId("buddies", buddy, true);
            tail.append(buddy);
        }
        suffix = tail.length() == 0 ? "" : "TR" + tail;
    }

    @Override
    public String generateSessionId(String route) {
        // The route is ignored on purpose, see above.
        String random = super.generateSessionId(null);
        int dot = random.indexOf('.');
        if (dot >= 0) {
            random = random.substring(0, dot);
        }
        return prefix + random + suffix;
    }
}
