// One connection slot of the service: accepts a connection, reads one request,
// writes one response, closes the connection and accepts the next one.
#ifndef IXO_HTTP_WORKER_H
#define IXO_HTTP_WORKER_H

#include "accept_gate.h"
#include "fields_alloc.h"
#include "file_cache.h"
#include "shared_file.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace IxoWebservice {

// HTML frame of the information page; its single "%s" takes the gateway's fragment.
extern const char* const co_pszPluginInfo;

class http_worker {
public:
    using stream_protocol = boost::asio::local::stream_protocol;
    using alloc_t = fields_alloc<char>;
    using fields_t = boost::beast::http::basic_fields<alloc_t>;
    using request_body_t = boost::beast::http::string_body;
    using request = boost::beast::http::request<request_body_t, fields_t>;
    using file_body_t = boost::beast::http::basic_file_body<shared_file>;

    static constexpr std::size_t header_limit = 8192;
    static constexpr std::uint64_t body_limit = 1024 * 1024;
    static constexpr std::size_t field_arena_size = 8192;
    static constexpr std::chrono::seconds connection_time{60};
    // Files larger than one read of the file body are copied to the socket by the kernel.
    static constexpr std::uint64_t kernel_copy_threshold = 4096;
    // Bytes one connection sends in one pass before it gives the event loop back to the others.
    static constexpr std::size_t pass_limit = 1024 * 1024;

    // The gate and files are shared by all workers and outlive them.
    http_worker(accept_gate& gate, const std::string& doc_root, file_cache& files);
    ~http_worker();

    http_worker(const http_worker&) = delete;
    http_worker& operator=(const http_worker&) = delete;

    // Begins the accept cycle and the deadline watcher; called once after construction.
    void start();
    // Serves a connection the gate accepted for this worker (a non-blocking descriptor).
    void serve(int fd);

private:
    using string_response_t = boost::beast::http::response<boost::beast::http::string_body, fields_t>;
    using string_serializer_t =
        boost::beast::http::response_serializer<boost::beast::http::string_body, fields_t>;
    using file_response_t = boost::beast::http::response<file_body_t, fields_t>;
    using file_serializer_t = boost::beast::http::response_serializer<file_body_t, fields_t>;
    using memory_body_t = boost::beast::http::span_body<const char>;
    using memory_response_t = boost::beast::http::response<memory_body_t, fields_t>;
    using memory_serializer_t = boost::beast::http::response_serializer<memory_body_t, fields_t>;
    using request_parser_t = boost::beast::http::request_parser<request_body_t, alloc_t>;

    // Closes the current connection and waits for the next one.
    void accept();
    // Hands the connection's descriptor to socket, for waiting in the event loop; false on failure.
    bool adopt();
    int connection_fd() { return adopted ? socket.native_handle() : connection; }
    // Starts reading one request with a fresh parser.
    void read_request();
    // Parses and reads until the request is complete; waits when the socket has nothing yet.
    void receive();
    // Gives the connection its deadline before its first wait: an exchange that never waits
    // ends long before it, and then costs no timer work.
    void arm_deadline();
    // Writes what the socket takes now, then lets the rest go out asynchronously.
    template <class Serializer>
    void write_response(Serializer& serializer);
    // Closes a connection whose deadline has passed; re-armed for the worker's life.
    void check_deadline();

    void process_request(const request& req);
    void send_information_page();
    void send_response(boost::beast::http::status status, std::string body, const std::string& content_type);
    void send_Ixo_response(const request& req);
    void send_file(boost::beast::string_view target);
    void send_not_found();
    // Sends a small file's content from memory, after the response head memo of the content.
    void send_memory_file(file_cache::content_ptr content, boost::beast::string_view content_type);
    // Renders the response head for bytes of a file of the media type into head.
    bool render_head(const std::string& bytes, boost::beast::string_view content_type, std::string& head);
    // Writes the header, then lets the kernel copy the file to the socket; false when not possible.
    bool start_kernel_file_write(std::uint64_t size);
    // Sends what the socket takes of the rest of the file, at most pass_limit bytes a pass;
    // waits for room, or ends the connection.
    void send_file_content();
    // Sends the file's content through the serializer's reads (pread from the start of the
    // file), after the header already sent.
    void send_file_by_copy();

    // Common end of every response write: shut down sending, release, accept again.
    void end_connection();

    accept_gate& gate;
    std::string doc_root;
    file_cache& files;
    stream_protocol::socket socket;
    boost::beast::flat_static_buffer<8192> buffer;
    alloc_t alloc{field_arena_size};
    boost::optional<request_parser_t> parser;
    boost::asio::steady_timer request_deadline;
    boost::optional<string_response_t> string_response;
    boost::optional<string_serializer_t> string_serializer;
    boost::optional<file_response_t> file_response;
    boost::optional<file_serializer_t> file_serializer;
    file_cache::content_ptr memory_content;  // keeps the content alive while it is written
    std::array<boost::asio::const_buffer, 2> memory_pieces;  // its head and bytes still to send
    // A head of this connection's own, for a content whose memo names another media type:
    // the memo may be in flight on other connections, so it is never replaced.
    std::string connection_head;

    // The current connection: owned here until it first has to wait, then by socket.
    int connection = -1;
    bool adopted = false;
    // When the current connection was accepted, and whether its deadline has been set.
    std::chrono::steady_clock::time_point accepted_at;
    bool deadline_armed = false;

    // A large file's header pieces and the part of its content still to send.
    std::array<boost::asio::const_buffer, 16> file_header;
    std::size_t file_header_bytes = 0;
    std::uint64_t file_offset = 0;
    std::uint64_t file_remaining = 0;

    // Scratch texts kept between requests so that their storage is reused.
    std::string target_text;
    std::string file_path;
};

}  // namespace IxoWebservice

#endif  // IXO_HTTP_WORKER_H
