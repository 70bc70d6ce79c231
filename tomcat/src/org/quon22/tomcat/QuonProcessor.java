package org.quon22.tomcat;

import java.io.EOFException;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.security.cert.X509Certificate;

import jakarta.servlet.ServletConnection;

import org.apache.catalina.Context;
import org.apache.catalina.connector.CoyoteAdapter;
import org.apache.coyote.AbstractProcessor;
import org.apache.coyote.ActionCode;
import org.apache.coyote.Adapter;
import org.apache.coyote.ContinueResponseTiming;
import org.apache.coyote.ErrorState;
import org.apache.coyote.InputBuffer;
import org.apache.coyote.OutputBuffer;
import org.apache.coyote.RequestInfo;
import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;
import org.apache.tomcat.util.ExceptionUtils;
import org.apache.tomcat.util.buf.ByteChunk;
import org.apache.tomcat.util.http.MimeHeaders;
import org.apache.tomcat.util.net.AbstractEndpoint.Handler.SocketState;
import org.apache.tomcat.util.net.ApplicationBufferHandler;
import org.apache.tomcat.util.net.SocketWrapperBase;
import org.apache.tomcat.util.res.StringManager;

/**
 * Serves one connection of the connector: pings, property sets and request exchanges,
 * one at a time, until the connection closes. One processor per connection, recycled
 * between exchanges; its buffers are allocated once.
 */
public class QuonProcessor extends AbstractProcessor {

    private static final Log log = LogFactory.getLog(QuonProcessor.class);
    private static final StringManager sm = StringManager.getManager(QuonProcessor.class);
    /** Longest property-set name a connector asks for. */
    private static final int MAX_SET_NAME = 256;
    private static final byte[] NO_REASON = new byte[0];

    private final QuonNioProtocol protocol;
    private final WireInput input;
    private final WireOutput output;
    private final ServiceMessage message;
    private final ByteChunk replayBody = new ByteChunk();

    private boolean exchangeOpen;
    private boolean responseFinished;
    private boolean swallowResponse;
    private boolean endOfStream;
    private boolean replay;
    /** Body bytes still to come when the length is known; -1 unknown; -2 not asked yet. */
    private long bodyLeft = -2;
    /** A body chunk fetched and not yet handed out: where it is in the input buffer. */
    private int pendingAt;
    private int pendingCount;
    private long bytesWritten;
    private SocketWrapperBase<?> currentSocket;

    public QuonProcessor(QuonNioProtocol protocol, Adapter adapter) {
        super(adapter);
        this.protocol = protocol;
        ConnectorSettings settings = protocol.settings();
        int maxMessage = settings.maxMessageValue();
        input = new WireInput(maxMessage + 8 + Constants.POST_DATA_MAX + 16);
        input.setSource((block, b, off, len) -> socketWrapper.read(block, b, off, len));
        output = new WireOutput(16384);
        output.setSink(new WireOutput.Sink() {
            @Override
            public void write(byte[] b, int off, int len) throws IOException {
                socketWrapper.write(true, b, off, len);
            }

            @Override
            public void write(ByteBuffer bytes) throws IOException {
                socketWrapper.write(true, bytes);
            }

            @Override
            public void flush() throws IOException {
                socketWrapper.flush(true);
            }
        });
        message = new ServiceMessage(input.buffer(), settings.maxAttributesValue(), protocol.getMaxHeaderCount(),
                settings.tomcatAuthenticationValue());
        request.setInputBuffer(new BodyInput());
        response.setOutputBuffer(new BodyOutput());
    }

    @Override
    public SocketState service(SocketWrapperBase<?> socket) throws IOException {
        RequestInfo rp = request.getRequestProcessor();
        rp.setStage(org.apache.coyote.Constants.STAGE_PARSE);
        this.socketWrapper = socket;
        if (socket != currentSocket) {
            input.reset();
            output.reset();
            currentSocket = socket;
        }
        boolean close = false;
        boolean partial = false;
        while (!close && !getErrorState().isError() && !protocol.isPaused()) {
            boolean inMessage = false;
            try {
                // A message is taken only once it is here whole; for the rest of one, the
                // connection waits in the poller (up to connectionTimeout), not a thread.
                if (!input.fillMessage(protocol.settings().maxMessageValue(), MAX_SET_NAME)) {
                    partial = input.buffered() > 0;
                    socketWrapper.setReadTimeout(partial ? protocol.getConnectionTimeout() : protocol.getKeepAliveTimeout());
                    break;
                }
                inMessage = true;
                socketWrapper.setReadTimeout(protocol.getConnectionTimeout());
                int code = input.readInt();
                if (code == Constants.PROXY_PING) {
                    continue;
                }
                if (code == Constants.PROXY_GET_PROPS) {
                    serveProps();
                    continue;
                }
                if (code != Constants.PROXY_SERVICE_40) {
                    log.info(sm.getString("processor.unknownCode", socketWrapper.getRemoteAddr(), Integer.valueOf(code)));
                    setErrorState(ErrorState.CLOSE_CONNECTION_NOW, null);
                    break;
                }
                int length = input.readServiceMessage(protocol.settings().maxMessageValue());
                request.markStartTime();
                exchangeOpen = true;
                message.decode(8, length, request);
            } catch (WireException e) {
                log.info(sm.getString("processor.badInput", socketWrapper.getRemoteAddr(), e.getMessage()));
                setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
                break;
            } catch (IOException e) {
                // A close between messages is ordinary; one inside a message (cut short,
                // or never finished within connectionTimeout) is worth a line.
                if (inMessage || input.buffered() > 0) {
                    log.info(sm.getString("processor.cut", socketWrapper.getRemoteAddr(), e.toString()));
                } else if (log.isDebugEnabled()) {
                    log.debug(sm.getString("processor.closed", socketWrapper.getRemoteAddr(), e.toString()));
                }
                setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
                break;
            }
            serveRequest(rp);
            if (isAsync() && !getErrorState().isError()) {
                break;
            }
            close = endRequest(rp);
            // Apache sends its next message only once it has read FINISH, so a read now
            // would almost always find nothing: the poller wakes the connection instead
            // (at once when the next message is already there).
            if (!close && input.buffered() == 0) {
                break;
            }
        }
        rp.setStage(org.apache.coyote.Constants.STAGE_ENDED);
        if (close || getErrorState().isError() || protocol.isPaused()) {
            return SocketState.CLOSED;
        }
        // LONG keeps this processor, and the part of a message in its buffer, with the
        // connection; OPEN hands an idle connection back to the poller alone.
        return isAsync() || partial ? SocketState.LONG : SocketState.OPEN;
    }

    /** The request is decoded: prepare it, run it through the container, end it. */
    private void serveRequest(RequestInfo rp) {
        rp.setStage(org.apache.coyote.Constants.STAGE_PREPARE);
        prepareRequest();
        String refusal = protocol.refusal();
        if (refusal != null) {
            busy(refusal);
            return;
        }
        if (getErrorState().isIoAllowed()) {
            protocol.requestStarted();
            try {
                rp.setStage(org.apache.coyote.Constants.STAGE_SERVICE);
                getAdapter().service(request, response);
            } catch (InterruptedIOException e) {
                setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
            } catch (Throwable t) {
                ExceptionUtils.handleThrowable(t);
                log.error(sm.getString("processor.request.process"), t);
                response.setStatus(500);
                setErrorState(ErrorState.CLOSE_CLEAN, t);
                getAdapter().log(request, response, 0);
            } finally {
                protocol.requestEnded();
            }
        }
    }

    /** Ends the exchange; true when the connection must close (recycling forgets why). */
    private boolean endRequest(RequestInfo rp) {
        if (!responseFinished && getErrorState().isIoAllowed()) {
            try {
                action(ActionCode.COMMIT, null);
                finishResponse();
            } catch (IOException e) {
                setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
            } catch (Throwable t) {
                ExceptionUtils.handleThrowable(t);
                setErrorState(ErrorState.CLOSE_NOW, t);
            }
        }
        boolean close = getErrorState().isError();
        if (close) {
            response.setStatus(500);
        }
        request.updateCounters();
        rp.setStage(org.apache.coyote.Constants.STAGE_KEEPALIVE);
        socketWrapper.setReadTimeout(protocol.getKeepAliveTimeout());
        recycle();
        return close;
    }

    private void prepareRequest() {
        if (socketWrapper != null) {
            request.peerAddr().setString(socketWrapper.getRemoteAddr());
        }
        MimeHeaders headers = request.getMimeHeaders();
        parseHost(headers.getValue("host"));
    }


    /** A props exchange: the set's text, the cluster number with the members, FINISH. */
    private void serveProps() throws IOException {
        int n = input.readLength(MAX_SET_NAME, "PROXY_GET_PROPS name");
        int at = input.take(n);
        String name = new String(input.buffer(), at, n, StandardCharsets.ISO_8859_1);
        if (log.isDebugEnabled()) {
            log.debug(sm.getString("processor.props", name));
        }
        switch (name) {
            case Constants.SERVER_PROPS:
                output.code(Constants.PROXY_PUT_PROPS);
                output.string(protocol.settings().serverProps());
                break;
            case Constants.SERVLET_MAPPINGS:
                output.code(Constants.PROXY_PUT_PROPS);
                output.string(protocol.mappingsText());
                break;
            case Constants.CLUSTERED_SERVERS:
                MemberList.Snapshot members = protocol.members();
                output.code(Constants.PROXY_PUT_PROPS);
                output.string(members.text());
                output.codeAndInt(Constants.PROXY_PUT_CLUSTER_SEQ, members.sequence());
                break;
            default:
                // A set we do not know: FINISH alone, as for an empty set.
                break;
        }
        output.code(Constants.PROXY_FINISH);
        output.flush();
    }

    /** PROXY_BUSY ends the exchange as failed; the connector tries another server. */
    private void busy(String why) {
        if (log.isDebugEnabled()) {
            log.debug(sm.getString("processor.busy", request.requestURI(), why));
        }
        swallowResponse = true;
        responseFinished = true;
        response.setCommitted(true);
        try {
            output.reset();
            output.code(Constants.PROXY_BUSY);
            output.flush();
        } catch (IOException e) {
            // the connection closes all the same
        }
        setErrorState(ErrorState.CLOSE_CONNECTION_NOW, null);
    }

    /**
     * Why the response about to start should rather be PROXY_BUSY: the application is
     * stopped, paused or unavailable (Tomcat answers 503), or it was announced a moment
     * ago and is gone now (undeployed, or between the two halves of a redeployment):
     * the connector's mappings are then behind, and another server may serve the
     * request. A path that has not been ours for a while gets Tomcat's own answer.
     */
    private String applicationGone() {
        int status = response.getStatus();
        if (status != 503 && status != 404) {
            return null;
        }
        Object note = request.getNote(CoyoteAdapter.ADAPTER_NOTES);
        if (!(note instanceof org.apache.catalina.connector.Request servletRequest)) {
            return null;
        }
        Context context = servletRequest.getContext();
        if (context != null && (!context.getState().isAvailable() || context.getPaused())) {
            return "application " + context.getName() + " unavailable";
        }
        if (context != null && protocol.announces(context.getPath())) {
            return null;
        }
        String uri = servletRequest.getDecodedRequestURI();
        return uri != null && protocol.recentlyAnnounced(uri) ? "application gone from " + uri : null;
    }

    @Override
    protected final void prepareResponse() throws IOException {
        if (!getErrorState().isIoAllowed()) {
            // The stream is broken (bad input, a failed read): nothing more goes out.
            swallowResponse = true;
            response.setCommitted(true);
            return;
        }
        String gone = applicationGone();
        if (gone != null) {
            busy(gone);
            return;
        }
        response.setCommitted(true);
        int status = response.getStatus();
        if (status < 200 || status == 204 || status == 205 || status == 304 || "HEAD".equals(request.getMethod())) {
            swallowResponse = true;
        }
        MimeHeaders headers = response.getMimeHeaders();
        String contentType = response.getContentType();
        if (contentType != null) {
            headers.setValue("Content-Type").setString(contentType);
        }
        String contentLanguage = response.getContentLanguage();
        if (contentLanguage != null) {
            headers.setValue("Content-Language").setString(contentLanguage);
        }
        long contentLength = response.getContentLengthLong();
        if (contentLength >= 0) {
            headers.setValue("Content-Length").setLong(contentLength);
        }
        // No reason phrase, as from Tomcat's own HTTP connector: an error message the
        // application passed to sendError is the page's, not the status line's.
        output.codeAndInt(Constants.PROXY_PUT_STATUS, status);
        output.string(NO_REASON, 0, 0);
        // One message per header: several Set-Cookie lines and any bytes stay as they are.
        for (int i = 0; i < headers.size(); i++) {
            output.code(Constants.PROXY_PUT_HEADER_VALUE);
            output.string(headers.getName(i));
            output.string(headers.getValue(i));
        }
    }

    @Override
    protected final void finishResponse() throws IOException {
        if (responseFinished) {
            return;
        }
        responseFinished = true;
        if (!getErrorState().isIoAllowed()) {
            // No FINISH after a broken exchange: the connector must see it fail.
            return;
        }
        MemberList.Snapshot members = protocol.members();
        if (!members.members().isEmpty()) {
            output.codeAndInt(Constants.PROXY_PUT_CLUSTER_SEQ, members.sequence());
        }
        // The connector stores a load value as the server's weight: only MIN and MAX
        // compare loads, and with any other algorithm it would replace the weight the
        // operator configured.
        if (protocol.settings().sendsLoad()) {
            output.codeAndInt(Constants.PROXY_PUT_LOAD_VALUE, protocol.busyCount());
        }
        output.code(Constants.PROXY_FINISH);
        output.flush();
        exchangeOpen = false;
    }

    @Override
    protected final void flush() throws IOException {
        if (!responseFinished && getErrorState().isIoAllowed()) {
            output.flush();
        }
    }

    @Override
    protected boolean flushBufferedWrite() throws IOException {
        return false;
    }

    @Override
    protected SocketState dispatchEndRequest() {
        socketWrapper.setReadTimeout(protocol.getKeepAliveTimeout());
        recycle();
        return protocol.isPaused() ? SocketState.CLOSED : SocketState.OPEN;
    }

    @Override
    public void recycle() {
        getAdapter().checkRecycled(request, response);
        super.recycle();
        request.recycle();
        response.recycle();
        message.recycle();
        input.release();
        replayBody.recycle();
        exchangeOpen = false;
        responseFinished = false;
        swallowResponse = false;
        endOfStream = false;
        replay = false;
        bodyLeft = -2;
        pendingCount = 0;
        bytesWritten = 0;
    }

    @Override
    public void pause() {
        // Nothing to do: the loop ends after the exchange at hand.
    }

    // ---------------------------------------------------------------- request body

    /**
     * Asks the connector for the next piece of the body, which then waits in the input
     * buffer as the pending chunk. The answer is bounded by what was asked; 0 ends the
     * body; a negative count is Apache's failed read of the client. A known length is
     * never asked past its end, so a body with a length costs no closing round trip.
     */
    private void fetchBody() throws IOException {
        try {
            if (bodyLeft == -2) {
                bodyLeft = request.getContentLengthLong();
            }
            if (bodyLeft == 0) {
                endOfStream = true;
                return;
            }
            int want = bodyLeft > 0 && bodyLeft < Constants.POST_DATA_MAX ? (int) bodyLeft : Constants.POST_DATA_MAX;
            output.codeAndInt(Constants.PROXY_GET_DATA, want);
            output.flush();
            int code = input.readInt();
            if (code != Constants.PROXY_POST_DATA) {
                throw new WireException("code " + code + " where PROXY_POST_DATA belongs");
            }
            int count = input.readInt();
            if (count < 0) {
                throw new EOFException("the client's body could not be read");
            }
            if (count > want) {
                throw new WireException("PROXY_POST_DATA of " + count + " bytes where " + want + " were asked");
            }
            if (count == 0) {
                endOfStream = true;
                return;
            }
            pendingAt = input.take(count);
            pendingCount = count;
            if (bodyLeft > 0) {
                bodyLeft -= count;
            }
        } catch (WireException e) {
            log.info(sm.getString("processor.badInput", socketWrapper.getRemoteAddr(), e.getMessage()));
            setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
            throw e;
        } catch (IOException e) {
            setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
            throw e;
        }
    }

    private class BodyInput implements InputBuffer {
        @Override
        public int doRead(ApplicationBufferHandler handler) throws IOException {
            if (replay) {
                if (replayBody.getLength() == 0) {
                    return -1;
                }
                handler.setByteBuffer(ByteBuffer.wrap(replayBody.getBytes(), replayBody.getStart(), replayBody.getLength()));
                int n = replayBody.getLength();
                replayBody.recycle();
                return n;
            }
            if (pendingCount == 0 && !endOfStream) {
                fetchBody();
            }
            if (pendingCount == 0) {
                return -1;
            }
            int n = pendingCount;
            handler.setByteBuffer(ByteBuffer.wrap(input.buffer(), pendingAt, n));
            pendingCount = 0;
            return n;
        }

        @Override
        public int available() {
            return replay ? replayBody.getLength() : pendingCount;
        }
    }

    // -------------------------------------------------------------- response body

    private class BodyOutput implements OutputBuffer {
        @Override
        public int doWrite(ByteBuffer chunk) throws IOException {
            if (!response.isCommitted()) {
                prepareResponse();
            }
            int n = chunk.remaining();
            if (swallowResponse || n == 0 || !getErrorState().isIoAllowed()) {
                chunk.position(chunk.limit());
                return n;
            }
            try {
                output.client(chunk);
            } catch (IOException e) {
                setErrorState(ErrorState.CLOSE_CONNECTION_NOW, e);
                throw e;
            }
            bytesWritten += n;
            return n;
        }

        @Override
        public long getBytesWritten() {
            return bytesWritten;
        }
    }

    // ------------------------------------------------------- the rest of coyote's API

    @Override
    protected final void ack(ContinueResponseTiming continueResponseTiming) {
        // Apache answers 100-continue itself.
    }

    @Override
    protected void earlyHints() {
        // Not carried by the protocol.
    }

    /**
     * With doRead, a non-blocking reader (a ReadListener) is about to be told whether
     * data is ready: the body is only ever sent when asked for, so it is asked for now.
     */
    @Override
    protected final int available(boolean doRead) {
        if (replay) {
            return replayBody.getLength();
        }
        if (doRead && pendingCount == 0 && !endOfStream) {
            try {
                fetchBody();
            } catch (IOException e) {
                // The reader's next read meets the failure.
                return 1;
            }
        }
        return pendingCount;
    }

    @Override
    protected final void setRequestBody(ByteChunk body) {
        replayBody.setBytes(body.getBytes(), body.getStart(), body.getLength());
        request.setContentLength(body.getLength());
        replay = true;
    }

    @Override
    protected final void setSwallowResponse() {
        swallowResponse = true;
    }

    @Override
    protected final void disableSwallowRequest() {
        // The connector never pushes a body: nothing is swallowed.
    }

    @Override
    protected final boolean getPopulateRequestAttributesFromSocket() {
        // The socket's addresses are Apache's; the client's came in the message.
        return false;
    }

    @Override
    protected final void populateRequestAttributeRemoteHost() {
        // No name lookup: the connector sends REMOTE_HOST when Apache has one.
        if (request.remoteHost().isNull()) {
            request.remoteHost().setString(request.remoteAddr().toString());
        }
    }

    @Override
    protected void populateHost() {
        try {
            request.serverName().duplicate(request.localName());
        } catch (IOException e) {
            response.setStatus(400);
            setErrorState(ErrorState.CLOSE_CLEAN, e);
        }
    }

    @Override
    protected void populatePort() {
        request.setServerPort(request.getLocalPort());
    }

    @Override
    protected final void populateSslRequestAttributes() {
        X509Certificate[] chain = ClientCertificates.parse(message.certificates());
        if (chain != null) {
            request.setAttribute(Constants.CERTIFICATE, chain);
        }
    }

    @Override
    protected final boolean isRequestBodyFullyRead() {
        return endOfStream;
    }

    @Override
    protected final void registerReadInterest() {
        socketWrapper.registerReadInterest();
    }

    @Override
    protected final boolean isReadyForWrite() {
        return true;
    }

    @Override
    protected boolean isTrailerFieldsReady() {
        return true;
    }

    @Override
    protected Log getLog() {
        return log;
    }

    @Override
    protected ServletConnection getServletConnection() {
        return socketWrapper.getServletConnection("quon", "");
    }

    boolean exchangeOpen() {
        return exchangeOpen;
    }
}
