// The SOAP gateway against the simulated device: any text in, exactly one well-formed
// UTF-8 XML document out, never a crash, leak or overrun.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pugixml.hpp>

#include "IxoSoap.h"
#include "IxoSoapImpl.h"
#include "KvIxoSim.h"

namespace {

// True when some indexGroup names the simulated device's delay groups, which would
// make an input sleep for up to a minute.
bool AsksForDelay(const char* text)
{
    pugi::xml_document document;
    if (document.load_string(text).status != pugi::status_ok)
        return false;
    for (const pugi::xpath_node& node : document.select_nodes("//indexGroup")) {
        const uint32_t group = ConvertToUint(node.node().child_value());
        if ((group & 0xFFFF0000u) == KVIXO_SIM_GROUP_DELAY_BASE)
            return true;
    }
    return false;
}

// True when the text is valid UTF-8, by the C library's decoder.
bool IsUtf8(const std::string& text)
{
    static const bool utf8_locale = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    return utf8_locale && std::mbstowcs(nullptr, text.c_str(), 0) != static_cast<size_t>(-1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CIxoSoap soap;  // one gateway for the process, as in the service
    const std::string request(reinterpret_cast<const char*>(data), size);  // cut at a NUL, as the worker does
    if (AsksForDelay(request.c_str()))
        return 0;
    std::string answer;
    soap.SoapRequest(request.c_str(), answer);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(answer.data(), answer.size(),
                                                               pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
    if (!IsUtf8(answer) || parsed.status != pugi::status_ok ||
        std::strcmp(document.document_element().name(), "SOAP-ENV:Envelope") != 0) {
        std::fprintf(stderr, "answer is not a well-formed UTF-8 SOAP document:\n%s\n", answer.c_str());
        std::abort();
    }
    return 0;
}
