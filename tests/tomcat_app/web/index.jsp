<%@ page contentType="text/plain" %>jsp says <%= 6 * 7 %> from <%= System.getProperty("quon.test.name") %>
