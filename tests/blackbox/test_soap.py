"""The SOAP gateway path and the information page, end to end through the socket file."""

import os

import pytest

import kvharness as kv
import soapdocs as soap

DEFAULT_NET_ID = "10.20.30.40.1.1"
FIRST_PORT = 30001
GW = kv.GATEWAY_PATH


@pytest.fixture(scope="module")
def docroot(module_workdir):
    return kv.make_tree(os.path.join(module_workdir, "docroot"),
                        {"index.html": "<html>index</html>", "Korvel.css": "h1 { color: #123; }"})


@pytest.fixture(scope="class")
def service(class_services, docroot):
    return class_services.start(["-docroot", docroot])


def soap_call(body, target=GW):
    return kv.request("POST", target, body=body, headers=[
        "Content-Type: text/xml; charset=utf-8", 'SOAPAction: "Read"'])


def assert_soap(body, expected_document, target=GW):
    assert soap_call(body, target) == kv.expected_response(200, "text/xml", expected_document)


def assert_info_page(port, net_id, target=GW):
    assert kv.request("GET", target) == kv.expected_response(200, "text/html",
                                                             soap.info_page(port, net_id))


@pytest.mark.usefixtures("healthy")
class TestSharedService:

    @pytest.mark.parametrize("target", [
        GW, GW.lower(), GW.upper(), "/x" + GW + "?y=1", "/a/b" + GW.lower() + "/tail",
        GW + "?wsdl", "/KVIXOWEBSERVICE/kvixowebservice.DLL",
    ])
    def test_empty_post_on_gateway_path_gets_short_page(self, service, target):
        page = soap.SHORT_SERVER_PAGE
        assert len(page) == 100
        assert kv.request("POST", target) == kv.expected_response(200, "text/html", page)
        # Without any Content-Length an HTTP/1.1 request has an empty body as well.
        assert kv.exchange(f"POST {target} HTTP/1.1\r\nHost: x\r\n\r\n".encode()) == \
            kv.expected_response(200, "text/html", page)

    @pytest.mark.parametrize("target", ["/KvIxoWebService/KvIxoWebService.dl",
                                        "/KvIxoWebService.dll", "/KvIxoWebService/"])
    def test_post_elsewhere_is_a_file_request(self, service, target):
        assert kv.request("POST", target, body=soap.read_request(851, 1, 0, 1)) == \
            kv.expected_response(404, "text/plain", kv.NOT_FOUND)

    @pytest.mark.parametrize("target", [GW, GW + "?wsdl", GW.lower() + "?WSDL",
                                        "/prefix" + GW + "?a=1"])
    def test_information_page(self, service, target):
        assert_info_page(FIRST_PORT, DEFAULT_NET_ID, target)

    def test_information_page_style_sheet_served_from_docroot(self, service):
        assert kv.request("GET", "/Korvel.css") == kv.expected_response(
            200, "text/css", "h1 { color: #123; }")

    @pytest.mark.parametrize("body, expected", [
        pytest.param(soap.read_request(851, 0x4020, 0, 6), soap.read_response("AAAAAAAA"),
                     id="read-zeros"),
        pytest.param(soap.read_request(851, 0x4020, 0, 0), soap.read_response(""),
                     id="read-nothing"),
        pytest.param(soap.read_request(851, 0x4020, 10, 4, net_id=DEFAULT_NET_ID),
                     soap.read_response("AAAAAA=="), id="read-local-net-id-given"),
        pytest.param(soap.read_request(851, "0x4020", 0, 1, net_id="127.0.0.0.1.1"),
                     soap.read_response("AA=="), id="read-local-alias"),
        pytest.param(soap.read_request(851, 0xFFFE0000, 0, 8), soap.read_response("AAAAAA=="),
                     id="read-half-reported"),
        pytest.param(soap.request_body("ReadState", {"nPort": 851}),
                     soap.read_state_response(5, 0), id="read-state"),
        pytest.param(soap.read_request(851, 0xFFFF0701, 0, 4), soap.server_fault(1793),
                     id="injected-1793"),
        pytest.param(soap.read_request(65535, 0x4020, 0, 4), soap.server_fault(1861),
                     id="port-65535"),
        pytest.param(soap.request_body("ReadState", {"nPort": 65535}), soap.server_fault(1861),
                     id="read-state-port-65535"),
        pytest.param(soap.read_request(851, 0x4020, 0, 4, net_id="1.2.3.4.5.6"),
                     soap.server_fault(7), id="unknown-net-id"),
        pytest.param(soap.read_request(851, 0x4020, 65535, 2), soap.server_fault(1795),
                     id="beyond-area"),
        pytest.param(soap.read_request(851, 0x4020, 0, 100000000), soap.server_fault(1795),
                     id="100-MB-read-buffer"),
        pytest.param(soap.request_body("Read", {"nPort": 851, "indexGroup": 1, "indexOffset": 0}),
                     soap.client_fault("Ixo Parameter is missing"), id="missing-cbLen"),
        pytest.param("<a><b></a>", soap.client_fault("Well-formedness constraint violation"),
                     id="not-well-formed"),
        pytest.param(" \r\n\t ", soap.client_fault("Well-formedness constraint violation"),
                     id="whitespace-only"),
        pytest.param(soap.request_body("Read", {}).replace("SOAP-ENV:Body", "Body"),
                     soap.client_fault(
                         "Validation constraint violation: tag name or namespace mismatch"),
                     id="body-without-prefix"),
        pytest.param(soap.request_body("read", {"nPort": 851}, method_prefix="m"),
                     soap.client_fault("Method'm:read' not implemented: method name or "
                                       "namespace not recognized"), id="unknown-method"),
    ])
    def test_operations(self, service, body, expected):
        assert_soap(body, expected)

    def test_write_then_read_round_trip(self, service):
        assert_soap(soap.write_request(852, 0x4021, 100, "AQIDBAU="), soap.WRITE_RESPONSE)
        assert_soap(soap.read_request(852, 0x4021, 100, 5), soap.read_response("AQIDBAU="))
        assert_soap(soap.read_request(852, 0x4021, 99, 7), soap.read_response("AAECAwQFAA=="))
        # The same offset of another index group, and of another port, is untouched.
        assert_soap(soap.read_request(852, 0x4022, 100, 5), soap.read_response("AAAAAAA="))
        assert_soap(soap.read_request(853, 0x4021, 100, 5), soap.read_response("AAAAAAA="))

    def test_read_write_and_write_control(self, service):
        assert_soap(soap.request_body("ReadWrite", {
            "nPort": 854, "indexGroup": 1, "indexOffset": 0, "cbRdLen": 3, "pwrData": "QUJD"}),
            soap.readwrite_response("QUJD"))
        assert_soap(soap.request_body("WriteControl", {
            "nPort": 854, "ixoState": 6, "deviceState": 3}), soap.WRITE_CONTROL_RESPONSE)
        assert_soap(soap.request_body("ReadState", {"nPort": 854}),
                    soap.read_state_response(6, 3))

    @pytest.mark.parametrize("target", ["/x" + GW + "?y=1", GW.upper(), GW.lower()])
    def test_soap_request_through_path_variants(self, service, target):
        assert_soap(soap.read_request(855, 9, 0, 3), soap.read_response("AAAA"), target=target)

    def test_body_cut_at_nul_byte(self, service):
        body = soap.read_request(855, 9, 0, 3).encode() + b"\0<garbage"
        assert kv.request("POST", GW, body=body) == kv.expected_response(
            200, "text/xml", soap.read_response("AAAA"))


def test_local_net_id_comes_from_the_device_library(services):
    net_id = "172.16.5.9.1.1"
    services.start(env={"KVIXO_SIM_NETID": net_id})
    assert_info_page(FIRST_PORT, net_id)
    assert_soap(soap.read_request(851, 1, 0, 3), soap.read_response("AAAA"))
    assert_soap(soap.read_request(851, 1, 0, 3, net_id=net_id), soap.read_response("AAAA"))
    assert_soap(soap.read_request(851, 1, 0, 3, net_id=DEFAULT_NET_ID), soap.server_fault(7))


def test_failed_port_open_is_retried_by_the_next_request(services):
    services.start(env={"KVIXO_SIM_FAIL_OPEN": "1"})
    assert_soap(soap.read_request(851, 1, 0, 3), soap.server_fault(1864))
    assert_soap(soap.read_request(851, 1, 0, 3), soap.read_response("AAAA"))
    assert_info_page(FIRST_PORT, DEFAULT_NET_ID)


def test_information_page_shows_port_0_while_no_port_opens(services):
    services.start(env={"KVIXO_SIM_FAIL_OPEN": "2"})
    assert_info_page(0, DEFAULT_NET_ID)
    assert_soap(soap.request_body("ReadState", {"nPort": 851}), soap.server_fault(1864))
    assert_info_page(FIRST_PORT, DEFAULT_NET_ID)
    assert_soap(soap.request_body("ReadState", {"nPort": 851}), soap.read_state_response(5, 0))
