"""HTTP front end: response form, one request per connection, methods, request limits."""

import base64
import os

import pytest

import kvharness as kv
import soapdocs as soap

INDEX = "<html><body>index page</body></html>\n"

pytestmark = pytest.mark.usefixtures("healthy")


@pytest.fixture(scope="module")
def docroot(module_workdir):
    return kv.make_tree(os.path.join(module_workdir, "docroot"), {"index.html": INDEX})


@pytest.fixture(scope="module")
def service(module_services, docroot):
    return module_services.start(["-docroot", docroot])


def assert_still_serving():
    assert kv.request("GET", "/index.html") == kv.expected_response(200, "text/html", INDEX)


def assert_dropped(raw, timeout=10.0):
    """The service closes the connection without sending a single byte."""
    with kv.connect(timeout) as sock:
        kv.send_quietly(sock, raw)
        data, _ = kv.read_until_closed(sock, timeout)
    assert data == b""


# --------------------------------------------------------------------------------------------
# Response form


@pytest.mark.parametrize("raw, status, content_type, body", [
    pytest.param(kv.build_request("GET", "/index.html"), 200, "text/html", INDEX, id="file"),
    pytest.param(kv.build_request("GET", "/index.html", version="1.0",
                                  headers=["Connection: keep-alive"]),
                 200, "text/html", INDEX, id="http10-keep-alive"),
    pytest.param(kv.build_request("GET", "/index.html", headers=["Connection: keep-alive"]),
                 200, "text/html", INDEX, id="http11-keep-alive"),
    pytest.param(kv.build_request("GET", "/nothing-here.html"), 404, "text/plain", kv.NOT_FOUND,
                 id="not-found"),
    pytest.param(b"GET /index.html HTTP/1.1\r\n\r\n", 200, "text/html", INDEX, id="no-host"),
    pytest.param(kv.build_request("GET", "/index.html", body="ignored"), 200, "text/html", INDEX,
                 id="get-with-body"),
    pytest.param(kv.build_request("POST", kv.GATEWAY_PATH), 200, "text/html",
                 soap.SHORT_SERVER_PAGE, id="empty-post"),
])
def test_response_header_form(service, raw, status, content_type, body):
    # Exactly: HTTP/1.1 status line, Connection, Server, Content-Type, Content-Length, body;
    # exchange() returns only once the service has closed the connection.
    assert kv.exchange(raw) == kv.expected_response(status, content_type, body)


@pytest.mark.parametrize("method, target", [
    ("HEAD", "/"), ("HEAD", "/index.html"), ("PUT", "/index.html"), ("DELETE", "/index.html"),
    ("OPTIONS", "*"), ("PATCH", kv.GATEWAY_PATH), ("TRACE", "/"), ("get", "/index.html"),
    ("FOO", "/index.html"), ("HEAD", kv.GATEWAY_PATH),
])
def test_other_methods_get_400(service, method, target):
    body = b"data" if method in ("PUT", "PATCH") else b""
    raw = kv.build_request(method, target, body=body)
    assert kv.exchange(raw) == kv.expected_response(
        400, "text/plain", f"Invalid request-method '{method}'\r\n")


def test_pipelined_second_request_is_never_answered(service):
    first = kv.build_request("GET", "/index.html")
    second = kv.build_request("GET", "/nothing-here.html")
    assert kv.exchange(first + second) == kv.expected_response(200, "text/html", INDEX)


def test_second_request_after_the_response_is_never_answered(service):
    expected = kv.expected_response(200, "text/html", INDEX)
    with kv.connect() as sock:
        sock.sendall(kv.build_request("GET", "/index.html"))
        received = b""
        while len(received) < len(expected):
            chunk = sock.recv(len(expected) - len(received))
            assert chunk, f"connection closed early after {received!r}"
            received += chunk
        assert received == expected
        kv.send_quietly(sock, kv.build_request("GET", "/index.html"))
        rest, _ = kv.read_until_closed(sock)
    assert rest == b""


# --------------------------------------------------------------------------------------------
# Limits and malformed requests


@pytest.mark.parametrize("value_length, answered", [(100, True), (4000, True), (8200, False),
                                                    (20000, False)])
def test_header_size_limit(service, value_length, answered):
    raw = kv.build_request("GET", "/index.html", headers=["X-Long: " + "a" * value_length])
    if answered:
        assert kv.exchange(raw) == kv.expected_response(200, "text/html", INDEX)
    else:
        assert_dropped(raw)
    assert_still_serving()


def test_many_header_lines_over_the_limit_dropped(service):
    headers = [f"X-Filler-{i:04d}: {'b' * 60}" for i in range(150)]   # about 11 KB
    assert_dropped(kv.build_request("GET", "/index.html", headers=headers))
    assert_still_serving()


@pytest.mark.parametrize("raw", [
    b"GARBAGE\r\n\r\n",
    b"GET\r\n\r\n",
    b"GET /index.html\r\n\r\n",
    b"GET /index.html HTTP/1.1 extra\r\n\r\n",
    b"GET /index.html FTP/1.1\r\n\r\n",
    b"GET  /index.html HTTP/1.1\r\n\r\n",
    b"\x00\x01\x02\x03\r\n\r\n",
    b"GET /index.html HTTP/1.1\r\nBad Header Line\r\n\r\n",
    b"POST /index.html HTTP/1.1\r\nContent-Length: abc\r\n\r\n",
], ids=["garbage", "method-only", "no-version", "trailing-token", "wrong-protocol",
        "double-blank", "binary", "field-without-colon", "bad-content-length"])
def test_malformed_request_dropped(service, raw):
    assert_dropped(raw)
    assert_still_serving()


def test_client_closing_before_complete_request_does_not_disturb(service):
    with kv.connect() as sock:
        sock.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\n")   # header never finished
    with kv.connect() as sock:
        sock.sendall(kv.build_request("POST", "/index.html", headers=["Content-Length: 100"],
                                      length=False) + b"short")    # body never finished
    assert_still_serving()


def test_body_limit(service):
    # Exactly 1 MiB is read and handed to the gateway (which finds no XML in it) ...
    body = b"x" * 1048576
    data = kv.request("POST", kv.GATEWAY_PATH, body=body, timeout=30)
    assert data == kv.expected_response(
        200, "text/xml", soap.client_fault("Well-formedness constraint violation"))
    # ... one byte more closes the connection without a response.
    assert_dropped(kv.build_request("POST", kv.GATEWAY_PATH, body=body + b"x"), timeout=30)
    assert_dropped(kv.build_request("POST", "/index.html", body=b"y" * 2000000), timeout=30)
    assert_still_serving()


def test_body_larger_than_read_buffer_is_read_whole(service):
    # 60,000 bytes of data become 80,000 characters of Base64: ten times the read buffer.
    data = bytes((i * 7 + 3) & 0xFF for i in range(60000))
    encoded = base64.b64encode(data).decode()
    write = soap.write_request(851, 0x7000, 100, encoded)
    assert len(write) > 80000
    assert kv.request("POST", kv.GATEWAY_PATH, body=write, timeout=30) == \
        kv.expected_response(200, "text/xml", soap.WRITE_RESPONSE)
    read = soap.read_request(851, 0x7000, 100, 60000)
    got = kv.request("POST", kv.GATEWAY_PATH, body=read, timeout=30)
    kv.assert_response(got, 200, "text/xml", soap.read_response(encoded))


@pytest.mark.parametrize("fields, answered", [(0, True), (50, True), (200, False),
                                              (1000, False)])
def test_field_arena_exhaustion(service, fields, answered):
    """Many tiny header fields fill the worker's field arena long before the header limit."""
    bystander = kv.connect()   # an idle connection held by another worker meanwhile
    try:
        raw = kv.build_request("GET", "/index.html", headers=["a:"] * fields)
        assert len(raw) < 8192
        if answered:
            assert kv.exchange(raw) == kv.expected_response(200, "text/html", INDEX)
        else:
            assert_dropped(raw)
        # The other worker still serves its connection, and new connections are served.
        bystander.sendall(kv.build_request("GET", "/index.html"))
        data, _ = kv.read_until_closed(bystander)
        assert data == kv.expected_response(200, "text/html", INDEX)
    finally:
        bystander.close()
    for _ in range(3):
        assert_still_serving()


def outcome(raw):
    """"answered" (exactly the index page) or "dropped" (closed without a byte); else fails."""
    with kv.connect() as sock:
        kv.send_quietly(sock, raw)
        data, _ = kv.read_until_closed(sock)
    if data == b"":
        return "dropped"
    assert data == kv.expected_response(200, "text/html", INDEX)
    return "answered"


@pytest.mark.parametrize("make_request, sizes", [
    pytest.param(lambda n: kv.build_request("GET", "/index.html", headers=["a:"] * n),
                 range(100, 136), id="tiny-fields"),
    pytest.param(lambda n: kv.build_request("GET", "/index.html", headers=["X: " + "v" * n]),
                 range(7600, 8200, 25), id="one-big-field"),
])
def test_arena_boundary_answers_whole_or_drops(service, make_request, sizes):
    """Near the arena's end the request's fields fit but the response's may not: every request
    is either answered completely or dropped, never cut, and once dropped, larger ones are too."""
    outcomes = [(n, outcome(make_request(n))) for n in sizes]
    first_dropped = next((i for i, (_, o) in enumerate(outcomes) if o == "dropped"), None)
    assert first_dropped is not None, "the arena never ran out"
    assert first_dropped > 0, "not even the smallest request was answered"
    assert all(o == "dropped" for _, o in outcomes[first_dropped:]), outcomes
    assert_still_serving()


def test_chunked_request_body_reaches_the_gateway(service):
    body = soap.read_request(851, 0x7100, 0, 3).encode()
    chunked = b"".join(b"%x\r\n%s\r\n" % (len(part), part)
                       for part in (body[:10], body[10:100], body[100:])) + b"0\r\n\r\n"
    raw = kv.build_request("POST", kv.GATEWAY_PATH, headers=["Transfer-Encoding: chunked"],
                           length=False) + chunked
    assert kv.exchange(raw) == kv.expected_response(200, "text/xml", soap.read_response("AAAA"))
