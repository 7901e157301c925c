#include "http_worker.h"

#include "IxoSoap.h"
#include "IxoWebServerGlobals.h"
#include "mime_type.h"
#include "str_ifind.h"

#include <boost/asio/post.hpp>
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
#include <sys/uio.h>
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

// Whether a sendfile error means that the system does not copy this file to this socket
// in the kernel at all (FreeBSD limits it for some socket and file kinds).
bool kernel_copy_refused(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
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

// start + span on the steady clock, saturating at the clock's last time point.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     std::chrono::steady_clock::duration span)
{
    if (start > std::chrono::steady_clock::time_point::max() - span)
        return std::chrono::steady_clock::time_point::max();
    return start + span;
}

enum class write_state { done, blocked, failed };

// Sends what the socket takes of the serializer's message without waiting for room, up to
// about budget bytes (then it answers blocked, so that the rest goes out through the loop).
// Most responses go out whole here, with one system call and no trip through the loop.
template <class Serializer>
write_state write_without_waiting(int socket_fd, Serializer& serializer, std::size_t budget)
{
    constexpr std::size_t max_pieces = 16;
    std::size_t sent_in_pass = 0;
    while (!serializer.is_done()) {
        if (sent_in_pass >= budget)
            return write_state::blocked;
        iovec pieces[max_pieces];
        std::size_t count = 0;
        error_code ec;
        serializer.next(ec, [&](error_code&, const auto& buffers) {
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 it != boost::asio::buffer_sequence_end(buffers) && count < max_pieces; ++it) {
                const boost::asio::const_buffer piece = *it;
                pieces[count].iov_base = const_cast<void*>(piece.data());
                pieces[count].iov_len = piece.size();
                ++count;
            }
        });
        if (ec)
            return write_state::failed;
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
        const ssize_t sent = ::sendmsg(socket_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return write_state::blocked;
            return write_state::failed;
        }
        serializer.consume(static_cast<std::size_t>(sent));
        sent_in_pass += static_cast<std::size_t>(sent);
    }
    return write_state::done;
}

// Sends the pieces without waiting for room and drops what was sent from their fronts.
template <std::size_t N>
write_state send_pieces_now(int socket_fd, std::array<boost::asio::const_buffer, N>& pieces)
{
    iovec vector[N];
    std::size_t count = 0;
    std::size_t total = 0;
    for (const boost::asio::const_buffer& piece : pieces) {
        if (piece.size() == 0)
            continue;
        vector[count].iov_base = const_cast<void*>(piece.data());
        vector[count].iov_len = piece.size();
        total += piece.size();
        ++count;
    }
    if (total == 0)
        return write_state::done;
    msghdr message{};
    message.msg_iov = vector;
    message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
    ssize_t sent;
    do
        sent = ::sendmsg(socket_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? write_state::blocked : write_state::failed;
    std::size_t done = static_cast<std::size_t>(sent);
    for (boost::asio::const_buffer& piece : pieces) {
        const std::size_t skip = done < piece.size() ? done : piece.size();
        piece += skip;
        done -= skip;
    }
    return static_cast<std::size_t>(sent) == total ? write_state::done : write_state::blocked;
}

}  // namespace

http_worker::http_worker(accept_gate& gate_, const std::string& doc_root_, file_cache& files_)
    : gate(gate_),
      doc_root(doc_root_),
      files(files_),
      socket(gate_.acceptor().get_executor()),
      request_deadline(gate_.acceptor().get_executor(), std::chrono::steady_clock::time_point::max())
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
    if (!adopted && connection >= 0)
        ::close(connection);
}

void http_worker::start()
{
    accept();
    check_deadline();
}

void http_worker::accept()
{
    error_code ignored;
    if (adopted)
        socket.close(ignored);
    else if (connection >= 0)
        ::close(connection);
    connection = -1;
    adopted = false;
    buffer.consume(buffer.size());
    deadline_armed = false;
    // The finished request gives its arena blocks and body back now rather than
    // at the next read, so an idle worker holds no request memory.
    parser.reset();
    gate.enqueue(*this);
}

void http_worker::serve(int fd)
{
    connection = fd;
#if defined(SO_NOSIGPIPE)
    // FreeBSD: writing to a peer that has gone away fails with EPIPE instead of raising
    // SIGPIPE, also for sendfile. (Linux: MSG_NOSIGNAL on every send, SIGPIPE ignored.)
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    accepted_at = std::chrono::steady_clock::now();
    read_request();
}

bool http_worker::adopt()
{
    if (adopted)
        return true;
    error_code ec;
    socket.assign(stream_protocol(), connection, ec);
    if (ec)
        return false;
    adopted = true;
    return true;
}

void http_worker::arm_deadline()
{
    if (deadline_armed)
        return;
    deadline_armed = true;
    request_deadline.expires_at(deadline_after(accepted_at, connection_time));
}

void http_worker::read_request()
{
    parser.emplace(std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
    parser->header_limit(header_limit);
    parser->body_limit(body_limit);
    parser->eager(true);
    receive();
}

void http_worker::receive()
{
    for (;;) {
        if (buffer.size() != 0) {
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
            if (ec && ec != http::error::need_more) {
                accept();
                return;
            }
            if (!ec && used != 0 && buffer.size() != 0)
                continue;
        }
        // The whole header has to fit in the buffer: a full buffer ends the connection.
        const std::size_t room = buffer.max_size() - buffer.size();
        if (room == 0) {
            accept();
            return;
        }
        // Read without waiting first: a client mostly sends its request right after it
        // connects, so it is usually there by the time the connection is accepted.
        const boost::asio::mutable_buffer space = buffer.prepare(room);
        const ssize_t got = ::recv(connection_fd(), space.data(), space.size(), MSG_DONTWAIT);
        if (got > 0) {
            buffer.commit(static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && adopt()) {
            arm_deadline();
            socket.async_wait(stream_protocol::socket::wait_read, [this](error_code ec) {
                if (ec)
                    accept();
                else
                    receive();
            });
            return;
        }
        accept();  // end of stream, or a failed read
        return;
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
    write_response(*string_serializer);
}

template <class Serializer>
void http_worker::write_response(Serializer& serializer)
{
    if (write_without_waiting(connection_fd(), serializer, pass_limit) != write_state::blocked || !adopt()) {
        end_connection();
        return;
    }
    arm_deadline();
    http::async_write(socket, serializer, [this](error_code, std::size_t) { end_connection(); });
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
    file_cache::found found;
    file_body_t::value_type body;
    files.lookup(file_path, found, ec);
    if (!ec && !found.content)
        body.reset(shared_file(std::move(found.file)), ec);
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

    if (found.content) {
        send_memory_file(std::move(found.content), mime_type(name));
        return;
    }
    if (!build_response(file_response, file_serializer, alloc, http::status::ok, mime_type(name), std::move(body))) {
        accept();
        return;
    }
    const std::uint64_t size = file_response->body().size();
    if (size > kernel_copy_threshold && start_kernel_file_write(size))
        return;
    write_response(*file_serializer);
}

void http_worker::send_memory_file(file_cache::content_ptr content, boost::beast::string_view content_type)
{
    // A file's head depends only on its size and media type: the serializer renders it
    // once, later responses send the memo and the bytes with one call. The same content
    // reached under another media type (a document root whose name holds a "?") gets a
    // head of this connection's own.
    const std::string* head = &content->head;
    if (content->head.empty()) {
        if (!render_head(content->bytes, content_type, content->head)) {
            accept();
            return;
        }
        content->head_type = content_type.data();
    } else if (content->head_type != content_type.data()) {
        if (!render_head(content->bytes, content_type, connection_head)) {
            accept();
            return;
        }
        head = &connection_head;
    }
    memory_content = std::move(content);
    memory_pieces[0] = boost::asio::buffer(*head);
    memory_pieces[1] = boost::asio::buffer(memory_content->bytes);
    if (send_pieces_now(connection_fd(), memory_pieces) != write_state::blocked || !adopt()) {
        end_connection();
        return;
    }
    arm_deadline();
    boost::asio::async_write(socket, memory_pieces, [this](error_code, std::size_t) { end_connection(); });
}

bool http_worker::render_head(const std::string& bytes, boost::beast::string_view content_type, std::string& head)
{
    boost::optional<memory_response_t> response;
    boost::optional<memory_serializer_t> serializer;
    const memory_body_t::value_type view(bytes.data(), bytes.size());
    if (!build_response(response, serializer, alloc, http::status::ok, content_type, view))
        return false;
    error_code ec;
    serializer->split(true);
    try {
        std::string rendered;
        serializer->next(ec, [&](error_code&, const auto& buffers) {
            for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
                 ++it) {
                const boost::asio::const_buffer piece = *it;
                rendered.append(static_cast<const char*>(piece.data()), piece.size());
            }
        });
        if (ec)
            return false;
        head.assign(rendered);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
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
    file_header_bytes = boost::asio::buffer_size(file_header);

    file_offset = 0;
    file_remaining = size;
    // Header and content go out without waiting as far as the socket takes them.
    const write_state header_state = send_pieces_now(connection_fd(), file_header);
    if (header_state == write_state::done) {
        send_file_content();
        return true;
    }
    if (header_state == write_state::failed || !adopt()) {
        end_connection();
        return true;
    }
    arm_deadline();
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
    // The descriptor is non-blocking from its accept: a full socket answers EAGAIN.
    const int socket_fd = connection_fd();
    const int file_fd = file_response->body().file().native_handle();
    std::size_t pass_left = pass_limit;
    for (;;) {
        if (pass_left == 0) {
            // The socket still takes data: let timers and other connections run, then go on.
            if (!adopt())
                break;
            arm_deadline();
            boost::asio::post(socket.get_executor(), [this] {
                if (socket.is_open())
                    send_file_content();
                else
                    end_connection();  // cut by the deadline meanwhile
            });
            return;
        }
        const std::size_t chunk = file_remaining < pass_left ? static_cast<std::size_t>(file_remaining) : pass_left;
        const long sent = send_file_part(socket_fd, file_fd, file_offset, chunk);
        if (sent > 0) {
            file_offset += static_cast<std::uint64_t>(sent);
            file_remaining -= static_cast<std::uint64_t>(sent);
            pass_left -= static_cast<std::size_t>(sent);
            if (file_remaining == 0)
                break;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && adopt()) {
            arm_deadline();
            socket.async_wait(stream_protocol::socket::wait_write, [this](error_code wait_error) {
                if (wait_error)
                    end_connection();
                else
                    send_file_content();
            });
            return;
        }
        if (sent < 0 && file_offset == 0 && kernel_copy_refused(errno)) {
            send_file_by_copy();
            return;
        }
        break;  // a failed send, or a file that ended early
    }
    end_connection();
}

void http_worker::send_file_by_copy()
{
    // The header has gone out: the serializer takes it as sent and goes on with the body,
    // read from the start of the file at offsets of its own (pread): the descriptor may be
    // sending to other connections at the same time.
    file_serializer->consume(file_header_bytes);
    write_response(*file_serializer);
}

void http_worker::end_connection()
{
    if (adopted && socket.is_open()) {
        error_code ignored;
        socket.shutdown(stream_protocol::socket::shutdown_send, ignored);
    } else if (!adopted && connection >= 0) {
        ::shutdown(connection, SHUT_WR);
    }
    string_serializer.reset();
    string_response.reset();
    file_serializer.reset();
    file_response.reset();
    memory_content.reset();
    accept();
}

}  // namespace IxoWebservice
