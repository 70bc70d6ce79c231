package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Field;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Connector attributes, and the session ids made from two of them. */
class SettingsTest {

    static ConnectorSettings settings(String attribute, String value) throws Exception {
        ConnectorSettings s = new ConnectorSettings();
        s.repId = "SRV1";
        Field field = ConnectorSettings.class.getField(attribute);
        field.set(s, value);
        return s;
    }

    @ParameterizedTest(name = "{0}=[{1}] ok={2}")
    @CsvSource(delimiter = '|', value = {
        "repId|SRV1|true", "repId|SRV|false", "repId|SRV12|false", "repId|ATRX|false", "repId|S V1|false",
        "repId|''|false", "repId|*RV1|false",
        "buddies|SRV2,SRV3|true", "buddies|' SRV2 , *ANY'|true", "buddies|SRV2,|false", "buddies|SRVTR|false",
        "buddies|TRAB|false", "buddies|A,B|false",
        "buddies|SRV2,SRV3,SRV4,SRV5,SRV6,SRV7,SRV8,SRV9|true",
        "buddies|SRV2,SRV3,SRV4,SRV5,SRV6,SRV7,SRV8,SRV9,SRVA|false",
        "members|127.0.0.2:7001,host-b.example:80|true", "members|127.0.0.2|false", "members|:80|false",
        "members|h:0|false", "members|h:65536|false", "members|h:x|false", "members|h/x:80|false",
        "algorithm|MIN|true", "algorithm|RANDOM_WEIGHTED|true", "algorithm|min|false", "algorithm|LEAST|false",
        "weight|0|true", "weight|-1|false", "weight|1.5|false", "weight|ten|false",
        "mapcheck|0|true", "mapcheck|x|false", "proxyRetryInterval|-5|false", "sticky|false|true", "sticky|no|false",
        "announce|servlets|true", "announce|all|false", "tomcatAuthentication|FALSE|false",
        "maxMessageSize|1023|false", "maxMessageSize|1024|true", "maxMessageSize|16777217|false",
        "maxAttributes|-1|false"})
    void attributesAreCheckedAndNamed(String attribute, String value, boolean ok) throws Exception {
        ConnectorSettings s = settings(attribute, value);
        if (ok) {
            s.validate();
        } else {
            IllegalArgumentException e = assertThrows(IllegalArgumentException.class, s::validate);
            assertTrue(e.getMessage().contains("[" + attribute + "]"), e.getMessage());
        }
    }

    @Test
    void defaultsAnswerServerProps() throws Exception {
        ConnectorSettings s = settings("buddies", "");
        s.validate();
        assertEquals("rep_id=SRV1\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\nmapcheck=10\nproxyretryinterval=10\n",
                s.serverProps());
        assertFalse(s.sendsLoad(), "a load value would replace the weight");
        assertTrue(settings("algorithm", "MAX").sendsLoad());
    }

    @Test
    void sessionIdsNameTheServerAndItsBuddies() {
        QuonSessionIdGenerator generator = new QuonSessionIdGenerator("SRV1", List.of("SRV2", "*ANY"));
        generator.setJvmRoute("route1");
        Set<String> seen = new HashSet<>();
        for (int i = 0; i < 200; i++) {
            String id = generator.generateSessionId();
            assertTrue(id.matches("SRV1[0-9A-F]{32}TRSRV2\\*ANY"), id);
            assertEquals(id.indexOf("TR"), id.length() - 10, "the first TR opens the buddies");
            seen.add(id);
        }
        assertEquals(200, seen.size());
        assertTrue(new QuonSessionIdGenerator("SRV1", List.of()).generateSessionId().matches("SRV1[0-9A-F]{32}"));
        assertThrows(IllegalArgumentException.class, () -> new QuonSessionIdGenerator("SRTR", List.of()));
    }
}
