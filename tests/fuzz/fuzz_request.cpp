// The worker's request reading: any bytes, arriving in reads of any size, through the parser with
// the worker's field arena, buffer and limits, then answered with fields from the same arena. Never
// an exception but the arena's bad_alloc (the worker drops the connection), never an overrun, and
// every arena block back at the end.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <tuple>

#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "http_worker.h"
#include "mime_type.h"

using IxoWebservice::http_worker;
namespace http = boost::beast::http;
using parser_t = http::request_parser<http_worker::request_body_t, http_worker::alloc_t>;
using response_t = http::response<http::string_body, http_worker::fields_t>;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t read_size = 1 + data[0] % 64 * 128;  // the first byte sets the size of each read
    ++data, --size;
    http_worker::alloc_t alloc{http_worker::field_arena_size};
    try {
        boost::beast::flat_static_buffer<8192> buffer;
        parser_t parser(std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
        parser.header_limit(http_worker::header_limit);
        parser.body_limit(http_worker::body_limit);
        parser.eager(true);
        // The worker's receive loop: parse what is buffered, then read more.
        for (;;) {
            if (buffer.size() != 0) {
                boost::beast::error_code ec;
                const size_t used = parser.put(buffer.data(), ec);
                buffer.consume(used);
                if (parser.is_done()) {  // answered with fields from the arena, as the worker does
                    const http_worker::request& request = parser.get();
                    response_t response(std::piecewise_construct, std::make_tuple(), std::make_tuple(alloc));
                    response.set(http::field::server, "Beast");
                    response.set(http::field::content_type, IxoWebservice::mime_type(request.target()));
                    response.body() = std::string(request.method_string()) + request.body().substr(0, 64);
                    response.keep_alive(false);
                    response.prepare_payload();
                    break;
                }
                if (ec && ec != http::error::need_more)
                    break;
                if (!ec && used != 0 && buffer.size() != 0)
                    continue;
            }
            const size_t bytes = std::min({buffer.max_size() - buffer.size(), read_size, size});
            if (bytes == 0)
                break;  // a full buffer or the end of the input: the connection ends
            auto space = buffer.prepare(bytes);
            std::copy(data, data + bytes, static_cast<uint8_t*>(space.data()));
            buffer.commit(bytes), data += bytes, size -= bytes;
        }
    } catch (const std::bad_alloc&) {
        // the fields or the answer overflow the arena: the worker drops the connection
    }
    if (alloc.pool().blocks_out() != 0 || alloc.pool().bytes_used() != 0)
        std::abort();  // a block of the arena was never given back
    return 0;
}
