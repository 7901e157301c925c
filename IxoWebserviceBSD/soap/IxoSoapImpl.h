// Implementation of the SOAP gateway behind the CIxoSoap facade. Internal to the
// gateway; its tests include it to reach the parsing and operation steps.
#ifndef IXO_SOAP_IMPL_H
#define IXO_SOAP_IMPL_H

#include <stdint.h>

#include <memory>
#include <string>

#include <pugixml.hpp>

#include "KvIxoDll.h"
#include "KvPlatformHelper.h"

// Error codes of the gateway itself, in the library's code space.
enum : int32_t {
    IXO_SOAP_NO_PORT = 1864,      // no Ixo port open
    IXO_SOAP_OUT_OF_MEMORY = 1802  // a buffer could not be allocated
};

// Parameter result of GetNetIdAndPort, GetIndexGroupAndOffset and GetUint.
enum : int {
    IXO_SOAP_PARAM_OK = 0,
    IXO_SOAP_PARAM_MISSING = 3
};

// Fixed pieces of the answer documents.
extern const char coSoapNamespace[];
extern const char coSoapMessageNamespace[];
extern const char coSoapFaultResponseBegin[];
extern const char coSoapFaultResponseEnd[];
extern const char coSoapIxoFaultResponseBegin[];
extern const char coSoapIxoFaultResponseEnd[];
extern const char coSoapReadResponseBegin[];
extern const char coSoapReadResponseEnd[];
extern const char coSoapWriteResponse[];
extern const char coSoapReadWriteResponseBegin[];
extern const char coSoapReadWriteResponseEnd[];
extern const char coSoapReadStateResponseBegin[];
extern const char coSoapReadStateResponseParams[];
extern const char coSoapReadStateResponseEnd[];
extern const char coSoapWriteControlResponse[];

// Fault strings of the client fault.
extern const char coSoapFaultNotWellFormed[];
extern const char coSoapFaultMismatch[];
extern const char coSoapFaultMethodBegin[];
extern const char coSoapFaultMethodEnd[];
extern const char coSoapFaultParameterMissing[];

// Net id text of a request to the 6-byte net id; empty text or "127.0.0.0.1.1"
// means the local net id.
RoxNetId ConvertToRoxNetId(const char* netId);

// Unsigned parameter text to its value (decimal, 0x/#x hexadecimal, true/false);
// a leading "-" gives 0, an overflow 4294967295.
uint32_t ConvertToUint(const char* text);

namespace IxoCrt {
// vsnprintf with limit; the number of characters, or -1 when the text needs limit or more.
int _snprintf(char* buffer, size_t limit, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// 0 when equal ignoring letter case, else the difference of the first differing
// lower-cased characters.
int _strcmpi(const char* left, const char* right);
}  // namespace IxoCrt

// The gateway's state and steps. Everything of a request lives only for its call;
// the only shared state is the open counter and the port number, and the counter
// changes only through the interlocked operations.
class CIxoSoapImpl {
public:
    CIxoSoapImpl() = default;
    // Closes the Ixo port when it is open.
    ~CIxoSoapImpl();
    CIxoSoapImpl(const CIxoSoapImpl&) = delete;
    CIxoSoapImpl& operator=(const CIxoSoapImpl&) = delete;

    // Parses the NUL-terminated request text and answers it in response.
    void SoapRequest(const char* request, std::string& response);
    // Answers a parsed request document in response.
    void SoapRequest(pugi::xml_document& document, std::string& response);

    // Finds the method element: the first child of Envelope's matching Body.
    bool GetCmd(pugi::xml_node& method, pugi::xml_document& document);
    // Reads "netId" (optional) and "nPort"; 0 or IXO_SOAP_PARAM_MISSING.
    int GetNetIdAndPort(pugi::xml_node& method, unsigned short& port, std::string& netId);
    // Reads "indexGroup" and "indexOffset"; 0 or IXO_SOAP_PARAM_MISSING.
    int GetIndexGroupAndOffset(pugi::xml_node& method, unsigned int& group, unsigned int& offset);
    // Reads the unsigned parameter element name; 0 or IXO_SOAP_PARAM_MISSING.
    int GetUint(pugi::xml_node& method, const char* name, unsigned int& value);

    // The five operations: 0 with the response document in response, else an error code.
    int32_t Service_Read(const char* netId, unsigned short port, unsigned int group,
                         unsigned int offset, unsigned int length, std::string& response);
    int32_t Service_Write(const char* netId, unsigned short port, unsigned int group,
                          unsigned int offset, const char* data, std::string& response);
    int32_t Service_ReadWrite(const char* netId, unsigned short port, unsigned int group,
                              unsigned int offset, unsigned int readLength, const char* writeData,
                              std::string& response);
    int32_t Service_ReadState(const char* netId, unsigned short port, std::string& response);
    int32_t Service_WriteControl(const char* netId, unsigned short port, unsigned short ixoState,
                                 unsigned short deviceState, const char* data,
                                 std::string& response);

    // Opens the process's Ixo port unless it is open; the port number, 0 when none.
    LONG IxoSoapOpen();
    // Marks the port closed and closes it; the library's result, or 1864 when none was open.
    int32_t IxoSoapClose();

    // The information fragments; the caller owns the text. Null only when memory runs out.
    std::unique_ptr<char[]> GetLocalComputerInfoPage();
    std::unique_ptr<char[]> GetRemoteComputerInfoPage();

    // Appends begin, the Base64 text of the first reported bytes of data (never more
    // than requested) and end to response; 0 or 1802.
    static int32_t AppendEncodedResponse(std::string& response, const char* begin,
                                         const char* end, const unsigned char* data,
                                         uint32_t requested, uint32_t reported);
    // Replaces response with the client fault carrying faultString.
    static void SetClientFault(std::string& response, const std::string& faultString);
    // Replaces response with the server fault carrying code.
    static void SetServerFault(std::string& response, int32_t code);

private:
    LONG volatile m_openCount = 0;  // 1 while the port is open, changed atomically only
    LONG m_port = 0;                // result of the last IxoPortOpen
};

#endif  // IXO_SOAP_IMPL_H
