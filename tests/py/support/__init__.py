"""What the tests share: servers on loopback (server: the base with the one
accept loop and head reader; scripted, http_server, tls_servers built on
it), certificates (pki), the engine's binding (engine) and the public
client (client). Fixtures are in conftest.py."""
