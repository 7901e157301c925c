#include "http_worker.h"

#include "IxoSoap.h"
#include "IxoWebServerGlobals.h"
#include "mime_type.h"
#include "str_ifind.h"

#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <utility>

#if defined(__FreeBSD__)
#include <sys/uio.h>
#else
#include <sys/sendfile.h>
#endif
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace IxoWebservice {

namespace http = boost::beast::http;
using boost::beast::error_code;

const char* const co_pszPluginInfo =
    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
    "<link rel=\"stylesheet\" type=\"text/css\" href=\"Korvel.css\">"
    "<title>Korvel Ixo Web Server</title></head><BODY TOPMARGIN=\"0\">"
    "<h1><span lang=\"en-us\">Korvel Ixo Web Server</span></h1>%s</body></html>";

namespace {

const std::string gateway_path = "/KvIxoWebService/KvIxoWebService.dll";

const char short_server_page[] =
    "<html>\n<head><title>KV/BSD Ixo Webserver</title></head>\n<body>\nKV/BSD Ixo Webserver\n"
    "</body>\n</html>\n";

const char info_fallback[] = "Failed to get plugin info.";

constexpr unsigned int info_first_size = 1024;
constexpr int info_buffer_too_small = 234;

const std::string text_plain = "text/plain";
const std::string text_html = "text/html";
const std::string text_xml = "text/xml";

// Bytes handed to one sendfile call, so that one large file cannot hold up the loop for long.
constexpr std::size_t chunk_limit = 1024 * 1024;

// Copies up to count bytes of the file at offset to the socket inside the kernel.
// Answers the number of bytes sent (0: the file ended), or -1 with errno set.
long send_file_part(int socket_fd, int file_fd, std::uint64_t offset, std::size_t count)
{
#if defined(__FreeBSD__)
    // SO_NOSIGPIPE on the socket keeps a vanished peer from raising SIGPIPE here.
    off_t sent = 0;
    const int result = ::sendfile(file_fd, socket_fd, static_cast<off_t>(offset), count, nullptr, &sent, 0);
    if (result == 0 || sent > 0)
        return static_cast<long>(sent);
    return -1;
#else
    // Linux: sendfile has no MSG_NOSIGNAL; the service ignores SIGPIPE instead (main).
    off_t at = static_cast<off_t>(offset);
    return static_cast<long>(::sendfile(socket_fd, file_fd, &at, count));
#endif
}

// Opens path for reading ("rb") into body when it names a regular file.
// The descriptor is opened non-blocking, so that a FIFO cannot hold up the loop, and
// examined before stdio takes it over: one path walk per request.
void open_regular_file(const char* path, http_worker::file_body_t::value_type& body, error_code& ec)
{
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ec.assign(errno, boost::system::generic_category());
        return;
    }
    struct stat status;
    std::FILE* stream = nullptr;
    if (::fstat(fd, &status) != 0)
        ec.assign(errno, boost::system::generic_category());
    else if (S_ISDIR(status.st_mode))
        ec = make_error_code(boost::system::errc::is_a_directory);
    else if (!S_ISREG(status.st_mode))
        ec = make_error_code(boost::system::errc::invalid_argument);
    else if ((stream = ::fdopen(fd, "rb")) == nullptr)
        ec.assign(errno, boost::system::generic_category());
    if (stream == nullptr) {
        ::close(fd);
        return;
    }
    // The serializer reads in pieces of its own buffer's size: a stdio buffer in
    // between would only add a copy, an allocation and the fstat that sizes it.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    sized_file_stdio file;
    file.adopt(stream, static_cast<std::uint64_t>(status.st_size));
    body.reset(std::move(file), ec);
}

// Builds a response whose fields live on the worker's arena (version 1.1, Connection
// close, Server, Content-Type, the body and its Content-Length), then its serializer.
// False, with both slots empty, when the fields do not fit in what the request left
// of the arena: the caller drops the connection.
template <class Response, class Serializer, class Body>
bool build_response(boost::optional<Response>& response, boost::optional<Serializer>& serializer,
                    const http_worker::alloc_t& alloc, http::status status,
                    boost::beast::string_view content_type, Body&& body)
{
    serializer.reset();
    response.reset();
    try {
        response.emplace(std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
        response->result(status);
        response->keep_alive(false);
        response->set(http::field::server, "Beast");
        response->set(http::field::content_type, content_type);
        response->body() = std::forward<Body>(body);
        response->prepare_payload();
        serializer.emplace(*response);
        return true;
    } catch (const std::bad_alloc&) {
        serializer.reset();
        response.reset();
        return false;
    }
}

// now + span on the steady clock, saturating at the clock's last time point.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::duration span)
{
    const auto now = std::chrono::steady_clock::now();
    if (now > std::chrono::steady_clock::time_point::max() - span)
        return std::chrono::steady_clock::time_point::max();
    return now + span;
}

}  // namespace

http_worker::http_worker(stream_protocol::acceptor& acceptor_, const std::string& doc_root_)
    : acceptor(acceptor_),
      doc_root(doc_root_),
      socket(acceptor_.get_executor()),
      request_deadline(acceptor_.get_executor(), std::chrono::steady_clock::time_point::max())
{
}

http_worker::~http_worker()
{
    // Responses and serializers go before the parser: all of them hold arena blocks.
    file_serializer.reset();
    file_response.reset();
    string_serializer.reset();
    string_response.reset();
    parser.reset();
    error_code ignored;
    socket.close(ignored);
}

void http_worker::start()
{
    accept();
    check_deadline();
}

void http_worker::accept()
{
    error_code ignored;
    socket.close(ignored);
    buffer.consume(buffer.size());
    // The finished request gives its arena blocks and body back now rather than
    // at the next read, so an idle worker holds no request memory.
    parser.reset();

    acceptor.async_accept(socket, [this](error_code ec) {
        if (ec) {
            accept();
            return;
        }
#if defined(SO_NOSIGPIPE)
        // FreeBSD: writing to a peer that has gone away fails with EPIPE instead of
        // raising SIGPIPE. (Linux gets the same from Asio's MSG_NOSIGNAL on every send.)
        const int on = 1;
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
        request_deadline.expires_at(deadline_after(connection_time));
        read_request();
    });
}

void http_worker::read_request()
{
    parser.emplace(std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
    parser->header_limit(header_limit);
    parser->body_limit(body_limit);
    parser->eager(true);
    read_more();
}

void http_worker::read_more()
{
    // The whole header has to fit in the buffer: a full buffer ends the connection.
    const std::size_t room = buffer.max_size() - buffer.size();
    if (room == 0) {
        accept();
        return;
    }
    socket.async_read_some(buffer.prepare(room), [this](error_code ec, std::size_t bytes) {
        if (ec) {
            accept();
            return;
        }
        buffer.commit(bytes);
        parse_buffered();
    });
}

void http_worker::parse_buffered()
{
    for (;;) {
        error_code ec;
        std::size_t used = 0;
        try {
            used = parser->put(buffer.data(), ec);
        } catch (const std::bad_alloc&) {
            // The header fields overflow the field arena: drop the connection.
            accept();
            return;
        }
        buffer.consume(used);
        if (parser->is_done()) {
            process_request(parser->get());
            return;
        }
        if (ec == http::error::need_more || (!ec && (used == 0 || buffer.size() == 0))) {
            read_more();
            return;
        }
        if (ec) {
            accept();
            return;
        }
    }
}

void http_worker::check_deadline()
{
    if (request_deadline.expiry() <= std::chrono::steady_clock::now()) {
        socket.close();
        request_deadline.expires_at(std::chrono::steady_clock::time_point::max());
    }
    request_deadline.async_wait([this](error_code) { check_deadline(); });
}

void http_worker::process_request(const request& req)
{
    const boost::beast::string_view target = req.target();
    target_text.assign(target.data(), target.size());

    if (v) {
        const std::string full = doc_root + target_text;
        syslog(LOG_NOTICE, "process_request: root: %s", doc_root.c_str());
        syslog(LOG_NOTICE, "process_request: file: %s", target_text.c_str());
        syslog(LOG_NOTICE, "process_request: full: %s", full.c_str());
    }

    switch (req.method()) {
    case http::verb::post:
        if (str_ifind(target_text, gateway_path, 0) >= 0)
            send_Ixo_response(req);
        else
            send_file(target_text);
        break;
    case http::verb::get:
        if (str_ifind(target_text, gateway_path, 0) >= 0)
            send_information_page();
        else
            send_file(target_text);
        break;
    default: {
        const boost::beast::string_view method = req.method_string();
        std::string body = "Invalid request-method '";
        body.append(method.data(), method.size());
        body += "'\r\n";
        send_response(http::status::bad_request, std::move(body), text_plain);
        break;
    }
    }
}

void http_worker::send_information_page()
{
    // The first try uses a stack buffer; a larger size asked for by the gateway is
    // taken from the heap, as often as the gateway keeps asking for more.
    char first_buffer[info_first_size];
    std::unique_ptr<char[]> larger_buffer;
    char* buffer_in_use = first_buffer;
    unsigned int size = info_first_size;
    const char* fragment = info_fallback;

    for (;;) {
        const unsigned int given = size;
        const int result = g_soap.GetPulginInfo(nullptr, buffer_in_use, &size);
        if (result == 0) {
            buffer_in_use[given - 1] = '\0';
            fragment = buffer_in_use;
            break;
        }
        if (result == info_buffer_too_small && size > given) {
            larger_buffer.reset(new char[size]);
            buffer_in_use = larger_buffer.get();
            continue;
        }
        break;
    }

    const std::size_t frame_length = std::strlen(co_pszPluginInfo);
    const std::size_t fragment_length = std::strlen(fragment);
    std::string page(frame_length + fragment_length + 2, '\0');
    std::snprintf(&page[0], frame_length + fragment_length + 1, co_pszPluginInfo, fragment);
    page.back() = '\0';
    page.resize(std::strlen(page.c_str()));
    larger_buffer.reset();

    send_response(http::status::ok, std::move(page), text_html);
}

void http_worker::send_response(http::status status, std::string body, const std::string& content_type)
{
    if (!build_response(string_response, string_serializer, alloc, status, content_type, std::move(body))) {
        accept();
        return;
    }
    http::async_write(socket, *string_serializer, [this](error_code, std::size_t) { end_connection(); });
}

void http_worker::send_Ixo_response(const request& req)
{
    if (req.body().empty()) {
        send_response(http::status::ok, short_server_page, text_html);
        return;
    }
    std::string out;
    g_soap.SoapRequest(req.body().c_str(), out);
    send_response(http::status::ok, std::move(out), text_xml);
}

void http_worker::send_not_found()
{
    send_response(http::status::not_found, "File not found\r\n", text_plain);
}

void http_worker::send_file(boost::beast::string_view target)
{
    // An empty root would make the target an absolute path of the machine: no files then.
    if (doc_root.empty() || target.empty() || target.front() != '/' ||
        target.find("..") != boost::beast::string_view::npos) {
        send_not_found();
        return;
    }

    file_path.assign(doc_root);
    file_path.append(target.data(), target.size());
    const std::size_t path_query = file_path.rfind('?');
    if (path_query != std::string::npos)
        file_path.resize(path_query);

    if (file_path.size() == doc_root.size() + 1 && file_path.back() == '/' &&
        file_path.compare(0, doc_root.size(), doc_root) == 0) {
        send_not_found();
        return;
    }

    error_code ec;
    file_body_t::value_type body;
    open_regular_file(file_path.c_str(), body, ec);
    if (ec) {
        if (v)
            syslog(LOG_NOTICE, "send_file: file_open: %s %s", file_path.c_str(), ec.message().c_str());
        body.close();
        send_not_found();
        return;
    }

    const std::size_t target_query = target.rfind('?');
    const boost::beast::string_view name =
        target_query == boost::beast::string_view::npos ? target : target.substr(0, target_query);

    if (!build_response(file_response, file_serializer, alloc, http::status::ok, mime_type(name), std::move(body))) {
        accept();
        return;
    }
    const std::uint64_t size = file_response->body().size();
    if (size > kernel_copy_threshold && start_kernel_file_write(size))
        return;
    http::async_write(socket, *file_serializer, [this](error_code, std::size_t) { end_connection(); });
}

bool http_worker::start_kernel_file_write(std::uint64_t size)
{
    // The serializer renders the header only; its pieces stay valid while it lives.
    std::size_t pieces = 0;
    bool fits = true;
    error_code ec;
    file_serializer->split(true);
    file_serializer->next(ec, [&](error_code&, const auto& buffers) {
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
             ++it) {
            if (pieces == file_header.size()) {
                fits = false;
                return;
            }
            file_header[pieces++] = *it;
        }
    });
    if (ec || !fits) {
        file_serializer->split(false);
        return false;
    }
    while (pieces < file_header.size())
        file_header[pieces++] = boost::asio::const_buffer();

    file_offset = 0;
    file_remaining = size;
    boost::asio::async_write(socket, file_header, [this](error_code write_error, std::size_t) {
        if (write_error)
            end_connection();
        else
            send_file_content();
    });
    return true;
}

void http_worker::send_file_content()
{
    // The socket is already non-blocking: the request was read from it asynchronously.
    const int socket_fd = socket.native_handle();
    const int file_fd = ::fileno(file_response->body().file().native_handle());
    for (;;) {
        const std::size_t chunk = file_remaining < chunk_limit ? static_cast<std::size_t>(file_remaining) : chunk_limit;
        const long sent = send_file_part(socket_fd, file_fd, file_offset, chunk);
        if (sent > 0) {
            file_offset += static_cast<std::uint64_t>(sent);
            file_remaining -= static_cast<std::uint64_t>(sent);
            if (file_remaining == 0)
                break;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            socket.async_wait(stream_protocol::socket::wait_write, [this](error_code wait_error) {
                if (wait_error)
                    end_connection();
                else
                    send_file_content();
            });
            return;
        }
        break;  // a failed send, or a file that ended early
    }
    end_connection();
}

void http_worker::end_connection()
{
    if (socket.is_open()) {
        error_code ignored;
        socket.shutdown(stream_protocol::socket::shutdown_send, ignored);
    }
    string_serializer.reset();
    string_response.reset();
    file_serializer.reset();
    file_response.reset();
    accept();
}

}  // namespace IxoWebservice
