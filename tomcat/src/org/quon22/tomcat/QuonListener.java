package org.quon22.tomcat;

import java.beans.PropertyChangeEvent;
import java.beans.PropertyChangeListener;
import java.util.List;

import org.apache.catalina.Container;
import org.apache.catalina.ContainerEvent;
import org.apache.catalina.ContainerListener;
import org.apache.catalina.Context;
import org.apache.catalina.Engine;
import org.apache.catalina.Host;
import org.apache.catalina.Lifecycle;
import org.apache.catalina.LifecycleEvent;
import org.apache.catalina.LifecycleListener;
import org.apache.catalina.Manager;
import org.apache.catalina.Service;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.session.ManagerBase;
import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;
import org.apache.tomcat.util.res.StringManager;

/**
 * {@code <Listener className="org.quon22.tomcat.QuonListener"/>} in the Engine (or a
 * Host). A protocol handler has no public way to the hosts and contexts, so this listener
 * gives them to the Quon connectors of its Service (for "servlet-mappings"), and puts a
 * QuonSessionIdGenerator with the connector's repId and buddies into every context's
 * session manager before the manager starts: the manager Tomcat makes, the one a
 * context.xml names, and a cluster's DeltaManager or BackupManager alike.
 */
public class QuonListener implements LifecycleListener, ContainerListener, PropertyChangeListener {

    private static final Log log = LogFactory.getLog(QuonListener.class);
    private static final StringManager sm = StringManager.getManager(QuonListener.class);

    private volatile String repId;
    private volatile List<String> buddies = List.of();

    @Override
    public void lifecycleEvent(LifecycleEvent event) {
        Lifecycle source = event.getLifecycle();
        if (source instanceof Context context) {
            if (Lifecycle.BEFORE_START_EVENT.equals(event.getType())) {
                install(context.getManager());
            }
            return;
        }
        if (!Lifecycle.BEFORE_START_EVENT.equals(event.getType())) {
            return;
        }
        if (source instanceof Engine engine) {
            setUp(engine, engine);
            for (Container host : engine.findChildren()) {
                watchHost((Host) host);
            }
        } else if (source instanceof Host host) {
            setUp((Engine) host.getParent(), host);
            watchHost(host);
        } else {
            log.warn(sm.getString("listener.container", source));
        }
    }

    /** Hands top to the Service's Quon connectors and takes the ids for the sessions. */
    private void setUp(Engine engine, Container top) {
        Service service = engine == null ? null : engine.getService();
        if (service == null) {
            return;
        }
        for (Connector connector : service.findConnectors()) {
            if (connector.getProtocolHandler() instanceof QuonNioProtocol protocol) {
                protocol.setContainer(top);
                ConnectorSettings settings = protocol.settings();
                if (repId == null) {
                    repId = settings.repId;
                    buddies = ConnectorSettings.split(settings.buddies);
                } else if (!repId.equals(settings.repId)) {
                    log.warn(sm.getString("listener.repIds", repId));
                }
            }
        }
        String route = engine.getJvmRoute();
        if (repId != null && route != null && !route.isEmpty()) {
            log.warn(sm.getString("listener.jvmRoute", route, repId));
        }
    }

    private void watchHost(Host host) {
        host.addContainerListener(this);
        for (Container child : host.findChildren()) {
            watchContext((Context) child);
        }
    }

    private void watchContext(Context context) {
        context.addLifecycleListener(this);
        context.addPropertyChangeListener(this);
        install(context.getManager());
    }

    @Override
    public void containerEvent(ContainerEvent event) {
        if (Container.ADD_CHILD_EVENT.equals(event.getType()) && event.getData() instanceof Context context) {
            watchContext(context);
        } else if (Container.REMOVE_CHILD_EVENT.equals(event.getType()) && event.getData() instanceof Context context) {
            context.removeLifecycleListener(this);
            context.removePropertyChangeListener(this);
        }
    }

    /** A context is given its manager while it starts, before the manager starts. */
    @Override
    public void propertyChange(PropertyChangeEvent event) {
        if ("manager".equals(event.getPropertyName()) && event.getNewValue() instanceof Manager manager) {
            install(manager);
        }
    }

    private void install(Manager manager) {
        String id = repId;
        if (id == null || !(manager instanceof ManagerBase base) ||
                base.getSessionIdGenerator() instanceof QuonSessionIdGenerator) {
            return;
        }
        base.setSessionIdGenerator(new QuonSessionIdGenerator(id, buddies));
        if (log.isDebugEnabled()) {
            log.debug(sm.getString("listener.generator", manager.getContext() == null ? "" : manager.getContext().getName(), id));
        }
    }
}
