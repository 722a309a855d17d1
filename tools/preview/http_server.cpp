#include "preview/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>

namespace vexo::tools::preview {

std::string HttpRequest::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

std::string HttpRequest::param(const std::string& name) const {
    auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
}

HttpResponse HttpResponse::text(int status, std::string text) {
    HttpResponse r;
    r.status = status;
    r.body = std::move(text);
    if (r.body.empty() || r.body.back() != '\n') r.body += '\n';
    return r;
}

HttpResponse HttpResponse::json(int status, std::string json) {
    HttpResponse r;
    r.status = status;
    r.contentType = "application/json";
    r.body = std::move(json);
    return r;
}

// An open connection as the header deadline sees it: since when it has been waiting for a
// request's line and headers, or that it has them.
struct HttpServer::Tracked {
    MHD_socket fd = MHD_INVALID_SOCKET;
    std::chrono::steady_clock::time_point since;
    bool waitingForHeaders = true;
    bool cut = false;
};

// What one request collects between libmicrohttpd's calls: its body so far.
struct HttpServer::Glue {
    struct Pending {
        std::string body;
        bool tooLarge = false;
    };

    static MHD_Result collect(void* cls, MHD_ValueKind kind, const char* key, const char* value) {
        auto* request = static_cast<HttpRequest*>(cls);
        if (!key) return MHD_YES;
        if (kind == MHD_HEADER_KIND) {
            std::string name(key);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            request->headers[name] = value ? value : "";
        } else if (kind == MHD_GET_ARGUMENT_KIND) {
            request->query[key] = value ? value : "";
        }
        return MHD_YES;
    }

    struct Streamer {
        BodyProducer produce;
    };

    static ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
        auto* s = static_cast<Streamer*>(cls);
        const ssize_t n = s->produce(buf, max);
        return n < 0 ? MHD_CONTENT_READER_END_OF_STREAM : n;
    }

    static void freeStream(void* cls) { delete static_cast<Streamer*>(cls); }
    static void release(void* cls) { delete static_cast<std::shared_ptr<const void>*>(cls); }

    static MHD_Result reply(MHD_Connection* connection, HttpResponse response) {
        MHD_Response* r;
        if (response.stream) {
            auto* streamer = new Streamer{std::move(response.stream)};
            r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &readStream,
                                                  streamer, &freeStream);
            if (!r) delete streamer;
        } else if (!response.staticBody.empty() && response.keep) {
            // The reply holds its own reference to the bytes until the library lets go.
            auto* keep = new std::shared_ptr<const void>(std::move(response.keep));
            r = MHD_create_response_from_buffer_with_free_callback_cls(
                response.staticBody.size(), const_cast<char*>(response.staticBody.data()), &release,
                keep);
            if (!r) delete keep;
        } else if (!response.staticBody.empty()) {
            r = MHD_create_response_from_buffer(response.staticBody.size(),
                                                const_cast<char*>(response.staticBody.data()),
                                                MHD_RESPMEM_PERSISTENT);
        } else {
            r = MHD_create_response_from_buffer(response.body.size(), response.body.data(),
                                                MHD_RESPMEM_MUST_COPY);
        }
        if (!r) return MHD_NO;
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
        for (const auto& [name, value] : response.headers)
            MHD_add_response_header(r, name.c_str(), value.c_str());
        const MHD_Result result =
            MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
        MHD_destroy_response(r);
        return result;
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* uploadData,
                                size_t* uploadSize, void** state) {
        auto* server = static_cast<HttpServer*>(cls);
        auto* pending = static_cast<Pending*>(*state);
        if (!pending) {
            pending = new Pending;
            *state = pending;
            server->headersArrived(connection, true);
            // A body announced larger than the bound is refused before it is read.
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                             MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length && std::strtoull(length, nullptr, 10) > server->limits_.bodyBytes)
                return reply(connection, HttpResponse::text(413, "request body too large"));
            return MHD_YES;
        }
        if (*uploadSize) {
            if (pending->body.size() + *uploadSize > server->limits_.bodyBytes)
                pending->tooLarge = true;
            else
                pending->body.append(uploadData, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (pending->tooLarge)
            return reply(connection, HttpResponse::text(413, "request body too large"));

        HttpRequest request;
        request.method = method;
        request.path = url;
        request.body = std::move(pending->body);
        MHD_get_connection_values(
            connection, static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
            &collect, &request);
        HttpResponse response;
        try {
            response = server->handler_(request);
        } catch (const std::exception& e) {
            response = HttpResponse::text(500, std::string("internal error: ") + e.what());
        }
        return reply(connection, std::move(response));
    }

    static void onCompleted(void* cls, MHD_Connection* connection, void** state,
                            MHD_RequestTerminationCode) {
        delete static_cast<Pending*>(*state);
        *state = nullptr;
        // The next request on this connection has the same time for its headers.
        static_cast<HttpServer*>(cls)->headersArrived(connection, false);
    }

    static void onConnection(void* cls, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            auto* tracked = new Tracked;
            tracked->fd = info ? info->connect_fd : MHD_INVALID_SOCKET;
            tracked->since = std::chrono::steady_clock::now();
            *context = tracked;
            MutexLock lock(server->trackMutex_);
            server->tracked_.insert(tracked);
        } else {
            // Called before the socket is closed, so the watchdog never cuts a reused one.
            auto* tracked = static_cast<Tracked*>(*context);
            *context = nullptr;
            if (!tracked) return;
            MutexLock lock(server->trackMutex_);
            server->tracked_.erase(tracked);
            delete tracked;
        }
    }

    static void onLog(void*, const char*, va_list) {
        // libmicrohttpd's own messages (a client that went away, a refused connection) are
        // the ordinary life of a server: not printed.
    }
};

HttpServer::HttpServer(HttpLimits limits, HttpHandler handler)
    : limits_(limits), handler_(std::move(handler)) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(const std::string& hostText, uint16_t port, std::string& error) {
    std::string host = hostText;
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    sockaddr_storage address{};
    unsigned flags =
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        flags |= MHD_USE_IPv6;
    } else {
        error = "'" + hostText + "' is not an IPv4 or IPv6 address";
        return false;
    }
    daemon_ = MHD_start_daemon(
        flags, port, nullptr, nullptr, &Glue::onRequest, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(limits_.clients), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(limits_.perAddress), MHD_OPTION_NOTIFY_CONNECTION,
        &Glue::onConnection, this, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(limits_.idleSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        limits_.requestBytes, MHD_OPTION_NOTIFY_COMPLETED, &Glue::onCompleted, this,
        MHD_OPTION_EXTERNAL_LOGGER, &Glue::onLog, this, MHD_OPTION_END);
    if (!daemon_) {
        error = "cannot listen on " + hostText + ":" + std::to_string(port) +
                " (address in use, or not an address of this machine)";
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : port;
    {
        MutexLock lock(trackMutex_);
        stopping_ = false;
    }
    watchdog_ = std::thread([this] { watch(); });
    return true;
}

void HttpServer::stop() {
    if (watchdog_.joinable()) {
        {
            MutexLock lock(trackMutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        watchdog_.join();
    }
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void HttpServer::headersArrived(MHD_Connection* connection, bool arrived) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* tracked = info ? static_cast<Tracked*>(info->socket_context) : nullptr;
    if (!tracked) return;
    MutexLock lock(trackMutex_);
    tracked->waitingForHeaders = !arrived;
    tracked->since = std::chrono::steady_clock::now();
}

// Cuts connections whose request line and headers are late. shutdown() (not close()) leaves
// the socket to the library, whose connection thread then sees the end and cleans up.
void HttpServer::watch() {
    const auto deadline = std::chrono::seconds(limits_.headerSeconds);
    MutexLock lock(trackMutex_);
    while (!stopping_) {
        wake_.wait_for(lock.native(), std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        for (Tracked* t : tracked_) {
            if (!t->waitingForHeaders || t->cut || now - t->since < deadline) continue;
            if (t->fd != MHD_INVALID_SOCKET) shutdown(t->fd, SHUT_RDWR);
            t->cut = true;
        }
    }
}

}  // namespace vexo::tools::preview
