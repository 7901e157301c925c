#!/usr/bin/python3
"""Calls the Ixo web service from Python with suds, driven by the service's WSDL.

Debian: apt-get install python3-suds. Through the nginx front (deploy/nginx):

    python3 kvixo_client.py --wsdl http://controller/KvIxoWebService.wsdl \\
        --endpoint http://controller/KvIxoWebService/KvIxoWebService.dll

The WSDL names http://localhost/... as the address; --endpoint points the calls elsewhere.
Binary data crosses as Base64 text: encode before a write, decode after a read.
"""

import argparse
import base64
import logging

from suds import WebFault
from suds.client import Client
from suds.plugin import MessagePlugin

# Index groups of the simulated device (libKvIxoDll/README.md): plain memory, and one that makes
# every request fail with code 0x0705.
SIM_GROUP = 0x1000
SIM_FAIL_GROUP = 0xFFFF0705


class SameBodyPrefix(MessagePlugin):
    """Writes the Body under the Envelope's prefix.

    suds binds the envelope namespace to two prefixes and writes <SOAP-ENV:Envelope> around
    <ns1:Body>. The service matches the Body by the Envelope's prefix and answers any other with
    the fault "Validation constraint violation: tag name or namespace mismatch"; this plugin
    renames the Body before the request is sent."""

    def marshalled(self, context):
        envelope = context.envelope
        body = envelope.getChild("Body")
        if body is not None:
            body.setPrefix(envelope.prefix, envelope.namespace()[1])


def connect(wsdl, endpoint=None):
    """A suds client for the service; endpoint replaces the address written in the WSDL."""
    # The service sends its faults with HTTP status 200; suds raises them as WebFault all the
    # same and would log a warning about the status for each.
    logging.getLogger("suds.client").setLevel(logging.ERROR)
    options = {"plugins": [SameBodyPrefix()], "cache": None}
    if endpoint:
        options["location"] = endpoint
    return Client(wsdl, **options)


def b64(data):
    return base64.b64encode(data).decode("ascii")


def unb64(text):
    return base64.b64decode(text or "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wsdl", default="http://localhost/KvIxoWebService.wsdl")
    parser.add_argument("--endpoint", help="the gateway URL, when not the WSDL's own")
    parser.add_argument("--netid", default="", help="target net id; empty: the local one")
    parser.add_argument("--port", type=int, default=851, help="device port (nPort) of the target")
    parser.add_argument("--group", type=lambda t: int(t, 0), default=SIM_GROUP)
    parser.add_argument("--fail-group", type=lambda t: int(t, 0), default=SIM_FAIL_GROUP)
    args = parser.parse_args()
    ixo = connect(args.wsdl, args.endpoint).service
    target = (args.netid, args.port)

    ixo.Write(*target, args.group, 0, b64(b"KvIxo"))
    print("Read:", unb64(ixo.Read(*target, args.group, 0, 5)).decode())
    print("ReadWrite:", unb64(ixo.ReadWrite(*target, args.group, 2, 3, b64(b"ABC"))).decode())
    state = ixo.ReadState(*target)
    print("ReadState:", state.pIxoState, state.pDeviceState)
    ixo.WriteControl(*target, 6, 3, None)
    state = ixo.ReadState(*target)
    print("ReadState after WriteControl:", state.pIxoState, state.pDeviceState)
    try:
        ixo.Read(*target, args.fail_group, 0, 4)
        print("Device error: none")
    except WebFault as error:
        fault = error.fault
        print("Device error:", fault.detail.errorcode, fault.faultstring)


if __name__ == "__main__":
    main()
