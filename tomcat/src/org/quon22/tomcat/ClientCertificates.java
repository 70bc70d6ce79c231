package org.quon22.tomcat;

import java.io.ByteArrayInputStream;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.List;

import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;
import org.apache.tomcat.util.buf.ByteChunk;
import org.apache.tomcat.util.buf.MessageBytes;
import org.apache.tomcat.util.res.StringManager;

/**
 * The client's certificates as the connector sends them (the PEM text of Apache's TLS
 * module), parsed only when the application asks for them.
 */
final class ClientCertificates {

    private static final Log log = LogFactory.getLog(ClientCertificates.class);
    private static final StringManager sm = StringManager.getManager(ClientCertificates.class);

    private ClientCertificates() {
    }

    /** The chain, or null when there is none or it cannot be parsed (logged). */
    static X509Certificate[] parse(MessageBytes pem) {
        if (pem.isNull()) {
            return null;
        }
        ByteChunk bytes = pem.getByteChunk();
        List<X509Certificate> chain = new ArrayList<>();
        try {
            CertificateFactory factory = CertificateFactory.getInstance("X.509");
            ByteArrayInputStream in = new ByteArrayInputStream(bytes.getBytes(), bytes.getStart(), bytes.getLength());
            while (!blankTail(in)) {
                chain.add((X509Certificate) factory.generateCertificate(in));
            }
        } catch (CertificateException e) {
            log.error(sm.getString("processor.certs.fail"), e);
            return null;
        }
        return chain.toArray(new X509Certificate[0]);
    }

    /** True when only white space is left (the line end after the last PEM block). */
    private static boolean blankTail(ByteArrayInputStream in) {
        in.mark(0);
        int c;
        do {
            c = in.read();
        } while (c == ' ' || c == '\r' || c == '\n' || c == '\t');
        in.reset();
        return c == -1;
    }
}
