"""What the end-to-end tests share: the program paths from the command line and
one HTTP request to a server on 127.0.0.1."""
import http.client
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "site"))
import demo_site  # noqa: E402,F401  (re-exported for the tests)

SKIP = 77


def take_options(argv, names):
    """Takes `--name PATH` pairs for the given names off the front of argv."""
    options, rest = {}, list(argv)
    while len(rest) >= 2 and rest[0].startswith("--") and rest[0][2:] in names:
        options[rest[0][2:]] = os.path.abspath(rest[1])
        rest = rest[2:]
    return options, rest


def request(port, method, path, body=None, headers=None):
    """Status, content type and body bytes of one request."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()
