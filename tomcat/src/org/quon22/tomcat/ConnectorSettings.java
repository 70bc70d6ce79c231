package org.quon22.tomcat;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

import org.apache.tomcat.util.res.StringManager;

/**
 * The Connector attributes of the connector's protocol, kept as the operator wrote them
 * and checked together by validate(). Tomcat only warns about an attribute it cannot set
 * (a number that is no number never reaches an int setter), so numbers arrive as text
 * and a bad value stops the connector here, with a message naming the attribute.
 */
public final class ConnectorSettings {

    private static final StringManager sm = StringManager.getManager(ConnectorSettings.class);
    /** Most buddies one session id names. */
    static final int MAX_BUDDIES = 8;

    public String repId = "";
    public String weight = Integer.toString(Constants.DEFAULT_WEIGHT);
    public String algorithm = Constants.DEFAULT_ALGORITHM;
    public String sticky = "true";
    public String mapcheck = Integer.toString(Constants.DEFAULT_MAPCHECK);
    public String proxyRetryInterval = Integer.toString(Constants.DEFAULT_PROXY_RETRY_INTERVAL);
    public String buddies = "";
    public String members = "";
    public String membersFile = "";
    public String mappings = "";
    public String excludeContexts = "";
    public String announce = "context";
    public String tomcatAuthentication = "true";
    public String maxMessageSize = Integer.toString(Constants.DEFAULT_MAX_MESSAGE_SIZE);
    public String maxAttributes = Integer.toString(Constants.DEFAULT_MAX_ATTRIBUTES);

    // What validate() made of them.
    private List<String> buddyList = Collections.emptyList();
    private List<String> memberList = Collections.emptyList();
    private int weightValue;
    private int mapcheckValue;
    private int retryValue;
    private int maxMessageValue;
    private int maxAttributesValue;

    /** Checks every attribute; the first bad one throws, naming itself. */
    public void validate() {
        checkId("repId", repId, false);
        weightValue = number("weight", weight, 0, 1_000_000);
        if (!List.of(Constants.ALGORITHMS).contains(algorithm)) {
            throw bad("algorithm", algorithm);
        }
        bool("sticky", sticky);
        mapcheckValue = number("mapcheck", mapcheck, 0, 86400);
        retryValue = number("proxyRetryInterval", proxyRetryInterval, 0, 86400);
        buddyList = split(buddies);
        if (buddyList.size() > MAX_BUDDIES) {
            throw bad("buddies", buddies);
        }
        for (String buddy : buddyList) {
            checkId("buddies", buddy, true);
        }
        if (!members.isEmpty() && !membersFile.isEmpty()) {
            throw bad("membersFile", membersFile);
        }
        memberList = split(members);
        for (String member : memberList) {
            checkMember("members", member);
        }
        if (!announce.equals("context") && !announce.equals("servlets")) {
            throw bad("announce", announce);
        }
        bool("tomcatAuthentication", tomcatAuthentication);
        maxMessageValue = number("maxMessageSize", maxMessageSize, 1024, 16 << 20);
        maxAttributesValue = number("maxAttributes", maxAttributes, 0, 4096);
    }

    /**
     * A replication id: four letters, digits, "-" or "_", without "TR" (which opens the
     * buddy list of a session id). A buddy may begin with "*": any server then serves.
     */
    static void checkId(String attribute, String id, boolean buddy) {
        if (id == null || id.length() != 4 || id.contains("TR")) {
            throw bad(attribute, id);
        }
        for (int i = 0; i < 4; i++) {
            char c = id.charAt(i);
            boolean ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || (buddy && i == 0 && c == '*');
            if (!ok) {
                throw bad(attribute, id);
            }
        }
    }

    /** host:port, the host a name or an IPv4 address, the port 1 to 65535. */
    static void checkMember(String attribute, String member) {
        int colon = member.lastIndexOf(':');
        if (colon <= 0) {
            throw bad(attribute, member);
        }
        for (int i = 0; i < colon; i++) {
            char c = member.charAt(i);
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-')) {
                throw bad(attribute, member);
            }
        }
        number(attribute, member.substring(colon + 1), 1, 65535);
    }

    static int number(String attribute, String text, int min, int max) {
        try {
            int value = Integer.parseInt(text.trim());
            if (value >= min && value <= max) {
                return value;
            }
        } catch (NumberFormatException | NullPointerException e) {
            // reported below
        }
        throw bad(attribute, text);
    }

    static boolean bool(String attribute, String text) {
        if ("true".equals(text)) {
            return true;
        }
        if ("false".equals(text)) {
            return false;
        }
        throw bad(attribute, text);
    }

    /** Comma-separated items, blanks around them ignored; empty items are an error. */
    static List<String> split(String text) {
        List<String> items = new ArrayList<>();
        if (text == null || text.isBlank()) {
            return items;
        }
        for (String item : text.split(",", -1)) {
            items.add(item.trim());
        }
        return items;
    }

    static IllegalArgumentException bad(String attribute, String value) {
        return new IllegalArgumentException(sm.getString("settings.bad", attribute, value));
    }

    public List<String> buddyList() {
        return buddyList;
    }

    public List<String> memberList() {
        return memberList;
    }

    public int weightValue() {
        return weightValue;
    }

    public int mapcheckValue() {
        return mapcheckValue;
    }

    public int retryValue() {
        return retryValue;
    }

    public int maxMessageValue() {
        return maxMessageValue;
    }


    public int maxAttributesValue() {
        return maxAttributesValue;
    }

    public boolean stickyValue() {
        return "true".equals(sticky);
    }

    public boolean tomcatAuthenticationValue() {
        return !"false".equals(tomcatAuthentication);
    }


    public boolean announceServlets() {
        return "servlets".equals(announce);
    }

    /** MIN and MAX compare load values, which then replace the configured weight. */
    public boolean sendsLoad() {
        return "MIN".equals(algorithm) || "MAX".equals(algorithm);
    }

    /** The "server-props" set. */
    public String serverProps() {
        PropsText text = new PropsText();
        text.add("rep_id", repId);
        text.add("weight", Integer.toString(weightValue));
        text.add("algorithm", algorithm);
        text.add("sticky", stickyValue() ? "true" : "false");
        text.add("mapcheck", Integer.toString(mapcheckValue));
        text.add("proxyretryinterval", Integer.toString(retryValue));
        return text.toString();
    }
}
