package org.quon22.tomcat;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.util.List;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The property text we write, the members files we read, and the mapping patterns. */
class PropertiesTest {

    @ParameterizedTest(name = "[{0}] = [{1}]")
    @CsvSource(delimiter = '|', quoteCharacter = '\'', value = {
        "/app/*|/app|'/app/*=/app\n'",
        "k|a\\b|'k=a\\\\b\n'",
        "k|'two\nlines\r'|'k=two lines \n'",
        "k|''|'k=\n'",
        "'#k'|v|''",
        "a=b|v|''",
        "'a\nb'|v|''",
        "''|v|''"})
    void textIsEscapedForTheConnectorsParser(String key, String value, String line) {
        PropsText text = new PropsText();
        text.add(key, value);
        assertEquals(line, text.toString());
        if (!line.isEmpty()) {
            // What the parser reads back is the value, line ends aside.
            assertEquals(List.of(value.replace('\n', ' ').replace('\r', ' ')), PropsText.values(text.toString()));
        }
    }

    @Test
    void membersFileValuesFollowTheSyntax() {
        // A line that begins with "=" has it as its key's first character: "=c" is the key.
        assertEquals(List.of("a:1", "b:2", "3"),
                PropsText.values("# comment=x\nm1=a:1\r\nno value\nm2=b\\:2\n=c=3\n\u001a\nm4=d:4\n"));
    }

    @Test
    void theSequenceFollowsTheListAndTheFile() throws Exception {
        MemberList.Snapshot a = MemberList.snapshotOf(List.of("h1:1", "h2:2"));
        assertEquals(a.sequence(), MemberList.snapshotOf(List.of("h1:1", "h2:2")).sequence(), "same list, same number");
        assertNotEquals(a.sequence(), MemberList.snapshotOf(List.of("h1:1")).sequence());
        assertTrue(a.sequence() > 0);
        Path file = Files.createTempFile("members", ".properties");
        Files.writeString(file, "m=h1:1\n");
        MemberList list = new MemberList(List.of(), file.toString());
        int first = list.current().sequence();
        Files.writeString(file, "m=h1:1\nm=h2:2\n", StandardCharsets.UTF_8);
        Files.setLastModifiedTime(file, FileTime.fromMillis(System.currentTimeMillis() + 5000));
        Thread.sleep(1100);
        assertEquals(List.of("h1:1", "h2:2"), list.current().members());
        assertNotEquals(first, list.current().sequence());
        Files.writeString(file, "m=not a member\n");
        Files.setLastModifiedTime(file, FileTime.fromMillis(System.currentTimeMillis() + 9000));
        Thread.sleep(1100);
        assertEquals(List.of("h1:1", "h2:2"), list.current().members(), "a bad file leaves the list as it was");
        assertThrows(IllegalArgumentException.class, () -> new MemberList(List.of(), file.toString()));
        Files.delete(file);
    }

    @ParameterizedTest(name = "{0} {1} servlets={2}")
    @CsvSource(delimiter = '|', value = {
        "/app|/,*.jsp,/s/*,/exact,|false|/app/*",
        "/app|/,*.jsp,/s/*,/exact,|true|/app/,/app*.jsp,/app/exact,/app/s/*",
        "''|/,*.jsp|true|*.jsp",
        "/v|/|true|''"})
    void patternsFromServletMappings(String path, String mappings, boolean servlets, String expected) {
        String[] servletMappings = mappings.split(",", -1);
        List<String> want = expected.isEmpty() ? List.of() : List.of(expected.split(","));
        assertEquals(want, Mappings.patterns(path, servletMappings, servlets));
    }

    @ParameterizedTest(name = "named [{0}] excluded [{1}]: {2} -> {3}")
    @CsvSource(delimiter = '|', value = {
        "''|''|/app|true",
        "''|''|''|false",
        "''|''|/manager|false",
        "''|''|/host-manager|false",
        "''|/app|/app|false",
        "/,/manager|''|''|true",
        "ROOT|''|''|true",
        "/manager|''|/manager|true",
        "/manager|''|/app|false"})
    void whatIsAnnounced(String named, String excluded, String path, boolean announced) {
        Mappings m = new Mappings(ConnectorSettings.split(named), ConnectorSettings.split(excluded), false);
        assertEquals(announced, m.announced(path));
    }
}
