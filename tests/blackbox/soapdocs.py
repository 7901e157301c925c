"""SOAP request bodies for the gateway and the exact documents it answers with."""

SOAP_ENV = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP_ENC = "http://schemas.xmlsoap.org/soap/encoding/"
XSI = "http://www.w3.org/2001/XMLSchema-instance"
XSD = "http://www.w3.org/2001/XMLSchema"
SERVICE_NS = "http://korvel.example/KvIxoWebService"
MESSAGE_NS = SERVICE_NS + "/message/"

FRAME_BEGIN = ('<?xml version="1.0" encoding="UTF-8"?>'
               f'<SOAP-ENV:Envelope xmlns:SOAP-ENV="{SOAP_ENV}" xmlns:SOAP-ENC="{SOAP_ENC}" '
               f'xmlns:xsi="{XSI}" xmlns:xsd="{XSD}" xmlns:ns1="{MESSAGE_NS}">'
               f'<SOAP-ENV:Body SOAP-ENV:encodingStyle="{SOAP_ENC}">')
FRAME_END = "</SOAP-ENV:Body></SOAP-ENV:Envelope>"

INFO_FRAME = ('<html><head><meta http-equiv="Content-Type" content="text/html; '
              'charset=windows-1252"><link rel="stylesheet" type="text/css" href="Korvel.css">'
              '<title>Korvel Ixo Web Server</title></head><BODY TOPMARGIN="0"><h1>'
              '<span lang="en-us">Korvel Ixo Web Server</span></h1>%s</body></html>')

SHORT_SERVER_PAGE = ("<html>\n<head><title>KV/BSD Ixo Webserver</title></head>\n<body>\n"
                     "KV/BSD Ixo Webserver\n</body>\n</html>\n")


def request_body(operation, params, prefix="SOAP-ENV", method_prefix="ns1"):
    """A SOAP 1.1 request envelope for operation with its parameters (name -> text)."""
    args = "".join(f"<{name}>{value}</{name}>" for name, value in params.items())
    method = f"{method_prefix}:{operation}" if method_prefix else operation
    return (f'<?xml version="1.0" encoding="UTF-8"?>'
            f'<{prefix}:Envelope xmlns:{prefix}="{SOAP_ENV}" xmlns:ns1="{MESSAGE_NS}">'
            f"<{prefix}:Body><{method}>{args}</{method}></{prefix}:Body></{prefix}:Envelope>")


def read_request(port, group, offset, length, net_id=None):
    params = {} if net_id is None else {"netId": net_id}
    params.update(nPort=port, indexGroup=group, indexOffset=offset, cbLen=length)
    return request_body("Read", params)


def write_request(port, group, offset, data_b64, net_id=None):
    params = {} if net_id is None else {"netId": net_id}
    params.update(nPort=port, indexGroup=group, indexOffset=offset, pData=data_b64)
    return request_body("Write", params)


def response_doc(content):
    return FRAME_BEGIN + content + FRAME_END


def read_response(b64):
    return response_doc(f"<ns1:ReadResponse><ppData>{b64}</ppData></ns1:ReadResponse>")


def readwrite_response(b64):
    return response_doc(
        f"<ns1:ReadWriteResponse><ppRdData>{b64}</ppRdData></ns1:ReadWriteResponse>")


WRITE_RESPONSE = response_doc("<ns1:WriteResponse></ns1:WriteResponse>")
WRITE_CONTROL_RESPONSE = response_doc("<ns1:WriteControlResponse></ns1:WriteControlResponse>")


def read_state_response(ixo_state, device_state):
    return response_doc(f"<ns1:ReadStateResponse><pIxoState>{ixo_state}</pIxoState>"
                        f"<pDeviceState>{device_state}</pDeviceState></ns1:ReadStateResponse>")


def client_fault(fault_string):
    return (FRAME_BEGIN.replace('encoding="UTF-8"', 'encoding="utf-8"', 1)
            + "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
            + f"<faultstring>{fault_string}</faultstring></SOAP-ENV:Fault>" + FRAME_END)


def server_fault(code):
    return response_doc(
        "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
        "<faultstring>An IXO Error has occurred.</faultstring><detail>"
        f'<errorcode xmlns="{SERVICE_NS}">{code}</errorcode><errorinfo xmlns="{SERVICE_NS}"/>'
        "</detail></SOAP-ENV:Fault>")


def info_table(port, net_id):
    return ('<table width="97%" id="table3" height="50"><tr vAlign="top">'
            '<th align="left" width="20%" style="vertical-align: top">ROX Address</th>'
            '<th align="left" width="600" style="vertical-align: top">Values</th></tr>'
            f'<tr><td width="20%">Port</td><td width="600">{port}</td></tr>'
            f'<tr><td width="20%">Net Id</td><td width="600">{net_id}</td></tr></table>')


def info_page(port, net_id):
    return INFO_FRAME.replace("%s", info_table(port, net_id))
