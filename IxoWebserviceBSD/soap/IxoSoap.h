// The SOAP gateway: one SOAP request text in, exactly one SOAP document out.
#ifndef IXO_SOAP_H
#define IXO_SOAP_H

#include <string>

class CIxoSoapImpl;

// Facade of the gateway. The service has exactly one, IxoWebservice::g_soap.
// Never throws towards its caller and never fails other than with a document.
class CIxoSoap {
public:
    CIxoSoap();
    ~CIxoSoap();
    CIxoSoap(const CIxoSoap&) = delete;
    CIxoSoap& operator=(const CIxoSoap&) = delete;

    // Answers the NUL-terminated request text with a SOAP response or fault in response.
    void SoapRequest(const char* request, std::string& response);

    // Copies the information fragment named by page (null: the local computer,
    // "routes" in any letter case: the route table) into buffer.
    // Returns 0, 87 (bad argument or no fragment) or 234 (buffer too small; the
    // needed size, NUL included, is then in *size).
    int GetPulginInfo(const char* page, char* buffer, unsigned int* size);

private:
    CIxoSoapImpl* m_impl;  // owned
};

#endif  // IXO_SOAP_H
