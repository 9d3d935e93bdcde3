"""What the tests share. server: the listener every test server builds on
(one accept loop, one request-head reader); scripted, http_server and
tls_servers: the servers built on it; pki: the one certificate factory;
engine: driving the binding directly; client: child interpreters, a
coroutine runner and a Session of either client kind. Fixtures are in
conftest.py (shared) and live/conftest.py (servers)."""
