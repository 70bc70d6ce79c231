package org.quon22.tomcat;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;
import org.apache.tomcat.util.res.StringManager;

/**
 * The cluster's members for "clustered-servers", from the members attribute or a members
 * file (property text, one host:port value a line), and their sequence number.
 *
 * The sequence number is computed from the list itself, not counted: servers that hold
 * the same list report the same number, so the connector never sees the numbers of two
 * servers alternate and fetches the list again only when it really changed. It is never
 * 0, which the connector reads as "no list".
 *
 * The file is looked at again at most once a second, on the next fetch or request, and
 * read when its time or size changed; a file that cannot be read or holds a bad member
 * leaves the list as it was, with a log line.
 */
final class MemberList {

    private static final Log log = LogFactory.getLog(MemberList.class);
    private static final StringManager sm = StringManager.getManager(MemberList.class);
    private static final long RECHECK_MS = 1000;

    private final Path file;
    private volatile Snapshot snapshot;
    private volatile long nextCheck;
    private long fileTime = -1;
    private long fileSize = -1;

    /** The list and its number, replaced whole. */
    record Snapshot(List<String> members, int sequence, String text) {
    }

    MemberList(List<String> members, String file) {
        this.file = file == null || file.isEmpty() ? null : Path.of(file);
        snapshot = snapshotOf(members);
        if (this.file != null) {
            reload();
            // A file that is bad at start stops the connector, as a bad attribute does.
            if (fileTime == -1) {
                throw ConnectorSettings.bad("membersFile", file);
            }
        }
    }

    static Snapshot snapshotOf(List<String> members) {
        PropsText text = new PropsText();
        int hash = 17;
        for (int i = 0; i < members.size(); i++) {
            text.add("member" + (i + 1), members.get(i));
            hash = hash * 31 + members.get(i).hashCode();
        }
        int sequence = hash & 0x7fffffff;
        return new Snapshot(List.copyOf(members), sequence == 0 ? 1 : sequence, text.toString());
    }

    Snapshot current() {
        if (file != null && System.currentTimeMillis() >= nextCheck) {
            reload();
        }
        return snapshot;
    }

    private synchronized void reload() {
        nextCheck = System.currentTimeMillis() + RECHECK_MS;
        try {
            long time = Files.getLastModifiedTime(file).toMillis();
            long size = Files.size(file);
            if (time == fileTime && size == fileSize) {
                return;
            }
            List<String> members = PropsText.values(new String(Files.readAllBytes(file), StandardCharsets.UTF_8));
            for (int i = 0; i < members.size(); i++) {
                members.set(i, members.get(i).trim());
                ConnectorSettings.checkMember("membersFile", members.get(i));
            }
            fileTime = time;
            fileSize = size;
            snapshot = snapshotOf(members);
        } catch (IOException e) {
            log.warn(sm.getString("protocol.membersFile.read", file, e.toString()));
        } catch (IllegalArgumentException e) {
            log.warn(sm.getString("protocol.membersFile.bad", file, e.getMessage()));
        }
    }
}
