package org.quon22.tomcat;

/**
 * Codes and bounds of the connector's protocol. Every number on the wire is an int32 in
 * network byte order; a string is an int32 length N and N bytes (N = 0 is empty and
 * absent alike); every message opens with a code, except the bare strings that answer
 * PROXY_GET_HEADER and PROXY_GET_REALPATH. Only PROXY_SERVICE_40 carries a length word.
 */
public final class Constants {

    private Constants() {
    }

    // Messages. S->C: from us to the connector; C->S: from the connector to us.
    public static final int PROXY_GET_HEADER = 3;         // S->C string name; answer: bare string
    public static final int PROXY_GET_REALPATH = 4;       // S->C string uri; answer: bare string
    public static final int PROXY_PUT_STATUS = 6;         // S->C int32 status, string reason
    public static final int PROXY_PUT_HEADER = 7;         // S->C string "Name: value\r\n"...
    public static final int PROXY_PUT_CLIENT = 8;         // S->C string body bytes
    public static final int PROXY_FINISH = 9;             // S->C exchange ended well
    public static final int PROXY_PING = 12;              // C->S nothing; no answer
    public static final int PROXY_GET_PROPS = 13;         // C->S string set name
    public static final int PROXY_PUT_PROPS = 14;         // S->C string property text
    public static final int PROXY_GET_DATA = 15;          // S->C int32 bytes wanted
    public static final int PROXY_POST_DATA = 16;         // C->S int32 count, count bytes
    public static final int PROXY_SET_ATTRIBUTE = 18;     // S->C string name, string value
    public static final int PROXY_PUT_HEADER_VALUE = 37;  // S->C string name, string value
    public static final int PROXY_BUSY = 38;              // S->C exchange ended as failed
    public static final int PROXY_SERVICE_40 = 39;        // C->S int32 length, items
    public static final int PROXY_PUT_CLUSTER_SEQ = 40;   // S->C int32 sequence number
    public static final int PROXY_PUT_LOAD_VALUE = 41;    // S->C int32 load value

    // Items of PROXY_SERVICE_40, in their order: attributes, the thirteen variables,
    // URI, optional ARG, headers, optional SESSION_ID, END.
    public static final int SERVICE_ATTRIBUTE = 18;
    public static final int SERVICE_QUERY_STRING = 19;
    public static final int SERVICE_REMOTE_HOST = 20;
    public static final int SERVICE_REMOTE_ADDR = 21;
    public static final int SERVICE_REQUEST_METHOD = 22;
    public static final int SERVICE_URI = 23;
    public static final int SERVICE_SERVER_NAME = 24;
    public static final int SERVICE_SERVER_PORT = 25;
    public static final int SERVICE_SERVER_PROTOCOL = 26;
    public static final int SERVICE_PATH_TRANSLATED = 27;
    public static final int SERVICE_PATH_INFO = 28;
    public static final int SERVICE_SCRIPT_NAME = 29;
    public static final int SERVICE_ARG = 30;
    public static final int SERVICE_END = 31;
    public static final int SERVICE_HEADER = 32;
    public static final int SERVICE_SERVER_PORT_SECURE = 33;
    public static final int SERVICE_REMOTE_USER = 34;
    public static final int SERVICE_AUTH_TYPE = 35;
    public static final int SERVICE_SESSION_ID = 42;

    /** The thirteen variables, in the order the message carries them. */
    static final int[] VARIABLE_ITEMS = {
        SERVICE_QUERY_STRING, SERVICE_REQUEST_METHOD, SERVICE_SCRIPT_NAME, SERVICE_PATH_INFO,
        SERVICE_REMOTE_HOST, SERVICE_REMOTE_ADDR, SERVICE_SERVER_NAME, SERVICE_SERVER_PORT,
        SERVICE_SERVER_PROTOCOL, SERVICE_PATH_TRANSLATED, SERVICE_SERVER_PORT_SECURE,
        SERVICE_REMOTE_USER, SERVICE_AUTH_TYPE};

    /** Most request-body bytes one PROXY_POST_DATA may carry, and what we ask for. */
    public static final int POST_DATA_MAX = 40960;

    /** Default for the largest PROXY_SERVICE_40 accepted (the length word's bound). */
    public static final int DEFAULT_MAX_MESSAGE_SIZE = 65536;
    /** Default for the most attributes one request may carry. */
    public static final int DEFAULT_MAX_ATTRIBUTES = 64;
    /** Defaults of the answers of "server-props". */
    public static final int DEFAULT_WEIGHT = 1;
    public static final String DEFAULT_ALGORITHM = "ROUNDROBIN";
    public static final int DEFAULT_MAPCHECK = 10;
    public static final int DEFAULT_PROXY_RETRY_INTERVAL = 10;

    /** The algorithm names the connector reads. */
    static final String[] ALGORITHMS = {
        "ROUNDROBIN", "ROUNDROBIN_WEIGHTED", "MIN", "MAX", "RANDOM_WEIGHTED"};

    /** Names of the property sets. */
    public static final String SERVER_PROPS = "server-props";
    public static final String SERVLET_MAPPINGS = "servlet-mappings";
    public static final String CLUSTERED_SERVERS = "clustered-servers";

    /** Request attributes the connector sends in their old names, and their names now. */
    static final String OLD_CIPHER = "javax.servlet.request.cipher_suite";
    static final String OLD_KEY_SIZE = "javax.servlet.request.key_size";
    static final String OLD_CERTIFICATE = "javax.servlet.request.X509Certificate";
    /** The client's port, which the module sends as an attribute with every request. */
    static final String REMOTE_PORT_ATTRIBUTE = "QUON_REMOTE_PORT";
    static final String CIPHER = "jakarta.servlet.request.cipher_suite";
    static final String KEY_SIZE = "jakarta.servlet.request.key_size";
    static final String CERTIFICATE = "jakarta.servlet.request.X509Certificate";
}
