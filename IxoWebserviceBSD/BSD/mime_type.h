// Media type of a file name, chosen by its extension.
#ifndef IXO_MIME_TYPE_H
#define IXO_MIME_TYPE_H

#include <boost/beast/core/string.hpp>

namespace IxoWebservice {

// Media type for the text after the last "." of path (ASCII case ignored);
// "application/text" when there is no dot or no known extension.
boost::beast::string_view mime_type(boost::beast::string_view path);

}  // namespace IxoWebservice

#endif  // IXO_MIME_TYPE_H
