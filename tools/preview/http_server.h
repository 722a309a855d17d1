// A small HTTP server on libmicrohttpd for the preview: one handler sees every request as a
// whole (method, path, query, headers, body up to a bound) and answers with a whole body or a
// body produced piece by piece (the MJPEG stream).
//
// libmicrohttpd does the protocol and the bounds: request line and headers must fit
// Limits::requestBytes (longer ones get 414 or 431), at most Limits::clients connections are
// open (more wait unaccepted), at most Limits::perAddress of them from one address (more are
// closed at once), and a connection that moves no byte for Limits::idleSeconds is closed, also
// while a reply is being sent to a client that stopped reading. The idle time-out alone lets a
// client that sends a header byte every few seconds hold its connection for ever, so a
// watchdog here closes a connection whose request line and headers have not all arrived
// Limits::headerSeconds after it opened (or after its previous request). Bodies above
// Limits::bodyBytes are refused here with 413. Each connection has its own thread, so a slow
// or stalled client holds only its own.
//
// Threading: start() and stop() from one thread; the handler runs on connection threads.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/mutex.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace vexo::tools::preview {

struct HttpLimits {
    unsigned clients = 32;        ///< open connections at once
    unsigned perAddress = 8;      ///< open connections at once from one client address
    unsigned idleSeconds = 10;    ///< no byte moved for this long ends a connection
    unsigned headerSeconds = 10;  ///< a request's line and headers must arrive within this
    size_t requestBytes = 16384;  ///< request line and headers together
    size_t bodyBytes = 4096;      ///< request body
};

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  ///< names in lower case
    std::string body;

    std::string header(const std::string& lowerName) const;
    std::string param(const std::string& name) const;
};

/// Produces a streamed body: writes up to `max` bytes into `buf`, returns how many; returns
/// -1 at the end of the body. It may block while it waits for more (its connection's thread).
using BodyProducer = std::function<ssize_t(char* buf, size_t max)>;

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    /// Bytes served without a copy (the built-in page, a shared frame); used when not empty.
    std::string_view staticBody;
    /// Keeps what staticBody points into alive until the reply has been sent; empty for
    /// bytes that live as long as the server.
    std::shared_ptr<const void> keep;
    /// When set, the body is streamed from it instead.
    BodyProducer stream;

    static HttpResponse text(int status, std::string text);
    static HttpResponse json(int status, std::string json);
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

class HttpServer {
  public:
    HttpServer(HttpLimits limits, HttpHandler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Listens on `host` (an IPv4 or IPv6 address, brackets allowed) and `port` (0: any free
    /// port). False with the reason in `error`.
    bool start(const std::string& host, uint16_t port, std::string& error);
    /// The port listened on.
    uint16_t port() const { return port_; }
    /// Closes the listening socket and every connection; waits for their threads.
    void stop();

    const HttpLimits& limits() const { return limits_; }

    /// libmicrohttpd's callbacks (http_server.cpp) reach the server through this.
    struct Glue;

  private:
    struct Tracked;  // one open connection, for the header deadline
    void watch();
    void headersArrived(MHD_Connection* connection, bool arrived);

    HttpLimits limits_;
    HttpHandler handler_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;

    Mutex trackMutex_;
    std::condition_variable wake_;
    std::unordered_set<Tracked*> tracked_ VEXO_GUARDED_BY(trackMutex_);
    bool stopping_ VEXO_GUARDED_BY(trackMutex_) = false;
    std::thread watchdog_;
};

}  // namespace vexo::tools::preview
