"""Fails unless each wheel's engine looks for the system trust store at the
default locations only: a wheel for users must never carry a test store."""

import re
import sys
import zipfile

DEFAULT = [
    b"/etc/ssl/certs/ca-certificates.crt",
    b"/etc/pki/tls/certs/ca-bundle.crt",
    b"/etc/ssl/ca-bundle.pem",
    b"/etc/ssl/cert.pem",
]

status = 0
for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as wheel:
        engines = [n for n in wheel.namelist() if re.fullmatch(r"tarnix/_tarnix\..*so", n)]
        if len(engines) != 1:
            print(f"{path}: expected one engine module, found {engines}", file=sys.stderr)
            status = 1
            continue
        binary = wheel.read(engines[0])
    # The candidate paths are NUL-terminated string literals.
    stores = re.findall(rb"(/[\x21-\x7e]+\.(?:pem|crt))\x00", binary)
    # A release wheel's own OpenSSL names its default store under a directory
    # that cannot exist; the engine never asks OpenSSL for it.
    stores = [s for s in stores if not s.startswith(b"/proc/tarnix-openssl/")]
    if sorted(stores) != sorted(DEFAULT):
        print(f"{path}: trust store paths {stores} are not the defaults", file=sys.stderr)
        status = 1
sys.exit(status)
