package org.quon22.tomcat;

import java.nio.charset.StandardCharsets;

import org.apache.coyote.Request;
import org.apache.tomcat.util.buf.MessageBytes;
import org.apache.tomcat.util.http.MimeHeaders;

/**
 * Decodes the items of PROXY_SERVICE_40 into a container request, in place: the
 * request's fields point into the message's bytes, which stay put until the request ends.
 *
 * <pre>
 *  +----------+----------+-------------------------------------------------------------+
 *  | int32 39 | int32 N  | attributes (18), 13 variables, URI (23), [ARG (30)],          |
 *  |          |          | headers (32), [SESSION_ID (42)], END (31) -- N bytes          |
 *  +----------+----------+-------------------------------------------------------------+
 * </pre>
 *
 * Each item is an int32 code and its strings; every string's length is checked against
 * what is left of the message before it is used, and END must be the last four bytes.
 */
public final class ServiceMessage {

    private final byte[] b;
    private int pos;
    private int end;
    private final int maxAttributes;
    private final int maxHeaders;
    private final boolean tomcatAuthentication;
    private final UriEncoder uri = new UriEncoder();

    /** The PEM text of the client's certificates, parsed only when asked for. */
    private final MessageBytes certificates = MessageBytes.newInstance();

    public ServiceMessage(byte[] buffer, int maxAttributes, int maxHeaders, boolean tomcatAuthentication) {
        this.b = buffer;
        this.maxAttributes = maxAttributes;
        this.maxHeaders = maxHeaders;
        this.tomcatAuthentication = tomcatAuthentication;
    }

    public MessageBytes certificates() {
        return certificates;
    }

    public void recycle() {
        certificates.recycle();
    }

    /** Fills request from the items at [start, start + length) of the buffer. */
    public void decode(int start, int length, Request request) throws WireException {
        pos = start;
        end = start + length;
        int code = nextCode();
        int attributes = 0;
        while (code == Constants.SERVICE_ATTRIBUTE) {
            if (++attributes > maxAttributes) {
                throw new WireException("more than " + maxAttributes + " attributes");
            }
            String name = string();
            int at = stringAt();
            attribute(request, name, at, pos - at);
            code = nextCode();
        }
        for (int expected : Constants.VARIABLE_ITEMS) {
            if (code != expected) {
                throw new WireException("item " + code + " where variable item " + expected + " belongs");
            }
            int at = stringAt();
            variable(request, code, at, pos - at);
            code = nextCode();
        }
        if (code != Constants.SERVICE_URI) {
            throw new WireException("item " + code + " where the URI belongs");
        }
        int at = stringAt();
        uri.encode(b, at, pos - at, request.requestURI());
        code = nextCode();
        if (code == Constants.SERVICE_ARG) {
            stringAt();
            code = nextCode();
        }
        code = headers(request, code);
        if (code == Constants.SERVICE_SESSION_ID) {
            stringAt();
            code = nextCode();
        }
        if (code != Constants.SERVICE_END || pos != end) {
            throw new WireException("item " + code + " with " + (end - pos) + " bytes left where the end belongs");
        }
    }

    private int headers(Request request, int code) throws WireException {
        MimeHeaders headers = request.getMimeHeaders();
        int count = 0;
        boolean contentLength = false;
        while (code == Constants.SERVICE_HEADER) {
            if (++count > maxHeaders) {
                throw new WireException("more than " + maxHeaders + " headers");
            }
            int nameAt = stringAt();
            int nameLength = pos - nameAt;
            int valueAt = stringAt();
            MessageBytes value = headers.addValue(b, nameAt, nameLength);
            value.setBytes(b, valueAt, pos - valueAt);
            if (is(nameAt, nameLength, "content-length")) {
                if (contentLength) {
                    throw new WireException("two Content-Length headers");
                }
                contentLength = true;
                try {
                    request.setContentLength(value.getLong());
                } catch (NumberFormatException e) {
                    throw new WireException("Content-Length not a number");
                }
            } else if (is(nameAt, nameLength, "content-type")) {
                request.contentType().setBytes(b, valueAt, pos - valueAt);
            }
            code = nextCode();
        }
        return code;
    }

    private void variable(Request request, int code, int at, int length) throws WireException {
        switch (code) {
            case Constants.SERVICE_QUERY_STRING:
                if (length > 0) {
                    request.queryString().setBytes(b, at, length);
                }
                break;
            case Constants.SERVICE_REQUEST_METHOD:
                if (length == 0) {
                    throw new WireException("no method");
                }
                request.setMethod(b, at, length);
                break;
            case Constants.SERVICE_REMOTE_HOST:
                if (length > 0) {
                    request.remoteHost().setBytes(b, at, length);
                }
                break;
            case Constants.SERVICE_REMOTE_ADDR:
                request.remoteAddr().setBytes(b, at, length);
                break;
            case Constants.SERVICE_SERVER_NAME:
                request.localName().setBytes(b, at, length);
                break;
            case Constants.SERVICE_SERVER_PORT:
                request.setLocalPort(port(at, length));
                break;
            case Constants.SERVICE_SERVER_PROTOCOL:
                request.protocol().setBytes(b, at, length);
                break;
            case Constants.SERVICE_SERVER_PORT_SECURE:
                if (length == 1 && b[at] == '1') {
                    request.scheme().setString("https");
                }
                break;
            case Constants.SERVICE_REMOTE_USER:
                // Apache's user counts only where the operator trusts Apache's login.
                if (!tomcatAuthentication && length > 0) {
                    request.getRemoteUser().setBytes(b, at, length);
                }
                break;
            case Constants.SERVICE_AUTH_TYPE:
                if (!tomcatAuthentication && length > 0) {
                    request.getAuthType().setBytes(b, at, length);
                }
                break;
            default:
                // SCRIPT_NAME, PATH_INFO and PATH_TRANSLATED: the URI item holds the path.
                break;
        }
    }

    private void attribute(Request request, String name, int at, int length) {
        switch (name) {
            case Constants.OLD_CIPHER:
                request.setAttribute(Constants.CIPHER, new String(b, at, length, StandardCharsets.ISO_8859_1));
                break;
            case Constants.OLD_KEY_SIZE:
                request.setAttribute(Constants.KEY_SIZE, Integer.valueOf(port(at, length)));
                break;
            case Constants.OLD_CERTIFICATE:
                certificates.setBytes(b, at, length);
                break;
            case Constants.REMOTE_PORT_ATTRIBUTE:
                request.setRemotePort(port(at, length));
                break;
            default:
                request.setAttribute(name, new String(b, at, length, StandardCharsets.UTF_8));
                break;
        }
    }

    /** A small decimal number (a port, a key size); 0 when the text is none. */
    private int port(int at, int length) {
        int value = 0;
        for (int i = at; i < at + length; i++) {
            int digit = b[i] - '0';
            if (digit < 0 || digit > 9 || value > 99999) {
                return 0;
            }
            value = value * 10 + digit;
        }
        return value;
    }

    private boolean is(int at, int length, String lowerName) {
        if (length != lowerName.length()) {
            return false;
        }
        for (int i = 0; i < length; i++) {
            int c = b[at + i];
            if (c >= 'A' && c <= 'Z') {
                c += 'a' - 'A';
            }
            if (c != lowerName.charAt(i)) {
                return false;
            }
        }
        return true;
    }

    private int nextCode() throws WireException {
        if (end - pos < 4) {
            throw new WireException("message ends inside an item code");
        }
        int code = WireInput.getInt(b, pos);
        pos += 4;
        return code;
    }

    /** Steps over a string and returns where its bytes begin; pos is then its end. */
    private int stringAt() throws WireException {
        int n = nextCode();
        if (n < 0 || n > end - pos) {
            throw new WireException("string of " + n + " bytes with " + (end - pos) + " left");
        }
        int at = pos;
        pos += n;
        return at;
    }

    private String string() throws WireException {
        int at = stringAt();
        return new String(b, at, pos - at, StandardCharsets.UTF_8);
    }
}
