#include "mime_type.h"

#include <iterator>

namespace IxoWebservice {

namespace {

struct extension_type {
    const char* extension;
    const char* type;
};

constexpr extension_type known_types[] = {
    {".htm", "text/html"},
    {".html", "text/html"},
    {".php", "text/html"},
    {".css", "text/css"},
    {".txt", "text/plain"},
    {".js", "application/javascript"},
    {".json", "application/json"},
    {".xml", "application/xml"},
    {".wsdl", "application/wsdl+xml"},
    {".swf", "application/x-shockwave-flash"},
    {".flv", "video/x-flv"},
    {".png", "image/png"},
    {".jpe", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpg", "image/jpeg"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".ico", "image/vnd.microsoft.icon"},
    {".tiff", "image/tiff"},
    {".tif", "image/tiff"},
    {".svg", "image/svg+xml"},
    {".svgz", "image/svg+xml"},
};

// Folds A to Z only; every other byte stays as it is.
char fold_ascii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_folded(boost::beast::string_view ext, boost::beast::string_view known)
{
    if (ext.size() != known.size())
        return false;
    for (std::size_t i = 0; i < ext.size(); ++i)
        if (fold_ascii(ext[i]) != fold_ascii(known[i]))
            return false;
    return true;
}

}  // namespace

boost::beast::string_view mime_type(boost::beast::string_view path)
{
    const auto dot = path.rfind('.');
    if (dot != boost::beast::string_view::npos) {
        const boost::beast::string_view ext = path.substr(dot);
        for (const extension_type& known : known_types)
            if (equals_folded(ext, known.extension))
                return known.type;
    }
    return "application/text";
}

}  // namespace IxoWebservice
