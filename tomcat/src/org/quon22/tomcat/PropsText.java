package org.quon22.tomcat;

import java.util.ArrayList;
import java.util.List;

/**
 * Property text as the connector parses it: one "key=value" line each. A key runs to the
 * first "=", so a key with "=", a line end or NUL in it, or one that starts with "#"
 * (a comment), cannot be written and is left out. In a value a backslash makes the next
 * character literal, so a backslash is written doubled; a line end cannot be escaped, so
 * CR and LF become blanks, and NUL (which would end the text) is dropped.
 */
public final class PropsText {

    private final StringBuilder text = new StringBuilder(256);

    /** Appends key=value; false when the key cannot be written. */
    public boolean add(String key, String value) {
        if (key == null || key.isEmpty() || key.charAt(0) == '#') {
            return false;
        }
        for (int i = 0; i < key.length(); i++) {
            char c = key.charAt(i);
            if (c == '=' || c == '\r' || c == '\n' || c == 0) {
                return false;
            }
        }
        text.append(key).append('=');
        for (int i = 0; value != null && i < value.length(); i++) {
            char c = value.charAt(i);
            if (c == '\\') {
                text.append("\\\\");
            } else if (c == '\r' || c == '\n') {
                text.append(' ');
            } else if (c != 0) {
                text.append(c);
            }
        }
        text.append('\n');
        return true;
    }

    @Override
    public String toString() {
        return text.toString();
    }

    /**
     * The values of a property text, in order: what a members file holds. The same
     * syntax as the connector's parser (comments, lines without "=" skipped, a backslash
     * before any character makes it literal, a Ctrl-Z or NUL at a line's start ends it).
     */
    public static List<String> values(String text) {
        List<String> values = new ArrayList<>();
        int n = text.length();
        int i = 0;
        while (i < n) {
            char c = text.charAt(i);
            if (c == '\r' || c == '\n') {
                i++;
                continue;
            }
            if (c == 0 || c == 0x1a) {
                break;
            }
            int eol = i;
            while (eol < n && text.charAt(eol) != '\n' && text.charAt(eol) != '\r') {
                eol++;
            }
            int eq = text.indexOf('=', i + 1);
            if (c != '#' && eq >= 0 && eq < eol) {
                StringBuilder value = new StringBuilder();
                for (int k = eq + 1; k < eol; k++) {
                    char v = text.charAt(k);
                    if (v == '\\') {
                        if (++k < eol) {
                            value.append(text.charAt(k));
                        }
                    } else {
                        value.append(v);
                    }
                }
                values.add(value.toString());
            }
            i = eol;
        }
        return values;
    }
}
