package org.quon22.tomcat;

import java.util.concurrent.atomic.AtomicInteger;

import org.apache.catalina.Container;
import org.apache.coyote.AbstractProtocol;
import org.apache.coyote.Processor;
import org.apache.coyote.UpgradeProtocol;
import org.apache.coyote.UpgradeToken;
import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;
import org.apache.tomcat.util.net.NioChannel;
import org.apache.tomcat.util.net.NioEndpoint;
import org.apache.tomcat.util.net.SSLHostConfig;
import org.apache.tomcat.util.net.SocketWrapperBase;
import org.apache.tomcat.util.res.StringManager;

/**
 * The connector's protocol over Tomcat's NIO endpoint:
 * {@code <Connector protocol="org.quon22.tomcat.QuonNioProtocol" port="7001" repId="SRV1"/>}.
 * Wiring and attributes only; QuonProcessor serves the connections.
 *
 * maxConnections is counted here, not by the endpoint alone: the endpoint accepts a
 * quarter more (at least 16), and a request that arrives while more than maxConnections
 * are open is answered PROXY_BUSY and its connection closed, so the connector fails over
 * at once instead of waiting in the accept queue.
 */
public class QuonNioProtocol extends AbstractProtocol<NioChannel> {

    private static final Log log = LogFactory.getLog(QuonNioProtocol.class);
    private static final StringManager sm = StringManager.getManager(QuonNioProtocol.class);
    /** Tomcat's own default for maxConnections. */
    private static final int DEFAULT_MAX_CONNECTIONS = 8192;

    private final ConnectorSettings settings = new ConnectorSettings();
    private final AtomicInteger busy = new AtomicInteger();
    private volatile Container container;
    private volatile MemberList members = new MemberList(java.util.List.of(), null);
    private volatile Mappings mappings;
    private int maxConnections = DEFAULT_MAX_CONNECTIONS;

    public QuonNioProtocol() {
        super(new NioEndpoint());
        setConnectionTimeout(60000);
        getEndpoint().setUseSendfile(false);
        setMaxConnections(DEFAULT_MAX_CONNECTIONS);
    }

    @Override
    public void init() throws Exception {
        settings.validate();
        members = new MemberList(settings.memberList(), settings.membersFile);
        mappings = new Mappings(ConnectorSettings.split(settings.mappings),
                ConnectorSettings.split(settings.excludeContexts), settings.announceServlets());
        super.init();
    }

    @Override
    public void start() throws Exception {
        // Again here: a Connector whose init failed is still started when it is added to
        // a running Service, and it must not listen with attributes it refused.
        settings.validate();
        super.start();
        if (container == null) {
            log.warn(sm.getString("protocol.noListener", getName()));
        }
    }

    // ------------------------------------------------------------- for the processor

    ConnectorSettings settings() {
        return settings;
    }

    MemberList.Snapshot members() {
        return members.current();
    }

    String mappingsText() {
        Container top = container;
        return top == null || mappings == null ? "" : mappings.text(top);
    }

    boolean announces(String contextPath) {
        return mappings != null && mappings.announced(contextPath);
    }

    /** A path announced a moment ago: within three mapping checks, 30 s at least. */
    boolean recentlyAnnounced(String uri) {
        long grace = Math.max(30_000L, 3_000L * settings.mapcheckValue());
        return mappings != null && mappings.recentlyAnnounced(uri, grace);
    }

    void requestStarted() {
        busy.incrementAndGet();
    }

    void requestEnded() {
        busy.decrementAndGet();
    }

    /** Requests in the container now: the load value for MIN and MAX. */
    int busyCount() {
        return busy.get();
    }

    /** Why a request must be refused before it starts, or null. */
    String refusal() {
        if (isPaused()) {
            return "connector paused";
        }
        // The endpoint's count holds the slot its acceptor takes before it waits for the
        // next connection: the connections open are one fewer.
        long open = getEndpoint().getConnectionCount() - 1;
        if (maxConnections > 0 && open > maxConnections) {
            if (log.isDebugEnabled()) {
                log.debug(sm.getString("protocol.full", getName(), Long.valueOf(open), Integer.valueOf(maxConnections)));
            }
            return "more than maxConnections open";
        }
        return null;
    }

    /** QuonListener hands over the Engine or Host whose applications are announced. */
    public void setContainer(Container container) {
        this.container = container;
    }

    // ------------------------------------------------------------------ attributes

    @Override
    public void setMaxConnections(int maxConnections) {
        this.maxConnections = maxConnections;
        int endpointLimit = maxConnections <= 0 ? -1 : maxConnections + Math.max(16, maxConnections / 4);
        super.setMaxConnections(endpointLimit);
    }

    @Override
    public int getMaxConnections() {
        return maxConnections;
    }

    public String getRepId() {
        return settings.repId;
    }

    public void setRepId(String value) {
        settings.repId = value;
    }

    public String getWeight() {
        return settings.weight;
    }

    public void setWeight(String value) {
        settings.weight = value;
    }

    public String getAlgorithm() {
        return settings.algorithm;
    }

    public void setAlgorithm(String value) {
        settings.algorithm = value;
    }

    public String getSticky() {
        return settings.sticky;
    }

    public void setSticky(String value) {
        settings.sticky = value;
    }

    public String getMapcheck() {
        return settings.mapcheck;
    }

    public void setMapcheck(String value) {
        settings.mapcheck = value;
    }

    public String getProxyRetryInterval() {
        return settings.proxyRetryInterval;
    }

    public void setProxyRetryInterval(String value) {
        settings.proxyRetryInterval = value;
    }

    public String getBuddies() {
        return settings.buddies;
    }

    public void setBuddies(String value) {
        settings.buddies = value;
    }

    public String getMembers() {
        return settings.members;
    }

    public void setMembers(String value) {
        settings.members = value;
    }

    public String getMembersFile() {
        return settings.membersFile;
    }

    public void setMembersFile(String value) {
        settings.membersFile = value;
    }

    public String getMappings() {
        return settings.mappings;
    }

    public void setMappings(String value) {
        settings.mappings = value;
    }

    public String getExcludeContexts() {
        return settings.excludeContexts;
    }

    public void setExcludeContexts(String value) {
        settings.excludeContexts = value;
    }

    public String getAnnounce() {
        return settings.announce;
    }

    public void setAnnounce(String value) {
        settings.announce = value;
    }

    public String getTomcatAuthentication() {
        return settings.tomcatAuthentication;
    }

    public void setTomcatAuthentication(String value) {
        settings.tomcatAuthentication = value;
    }

    public String getMaxMessageSize() {
        return settings.maxMessageSize;
    }

    public void setMaxMessageSize(String value) {
        settings.maxMessageSize = value;
    }

    public String getMaxAnswerSize() {
        return settings.maxAnswerSize;
    }

    public void setMaxAnswerSize(String value) {
        settings.maxAnswerSize = value;
    }

    public String getMaxAttributes() {
        return settings.maxAttributes;
    }

    public void setMaxAttributes(String value) {
        settings.maxAttributes = value;
    }

    public String getAskRemotePort() {
        return settings.askRemotePort;
    }

    public void setAskRemotePort(String value) {
        settings.askRemotePort = value;
    }

    // ------------------------------------------------------- AbstractProtocol wiring

    @Override
    protected Log getLog() {
        return log;
    }

    @Override
    protected String getNamePrefix() {
        return "quon-nio";
    }

    @Override
    protected String getProtocolName() {
        return "Quon";
    }

    @Override
    protected UpgradeProtocol getNegotiatedProtocol(String name) {
        return null;
    }

    @Override
    protected UpgradeProtocol getUpgradeProtocol(String name) {
        return null;
    }

    @Override
    protected Processor createProcessor() {
        return new QuonProcessor(this, getAdapter());
    }

    @Override
    protected Processor createUpgradeProcessor(SocketWrapperBase<?> socket, UpgradeToken upgradeToken) {
        throw new IllegalStateException("the Quon protocol has no upgrade");
    }

    @Override
    public int getDesiredBufferSize() {
        return 16384;
    }

    // Apache ends TLS; the connection from Apache is plain.
    @Override
    public void addSslHostConfig(SSLHostConfig sslHostConfig) {
        log.warn("Quon connector: TLS is ended by Apache, SSLHostConfig ignored");
    }

    @Override
    public void addSslHostConfig(SSLHostConfig sslHostConfig, boolean replace) {
        addSslHostConfig(sslHostConfig);
    }

    @Override
    public SSLHostConfig[] findSslHostConfigs() {
        return new SSLHostConfig[0];
    }

    @Override
    public void addUpgradeProtocol(UpgradeProtocol upgradeProtocol) {
        log.warn("Quon connector: no upgrade protocols");
    }

    @Override
    public UpgradeProtocol[] findUpgradeProtocols() {
        return new UpgradeProtocol[0];
    }
}
