"""Set-up shared by the unit and the live tests; the helpers they build on
are in the support package (this file puts its folder on sys.path). The
test folders are not packages, so a test file's name must be unique across
unit/ and live/."""

import os

import pytest

# Clients read proxies from the environment: the tests' requests go to
# loopback servers, never to the proxy of the machine they run on.
for _name in [n for n in os.environ if n.lower().endswith("_proxy")]:
    del os.environ[_name]


@pytest.fixture(params=["async", "sync"])
def kind(request):
    """Which client a Session (support.client) is made of."""
    return request.param
