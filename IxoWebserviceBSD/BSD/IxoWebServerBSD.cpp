// Entry point of the service: command line, system log, socket file, worker pool, event loop.
#include "CDaemon.h"
#include "IxoWebServerGlobals.h"
#include "IxoWebServerStartup.h"
#include "http_worker.h"

#include "KvPlatformHelper.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <csignal>
#include <exception>
#include <iostream>
#include <list>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

const char syslog_identity[] = "IxoWebServer";
const char socket_file_name[] = "kvixowebservice.sock";
const char run_directory[] = "/var/run/KvIxoWebService";
const char socket_group[] = "www";
constexpr int num_workers = 100;
constexpr int spin = 0;
constexpr DWORD working_directory_size = 1024;
constexpr mode_t socket_file_mode = 0660;
constexpr int listen_backlog = 128;
constexpr std::size_t longest_socket_path = 103;

}  // namespace

int main(int argc, char** argv)
{
    using IxoWebservice::v;
    using stream_protocol = boost::asio::local::stream_protocol;

    v = IxoWebservice::GetVerboseModeEnabled(argc, argv);
    openlog(syslog_identity, IxoWebservice::SyslogOptions(), LOG_LOCAL0);
    syslog(LOG_NOTICE, "------------- IxoWebServer (START) -------------");
    if (v) {
        syslog(LOG_NOTICE, "Main: -Verbose Mode: Enabled");
        for (int i = 0; i < argc; ++i)
            syslog(LOG_NOTICE, "arg %d: %s", i, argv[i]);
    }

    // A write to a pipe or socket whose reader has gone must fail with EPIPE instead of
    // ending the process: Linux's sendfile has no MSG_NOSIGNAL, and on FreeBSD SO_NOSIGPIPE
    // covers only the accepted connections (not standard error or the Ixo library's sockets).
    signal(SIGPIPE, SIG_IGN);

    IxoWebservice::CDaemon service_daemon;
    service_daemon.Start(IxoWebservice::GetDoFork(argc, argv));

    try {
        std::string doc_root = IxoWebservice::GetDocRoot(argc, argv);
        const std::string socket_file = std::string(run_directory) + "/" + socket_file_name;

        if (doc_root.empty()) {
            char cwd[working_directory_size];
            if (OsUserGetCurrentDirectory(working_directory_size, cwd) != nullptr)
                doc_root = cwd;
        }
        if (v) {
            syslog(LOG_NOTICE, "socket: %s", socket_file.c_str());
            syslog(LOG_NOTICE, "Main: doc_root: %s", doc_root.c_str());
            if (doc_root.empty())
                syslog(LOG_NOTICE, "Main: no document root: every file target is answered 404");
            syslog(LOG_NOTICE, "Main: num_workers: %d", num_workers);
            syslog(LOG_NOTICE, "Main: spin: %d", spin);
        }

        // Destroyed in reverse order on every way out: workers, acceptor, event loop.
        boost::asio::io_context ioc{1};
        IxoWebservice::EnsureSocketDirectory(run_directory);
        IxoWebservice::RemoveStaleSocketFile(socket_file);

        // The address holds 104 bytes with its terminating zero on FreeBSD.
        if (socket_file.size() > longest_socket_path)
            throw boost::system::system_error(
                boost::system::error_code(ENAMETOOLONG, boost::system::system_category()), "init");
        const stream_protocol::endpoint endpoint{socket_file};
        stream_protocol::acceptor acceptor{ioc};
        acceptor.open(endpoint.protocol());
        acceptor.set_option(stream_protocol::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(listen_backlog);

        if (IxoWebservice::ChangeFileGroup(socket_file, socket_group) != 0)
            return 1;
        if (::chmod(socket_file.c_str(), socket_file_mode) != 0) {
            syslog(LOG_ERR, "Failed to set unix socket file permissions for %s (err=%d)!", socket_file.c_str(),
                   errno);
            return 1;
        }

        // Shared by the workers, and outlive them.
        IxoWebservice::accept_gate gate{acceptor};
        IxoWebservice::file_cache files;
        std::list<IxoWebservice::http_worker> workers;
        for (int i = 0; i < num_workers; ++i) {
            workers.emplace_back(gate, doc_root, files);
            workers.back().start();
        }
        if (v)
            syslog(LOG_NOTICE, "Main: listening...");

        boost::system::error_code ec;
        ioc.run(ec);
        if (ec)
            throw boost::system::system_error(ec, "run");

        workers.clear();
        acceptor.close();
        ::unlink(socket_file.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << std::endl;
        return 1;
    }
}
