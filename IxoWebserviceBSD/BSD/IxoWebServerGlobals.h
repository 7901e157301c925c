// Process-wide state of the service.
#ifndef IXO_WEBSERVER_GLOBALS_H
#define IXO_WEBSERVER_GLOBALS_H

class CIxoSoap;

namespace IxoWebservice {

// Verbose switch: set once by main from the command line, read by every diagnostic.
extern bool v;

// The one SOAP gateway, built during static initialisation, shared by all workers.
extern CIxoSoap g_soap;

}  // namespace IxoWebservice

#endif  // IXO_WEBSERVER_GLOBALS_H
