<%@ page contentType="text/plain;charset=UTF-8" %>a JSP on <%= System.getProperty("quon.demo.name") %>: 6 x 7 = <%= 6 * 7 %>
