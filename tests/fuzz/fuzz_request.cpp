// The worker's request reading: any bytes, arriving in reads of any size, through the parser
// with the worker's field arena, buffer and limits, then routed and answered with fields from
// the same arena. Never an exception but the arena's bad_alloc (the worker drops the
// connection), never an overrun, and every arena block back at the end.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "http_worker.h"
#include "mime_type.h"
#include "str_ifind.h"

namespace {

using IxoWebservice::http_worker;
namespace http = boost::beast::http;
using parser_t = http::request_parser<http_worker::request_body_t, http_worker::alloc_t>;
using response_t = http::response<http::string_body, http_worker::fields_t>;

// Answers the parsed request as the worker routes it, with fields from the arena.
void Answer(const http_worker::request& request, http_worker::alloc_t& alloc)
{
    const std::string target(request.target());
    const bool gateway = IxoWebservice::str_ifind(target, "/KvIxoWebService/KvIxoWebService.dll", 0) >= 0;
    response_t response(std::piecewise_construct, std::make_tuple(), std::make_tuple(alloc));
    response.result(request.method() == http::verb::get || request.method() == http::verb::post
                        ? http::status::ok : http::status::bad_request);
    response.set(http::field::server, "Beast");
    response.set(http::field::content_type, gateway ? "text/xml" : IxoWebservice::mime_type(target));
    response.body() = std::string(request.method_string()) + request.body().substr(0, 64);
    response.keep_alive(false);
    response.prepare_payload();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t read_size = 1 + data[0] % 64 * 128;  // the first byte sets the size of each read
    ++data, --size;
    http_worker::alloc_t alloc{http_worker::field_arena_size};
    {
        boost::beast::flat_static_buffer<8192> buffer;
        std::optional<parser_t> parser;
        parser.emplace(std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
        parser->header_limit(http_worker::header_limit);
        parser->body_limit(http_worker::body_limit);
        parser->eager(true);
        bool reading = true;
        while (reading && !parser->is_done()) {
            const size_t room = buffer.max_size() - buffer.size();
            const size_t bytes = std::min({room, read_size, size});
            if (bytes == 0)
                break;  // a full buffer or the end of the input: the connection ends
            auto space = buffer.prepare(bytes);
            std::copy(data, data + bytes, static_cast<uint8_t*>(space.data()));
            buffer.commit(bytes), data += bytes, size -= bytes;
            for (;;) {
                boost::beast::error_code ec;
                size_t used = 0;
                try {
                    used = parser->put(buffer.data(), ec);
                } catch (const std::bad_alloc&) {
                    reading = false;  // the fields overflow the arena: the worker drops the connection
                    break;
                }
                buffer.consume(used);
                if (parser->is_done() || ec == http::error::need_more || (!ec && (used == 0 || buffer.size() == 0)))
                    break;
                if (ec) {
                    reading = false;
                    break;
                }
            }
        }
        try {
            if (reading && parser->is_done())
                Answer(parser->get(), alloc);
        } catch (const std::bad_alloc&) {
        }
    }
    if (alloc.pool().blocks_out() != 0 || alloc.pool().bytes_used() != 0)
        std::abort();  // a block of the arena was never given back
    return 0;
}
