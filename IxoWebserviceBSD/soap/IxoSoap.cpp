#include "IxoSoap.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Base64.h"
#include "CSoapInfoPage.h"
#include "IxoSoapImpl.h"

// ---------------------------------------------------------------------------
// Answer documents. Each is one line; the pieces below are joined with the
// inserted values and nothing else.

#define IXO_SOAP_NS "http://korvel.example/KvIxoWebService"
#define IXO_SOAP_ENC_NS "http://schemas.xmlsoap.org/soap/encoding/"
#define IXO_SOAP_ENVELOPE_START                                                        \
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""  \
    " xmlns:SOAP-ENC=\"" IXO_SOAP_ENC_NS "\""                                           \
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""                         \
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""                                  \
    " xmlns:ns1=\"" IXO_SOAP_NS "/message/\">"                                          \
    "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"" IXO_SOAP_ENC_NS "\">"
#define IXO_SOAP_DOCUMENT_START "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" IXO_SOAP_ENVELOPE_START
#define IXO_SOAP_DOCUMENT_END "</SOAP-ENV:Body></SOAP-ENV:Envelope>"

const char coSoapNamespace[] = IXO_SOAP_NS;
const char coSoapMessageNamespace[] = IXO_SOAP_NS "/message/";

const char coSoapFaultResponseBegin[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>" IXO_SOAP_ENVELOPE_START
    "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>";
const char coSoapFaultResponseEnd[] = "</faultstring></SOAP-ENV:Fault>" IXO_SOAP_DOCUMENT_END;

const char coSoapIxoFaultResponseBegin[] =
    IXO_SOAP_DOCUMENT_START
    "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
    "<faultstring>An IXO Error has occurred.</faultstring>"
    "<detail><errorcode xmlns=\"" IXO_SOAP_NS "\">";
const char coSoapIxoFaultResponseEnd[] =
    "</errorcode><errorinfo xmlns=\"" IXO_SOAP_NS "\"/></detail></SOAP-ENV:Fault>"
    IXO_SOAP_DOCUMENT_END;

const char coSoapReadResponseBegin[] = IXO_SOAP_DOCUMENT_START "<ns1:ReadResponse><ppData>";
const char coSoapReadResponseEnd[] = "</ppData></ns1:ReadResponse>" IXO_SOAP_DOCUMENT_END;

const char coSoapWriteResponse[] =
    IXO_SOAP_DOCUMENT_START "<ns1:WriteResponse></ns1:WriteResponse>" IXO_SOAP_DOCUMENT_END;

const char coSoapReadWriteResponseBegin[] =
    IXO_SOAP_DOCUMENT_START "<ns1:ReadWriteResponse><ppRdData>";
const char coSoapReadWriteResponseEnd[] =
    "</ppRdData></ns1:ReadWriteResponse>" IXO_SOAP_DOCUMENT_END;

const char coSoapReadStateResponseBegin[] = IXO_SOAP_DOCUMENT_START "<ns1:ReadStateResponse>";
const char coSoapReadStateResponseParams[] =
    "<pIxoState>%d</pIxoState><pDeviceState>%d</pDeviceState>";
const char coSoapReadStateResponseEnd[] = "</ns1:ReadStateResponse>" IXO_SOAP_DOCUMENT_END;

const char coSoapWriteControlResponse[] =
    IXO_SOAP_DOCUMENT_START "<ns1:WriteControlResponse></ns1:WriteControlResponse>"
    IXO_SOAP_DOCUMENT_END;

const char coSoapFaultNotWellFormed[] = "Well-formedness constraint violation";
const char coSoapFaultMismatch[] =
    "Validation constraint violation: tag name or namespace mismatch";
const char coSoapFaultMethodBegin[] = "Method'";
const char coSoapFaultMethodEnd[] = "' not implemented: method name or namespace not recognized";
const char coSoapFaultParameterMissing[] = "Ixo Parameter is missing";

namespace {

const char co_pszLocalNetId[] = "127.0.0.0.1.1";
const char co_szNetIdFormat[] = "%d.%d.%d.%d.%d.%d";
const char co_szIxoErrorPage[] = "Unable to load page (Ixo Error = 0x%x.)";
const size_t coIxoErrorPageSize = 49;
const size_t coStateFragmentSize = 90;
const size_t coErrorCodeSize = 16;

// Pre-set values of a route entry before the router fills it.
const uint16_t coRouteEntryPresetPort = 0x0050;
const uint32_t coRouteEntryPresetType = 5;
const uint32_t coRouteEntryPresetMode = 2;

struct FreeBuffer {
    void operator()(void* buffer) const { free(buffer); }
};
struct FreeBase64 {
    void operator()(void* buffer) const { Base64::freebuffer(buffer); }
};
using HeapBytes = std::unique_ptr<unsigned char, FreeBuffer>;
using Base64Bytes = std::unique_ptr<unsigned char, FreeBase64>;
using Base64Text = std::unique_ptr<char, FreeBase64>;

// Length of the well-formed UTF-8 sequence of an XML character at text, or 0 when the bytes
// there are not one (bad or overlong encoding, surrogate, above U+10FFFF, a control character
// or U+FFFE/U+FFFF that XML does not allow).
size_t XmlCharLength(const unsigned char* text)
{
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    }
    size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;  // also stops at the terminating zero
        code = (code << 6) | (text[i] & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
        code == 0xFFFE || code == 0xFFFF) {
        return 0;
    }
    return length;
}

// Request text made fit for the text of an answer document: & < > escaped, and every byte
// that does not start a well-formed character replaced with U+FFFD.
std::string XmlText(const char* text)
{
    std::string out;
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != 0) {
        const size_t length = XmlCharLength(at);
        switch (length == 1 ? *at : 0) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default:
            if (length == 0) {
                out += "\xEF\xBF\xBD";
            } else {
                out.append(reinterpret_cast<const char*>(at), length);
            }
        }
        at += length == 0 ? 1 : length;
    }
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int HexValue(char c)
{
    if (IsDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One "%d" of the net id format: blanks, an optional sign, at least one digit.
// A number too large for its byte keeps the low bits of its exact value.
bool ScanNetIdNumber(const char*& p, uint32_t& number)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!IsDigit(*p)) {
        return false;
    }
    uint32_t value = 0;
    for (; IsDigit(*p); ++p) {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
    }
    number = negative ? 0u - value : value;
    return true;
}

void FormatNetId(char* buffer, size_t size, const RoxNetId& netId)
{
    snprintf(buffer, size, co_szNetIdFormat, netId.b[0], netId.b[1], netId.b[2], netId.b[3],
             netId.b[4], netId.b[5]);
}

RoxNetId LocalNetId()
{
    RoxAddr local;
    memset(&local, 0, sizeof(local));
    if (IxoGetLocalAddress(&local) != 0) {
        memset(&local, 0, sizeof(local));
    }
    return local.netId;
}

RoxAddr MakeAddress(const char* netId, unsigned short port)
{
    RoxAddr address;
    memset(&address, 0, sizeof(address));
    address.netId = ConvertToRoxNetId(netId);
    address.port = port;
    return address;
}

// The read buffer of one request: exactly the requested length, zero-filled so
// that no stale heap bytes can reach an answer.
HeapBytes AllocateReadBuffer(uint32_t length)
{
    return HeapBytes(static_cast<unsigned char*>(calloc(length != 0 ? length : 1, 1)));
}

// Decodes the Base64 text of a request (null: none) into data; false when the
// output buffer could not be allocated.
bool DecodeData(const char* text, Base64Bytes& data, int& length)
{
    unsigned char* decoded = nullptr;
    const bool decodedOk = Base64::decode(text != nullptr ? text : "", &decoded, &length);
    data.reset(decoded);
    return decodedOk;
}

void StoreLittleEndian(unsigned char* target, uint32_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        target[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

}  // namespace

namespace IxoCrt {

int _snprintf(char* buffer, size_t limit, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, limit, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= limit) {
        return -1;
    }
    return length;
}

int _strcmpi(const char* left, const char* right)
{
    for (;; ++left, ++right) {
        const int l = tolower(static_cast<unsigned char>(*left));
        const int r = tolower(static_cast<unsigned char>(*right));
        if (l != r || l == 0) {
            if (*left == '\0' && *right != '\0') {
                return -static_cast<unsigned char>(*right);
            }
            return l - r;
        }
    }
}

}  // namespace IxoCrt

RoxNetId ConvertToRoxNetId(const char* netId)
{
    if (netId == nullptr || *netId == '\0' || strcmp(netId, co_pszLocalNetId) == 0) {
        return LocalNetId();
    }
    RoxNetId result;
    memset(&result, 0, sizeof(result));
    const char* p = netId;
    uint32_t numbers[6] = {};
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*p != '.') {
                return result;
            }
            ++p;
        }
        if (!ScanNetIdNumber(p, numbers[i])) {
            return result;
        }
    }
    for (size_t i = 0; i < 6; ++i) {
        result.b[i] = static_cast<unsigned char>(numbers[i] & 0xFF);
    }
    return result;
}

uint32_t ConvertToUint(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    const char* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;
    bool overflow = false;
    if ((p[0] == '0' || p[0] == '#') && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        while (*p == '0') {
            ++p;
        }
        int digits = 0;
        for (int digit = HexValue(*p); digit >= 0; digit = HexValue(*++p)) {
            if (++digits > 8) {
                overflow = true;
                break;
            }
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else if (strcasecmp(p, "true") == 0) {
        return 1;
    } else if (strcasecmp(p, "false") == 0) {
        return 0;
    } else {
        while (*p == '0') {
            ++p;
        }
        for (; IsDigit(*p); ++p) {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            if (value > UINT32_MAX) {
                overflow = true;
                break;
            }
        }
    }
    if (negative) {
        return 0;
    }
    return overflow ? UINT32_MAX : static_cast<uint32_t>(value);
}

// ---------------------------------------------------------------------------
// CIxoSoapImpl: requests

CIxoSoapImpl::~CIxoSoapImpl()
{
    if (m_openCount > 0) {
        IxoPortClose();
    }
}

void CIxoSoapImpl::SoapRequest(const char* request, std::string& response)
{
    response.clear();
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        request != nullptr
            ? document.load_buffer(request, strlen(request), pugi::parse_default,
                                   pugi::encoding_utf8)
            : document.load_buffer("", 0, pugi::parse_default, pugi::encoding_utf8);
    if (parsed.status != pugi::status_ok) {
        SetClientFault(response, coSoapFaultNotWellFormed);
        return;
    }
    SoapRequest(document, response);
}

void CIxoSoapImpl::SoapRequest(pugi::xml_document& document, std::string& response)
{
    response.clear();
    pugi::xml_node method;
    if (!GetCmd(method, document)) {
        SetClientFault(response, coSoapFaultMismatch);
        return;
    }

    enum class Operation { Read, Write, ReadWrite, ReadState, WriteControl };
    const char* fullName = method.name();
    const char* colon = strchr(fullName, ':');
    const char* localName = colon != nullptr ? colon + 1 : fullName;
    Operation operation;
    if (strcmp(localName, "Read") == 0) {
        operation = Operation::Read;
    } else if (strcmp(localName, "Write") == 0) {
        operation = Operation::Write;
    } else if (strcmp(localName, "ReadWrite") == 0) {
        operation = Operation::ReadWrite;
    } else if (strcmp(localName, "ReadState") == 0) {
        operation = Operation::ReadState;
    } else if (strcmp(localName, "WriteControl") == 0) {
        operation = Operation::WriteControl;
    } else {
        SetClientFault(response,
                       std::string(coSoapFaultMethodBegin) + XmlText(fullName) + coSoapFaultMethodEnd);
        return;
    }

    std::string netId;
    unsigned short port = 0;
    unsigned int group = 0;
    unsigned int offset = 0;
    unsigned int length = 0;
    int missing = GetNetIdAndPort(method, port, netId);
    int32_t code = 0;
    switch (operation) {
    case Operation::Read:
        if (missing == 0) missing = GetIndexGroupAndOffset(method, group, offset);
        if (missing == 0) missing = GetUint(method, "cbLen", length);
        if (missing == 0) {
            code = Service_Read(netId.c_str(), port, group, offset, length, response);
        }
        break;
    case Operation::Write:
        if (missing == 0) missing = GetIndexGroupAndOffset(method, group, offset);
        if (missing == 0) {
            code = Service_Write(netId.c_str(), port, group, offset,
                                 method.child("pData").child_value(), response);
        }
        break;
    case Operation::ReadWrite:
        if (missing == 0) missing = GetIndexGroupAndOffset(method, group, offset);
        if (missing == 0) missing = GetUint(method, "cbRdLen", length);
        if (missing == 0) {
            code = Service_ReadWrite(netId.c_str(), port, group, offset, length,
                                     method.child("pwrData").child_value(), response);
        }
        break;
    case Operation::ReadState:
        if (missing == 0) {
            code = Service_ReadState(netId.c_str(), port, response);
        }
        break;
    case Operation::WriteControl: {
        unsigned int ixoState = 0;
        unsigned int deviceState = 0;
        if (missing == 0) missing = GetUint(method, "ixoState", ixoState);
        if (missing == 0) missing = GetUint(method, "deviceState", deviceState);
        if (missing == 0) {
            code = Service_WriteControl(netId.c_str(), port,
                                        static_cast<unsigned short>(ixoState & 0xFFFF),
                                        static_cast<unsigned short>(deviceState & 0xFFFF),
                                        method.child("pData").child_value(), response);
        }
        break;
    }
    }
    if (missing != 0) {
        SetClientFault(response, coSoapFaultParameterMissing);
    } else if (code != 0) {
        SetServerFault(response, code);
    }
}

bool CIxoSoapImpl::GetCmd(pugi::xml_node& method, pugi::xml_document& document)
{
    const pugi::xml_node root = document.first_child();
    if (!root) {
        return false;
    }
    const std::string rootName = root.name();
    const size_t colon = rootName.find(':');
    const std::string prefix = colon != std::string::npos ? rootName.substr(0, colon) : "";
    const std::string localName =
        colon != std::string::npos ? rootName.substr(colon + 1) : rootName;
    if (localName != "Envelope") {
        return false;
    }
    const pugi::xml_node body = root.child((prefix + ":Body").c_str());
    if (!body || !body.first_child()) {
        return false;
    }
    method = body.first_child();
    return true;
}

int CIxoSoapImpl::GetNetIdAndPort(pugi::xml_node& method, unsigned short& port,
                                  std::string& netId)
{
    netId = method.child("netId").child_value();
    unsigned int value = 0;
    if (GetUint(method, "nPort", value) != IXO_SOAP_PARAM_OK) {
        return IXO_SOAP_PARAM_MISSING;
    }
    port = static_cast<unsigned short>(value & 0xFFFF);
    return IXO_SOAP_PARAM_OK;
}

int CIxoSoapImpl::GetIndexGroupAndOffset(pugi::xml_node& method, unsigned int& group,
                                         unsigned int& offset)
{
    if (GetUint(method, "indexGroup", group) != IXO_SOAP_PARAM_OK ||
        GetUint(method, "indexOffset", offset) != IXO_SOAP_PARAM_OK) {
        return IXO_SOAP_PARAM_MISSING;
    }
    return IXO_SOAP_PARAM_OK;
}

int CIxoSoapImpl::GetUint(pugi::xml_node& method, const char* name, unsigned int& value)
{
    const pugi::xml_node parameter = method.child(name);
    if (!parameter) {
        return IXO_SOAP_PARAM_MISSING;
    }
    value = ConvertToUint(parameter.child_value());
    return IXO_SOAP_PARAM_OK;
}

// ---------------------------------------------------------------------------
// CIxoSoapImpl: answer documents

int32_t CIxoSoapImpl::AppendEncodedResponse(std::string& response, const char* begin,
                                            const char* end, const unsigned char* data,
                                            uint32_t requested, uint32_t reported)
{
    // Never encode beyond the buffer, whatever count the library reports.
    const uint32_t count = reported < requested ? reported : requested;
    if (count > static_cast<uint32_t>(INT_MAX)) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    const Base64Text text(Base64::encode(data, static_cast<int>(count)));
    if (!text) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    const size_t textLength = strlen(text.get());
    response.reserve(response.size() + strlen(begin) + textLength + strlen(end));
    response.append(begin).append(text.get(), textLength).append(end);
    return 0;
}

void CIxoSoapImpl::SetClientFault(std::string& response, const std::string& faultString)
{
    response.assign(coSoapFaultResponseBegin).append(faultString).append(coSoapFaultResponseEnd);
}

void CIxoSoapImpl::SetServerFault(std::string& response, int32_t code)
{
    char text[coErrorCodeSize];
    IxoCrt::_snprintf(text, coErrorCodeSize - 1, "%d", static_cast<int>(code));
    text[coErrorCodeSize - 1] = '\0';
    response.assign(coSoapIxoFaultResponseBegin).append(text).append(coSoapIxoFaultResponseEnd);
}

// ---------------------------------------------------------------------------
// CIxoSoapImpl: port and operations

LONG CIxoSoapImpl::IxoSoapOpen()
{
    // Only the caller whose increment makes the counter 1 opens the port; a
    // successful open leaves the counter at 1, a failed one back at 0.
    if (InterlockedIncrement(&m_openCount) == 1) {
        m_port = IxoPortOpen();
        if (m_port != 0) {
            InterlockedIncrement(&m_openCount);
        }
    }
    InterlockedDecrement(&m_openCount);
    return m_port;
}

int32_t CIxoSoapImpl::IxoSoapClose()
{
    if (InterlockedExchange(&m_openCount, 0) != 0) {
        return IxoPortClose();
    }
    return IXO_SOAP_NO_PORT;
}

int32_t CIxoSoapImpl::Service_Read(const char* netId, unsigned short port, unsigned int group,
                                   unsigned int offset, unsigned int length,
                                   std::string& response)
{
    if (IxoSoapOpen() == 0) {
        return IXO_SOAP_NO_PORT;
    }
    RoxAddr address = MakeAddress(netId, port);
    const HeapBytes buffer = AllocateReadBuffer(length);
    if (!buffer) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    uint32_t bytesRead = 0;
    int32_t code = IxoSyncReadReqEx(&address, group, offset, length, buffer.get(), &bytesRead);
    if (code == 0) {
        code = AppendEncodedResponse(response, coSoapReadResponseBegin, coSoapReadResponseEnd,
                                     buffer.get(), length, bytesRead);
    }
    return code;
}

int32_t CIxoSoapImpl::Service_Write(const char* netId, unsigned short port, unsigned int group,
                                    unsigned int offset, const char* data, std::string& response)
{
    if (IxoSoapOpen() == 0) {
        return IXO_SOAP_NO_PORT;
    }
    RoxAddr address = MakeAddress(netId, port);
    Base64Bytes writeData;
    int decodedLength = 0;
    if (!DecodeData(data, writeData, decodedLength)) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    const int32_t code = IxoSyncWriteReq(&address, group, offset,
                                         static_cast<uint32_t>(decodedLength), writeData.get());
    if (code == 0) {
        response.assign(coSoapWriteResponse);
    }
    return code;
}

int32_t CIxoSoapImpl::Service_ReadWrite(const char* netId, unsigned short port,
                                        unsigned int group, unsigned int offset,
                                        unsigned int readLength, const char* writeData,
                                        std::string& response)
{
    if (IxoSoapOpen() == 0) {
        return IXO_SOAP_NO_PORT;
    }
    RoxAddr address = MakeAddress(netId, port);
    const HeapBytes readBuffer = AllocateReadBuffer(readLength);
    if (!readBuffer) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    Base64Bytes writeBuffer;
    int decodedLength = 0;
    if (!DecodeData(writeData, writeBuffer, decodedLength)) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    uint32_t bytesRead = 0;
    int32_t code = IxoSyncReadWriteReqEx(&address, group, offset, readLength, readBuffer.get(),
                                         static_cast<uint32_t>(decodedLength), writeBuffer.get(),
                                         &bytesRead);
    if (code == 0) {
        code = AppendEncodedResponse(response, coSoapReadWriteResponseBegin,
                                     coSoapReadWriteResponseEnd, readBuffer.get(), readLength,
                                     bytesRead);
    }
    return code;
}

int32_t CIxoSoapImpl::Service_ReadState(const char* netId, unsigned short port,
                                        std::string& response)
{
    if (IxoSoapOpen() == 0) {
        return IXO_SOAP_NO_PORT;
    }
    RoxAddr address = MakeAddress(netId, port);
    uint16_t ixoState = 0;
    uint16_t deviceState = 0;
    const int32_t code = IxoSyncReadStateReq(&address, &ixoState, &deviceState);
    if (code != 0) {
        return code;
    }
    const std::unique_ptr<char, FreeBuffer> fragment(
        static_cast<char*>(malloc(coStateFragmentSize)));
    if (!fragment) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    IxoCrt::_snprintf(fragment.get(), coStateFragmentSize - 1, coSoapReadStateResponseParams,
                      static_cast<int>(ixoState), static_cast<int>(deviceState));
    fragment.get()[coStateFragmentSize - 1] = '\0';
    const size_t fragmentLength = strlen(fragment.get());
    response.reserve(response.size() + strlen(coSoapReadStateResponseBegin) + fragmentLength +
                     strlen(coSoapReadStateResponseEnd));
    response.append(coSoapReadStateResponseBegin)
        .append(fragment.get(), fragmentLength)
        .append(coSoapReadStateResponseEnd);
    return 0;
}

int32_t CIxoSoapImpl::Service_WriteControl(const char* netId, unsigned short port,
                                           unsigned short ixoState, unsigned short deviceState,
                                           const char* data, std::string& response)
{
    if (IxoSoapOpen() == 0) {
        return IXO_SOAP_NO_PORT;
    }
    RoxAddr address = MakeAddress(netId, port);
    Base64Bytes controlData;
    int controlLength = 0;
    if (data != nullptr && *data != '\0' && !DecodeData(data, controlData, controlLength)) {
        return IXO_SOAP_OUT_OF_MEMORY;
    }
    const int32_t code =
        IxoSyncWriteControlReq(&address, ixoState, deviceState,
                               controlData ? static_cast<uint32_t>(controlLength) : 0u,
                               controlData.get());
    if (code == 0) {
        response.assign(coSoapWriteControlResponse);
    }
    return code;
}

// ---------------------------------------------------------------------------
// CIxoSoapImpl: information fragments

std::unique_ptr<char[]> CIxoSoapImpl::GetLocalComputerInfoPage()
{
    CSoapInfoPage page(2, "ROX Address", "Values");
    const LONG port = IxoSoapOpen();
    const RoxNetId netId = LocalNetId();
    char portText[16];
    snprintf(portText, sizeof(portText), "%d", static_cast<int>(port));
    char netIdText[32];
    FormatNetId(netIdText, sizeof(netIdText), netId);
    page.AddProperty("Port", portText);
    page.AddProperty("Net Id", netIdText);
    return page.GeneratePage();
}

std::unique_ptr<char[]> CIxoSoapImpl::GetRemoteComputerInfoPage()
{
    RoxAddr router;
    memset(&router, 0, sizeof(router));
    router.netId = LocalNetId();
    router.port = IXO_ROUTER_PORT;
    IxoSoapOpen();

    uint32_t count = 0;
    int32_t code = IxoSyncReadReq(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_COUNT,
                                  sizeof(count), &count);
    HeapBytes entries;
    if (code == 0) {
        const uint64_t total = static_cast<uint64_t>(count) * IXO_ROUTE_ENTRY_SIZE;
        if (total > UINT32_MAX || count > static_cast<uint32_t>(INT_MAX)) {
            code = IXO_SOAP_OUT_OF_MEMORY;
        } else {
            entries.reset(static_cast<unsigned char*>(calloc(total != 0 ? total : 1, 1)));
            if (!entries) {
                code = IXO_SOAP_OUT_OF_MEMORY;
            }
        }
        if (code == 0) {
            for (uint32_t i = 0; i < count; ++i) {
                unsigned char* entry = entries.get() + static_cast<size_t>(i) * IXO_ROUTE_ENTRY_SIZE;
                StoreLittleEndian(entry + 6, coRouteEntryPresetPort, 2);
                StoreLittleEndian(entry + 8, coRouteEntryPresetType, 4);
                StoreLittleEndian(entry + 12, coRouteEntryPresetMode, 4);
            }
            code = IxoSyncReadReq(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_ENTRIES,
                                  static_cast<uint32_t>(total), entries.get());
        }
    }
    if (code != 0) {
        std::unique_ptr<char[]> text(new (std::nothrow) char[coIxoErrorPageSize]);
        if (text) {
            IxoCrt::_snprintf(text.get(), coIxoErrorPageSize - 1, co_szIxoErrorPage,
                              static_cast<unsigned int>(code));
            text[coIxoErrorPageSize - 1] = '\0';
        }
        return text;
    }

    CSoapInfoPage page(static_cast<int>(count), "Remote Computer", "ROX Net Id");
    const size_t nameCapacity = IXO_ROUTE_NETID_OFFSET - IXO_ROUTE_NAME_OFFSET;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* entry =
            entries.get() + static_cast<size_t>(i) * IXO_ROUTE_ENTRY_SIZE;
        // The name ends at its NUL, and at the latest where the net id begins.
        char name[nameCapacity + 1];
        const char* nameStart = reinterpret_cast<const char*>(entry + IXO_ROUTE_NAME_OFFSET);
        const size_t nameLength = strnlen(nameStart, nameCapacity);
        memcpy(name, nameStart, nameLength);
        name[nameLength] = '\0';
        RoxNetId netId;
        memcpy(&netId, entry + IXO_ROUTE_NETID_OFFSET, sizeof(netId));
        char netIdText[32];
        FormatNetId(netIdText, sizeof(netIdText), netId);
        page.AddProperty(name, netIdText);
    }
    return page.GeneratePage();
}

// ---------------------------------------------------------------------------
// CIxoSoap: the facade keeps every failure inside a document or a result code.

CIxoSoap::CIxoSoap() : m_impl(new (std::nothrow) CIxoSoapImpl) {}

CIxoSoap::~CIxoSoap()
{
    delete m_impl;
}

void CIxoSoap::SoapRequest(const char* request, std::string& response)
{
    try {
        if (m_impl == nullptr) {
            CIxoSoapImpl::SetServerFault(response, IXO_SOAP_OUT_OF_MEMORY);
            return;
        }
        m_impl->SoapRequest(request, response);
    } catch (const std::bad_alloc&) {
        try {
            CIxoSoapImpl::SetServerFault(response, IXO_SOAP_OUT_OF_MEMORY);
        } catch (const std::bad_alloc&) {
            response.clear();
        }
    }
}

int CIxoSoap::GetPulginInfo(const char* page, char* buffer, unsigned int* size)
{
    enum { kSuccess = 0, kInvalidParameter = 87, kMoreData = 234 };
    if (size == nullptr || (buffer == nullptr && *size != 0)) {
        return kInvalidParameter;
    }
    if (m_impl == nullptr) {
        return kInvalidParameter;
    }
    try {
        const std::unique_ptr<char[]> fragment =
            (page != nullptr && IxoCrt::_strcmpi(page, "routes") == 0)
                ? m_impl->GetRemoteComputerInfoPage()
                : m_impl->GetLocalComputerInfoPage();
        if (!fragment) {
            return kInvalidParameter;
        }
        const size_t needed = strlen(fragment.get()) + 1;
        if (needed > UINT_MAX) {
            return kInvalidParameter;
        }
        if (*size >= needed) {
            memcpy(buffer, fragment.get(), needed);
            return kSuccess;
        }
        *size = static_cast<unsigned int>(needed);
        return kMoreData;
    } catch (const std::bad_alloc&) {
        return kInvalidParameter;
    }
}
