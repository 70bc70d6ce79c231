package org.quon22.tomcat;

import java.io.IOException;

/** Input from the connector that breaks the protocol: the connection is closed. */
public final class WireException extends IOException {

    private static final long serialVersionUID = 1L;

    public WireException(String message) {
        super(message);
    }
}
