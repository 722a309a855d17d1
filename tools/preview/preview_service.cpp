#include "preview/preview_service.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>
#include <vexo/status_text.hpp>

#include "preview/page_assets.h"

namespace vexo::tools::preview {

// ---- latency ----

void LatencyLog::add(double milliseconds) {
    MutexLock lock(mutex_);
    ring_[count_ % ring_.size()] = milliseconds;
    ++count_;
}

LatencyLog::Summary LatencyLog::summary() const {
    std::vector<double> values;
    {
        MutexLock lock(mutex_);
        const size_t n = std::min(count_, ring_.size());
        values.assign(ring_.begin(), ring_.begin() + static_cast<ptrdiff_t>(n));
    }
    Summary s;
    s.samples = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    return s;
}

void LatencyLog::clear() {
    MutexLock lock(mutex_);
    count_ = 0;
}

// ---- service ----

PreviewService::PreviewService(PreviewOptions options)
    : options_(std::move(options)), hub_(options_.limits.clients + 1) {}

PreviewService::~PreviewService() {
    stop();
}

void PreviewService::start() {
    std::string error;
    if (!parseListen(options_.listen, host_, listenPort_, error))
        throw SessionError("--listen " + error);
    std::string token = options_.token;
    if (token.empty())
        token = randomToken();
    else if (!validToken(token))
        throw SessionError("--token must be 8 to 128 letters, digits or the characters - _ . ~");
    const CameraFile file = loadConfig(options_.board);
    if (options_.sync) {
        sync_ = std::make_unique<SyncComposer>(options_.syncOptions, file, hub_);
        sync_->start();
    } else {
        if (!options_.controlsPath.empty() && !controlSet_.load(options_.controlsPath, file, error))
            throw SessionError(error);
        capture_ = std::make_unique<CaptureWorker>(options_.board, file, raw_,
                                                   controlSet_.empty() ? nullptr : &controlSet_,
                                                   options_.reconnect);
        encoder_ =
            std::make_unique<FrameEncoder>(raw_, hub_, file.bayer, file.colour, capture_.get());
        capture_->start();
        encoder_->start();
    }

    server_ = std::make_unique<HttpServer>(
        options_.limits, [this](const HttpRequest& request) { return handle(request); });
    if (!server_->start(host_, listenPort_, error)) {
        stopSources();
        throw SessionError(error);
    }
    // The policy needs the port the server got: requests before this point wait for ready_.
    policy_ = std::make_unique<AccessPolicy>(host_, server_->port(), token);
    page_ = pageHtml(token);
    started_ = true;
    ready_.store(true, std::memory_order_release);
}

void PreviewService::stop() {
    if (!started_) return;
    started_ = false;
    hub_.close();  // streams end, so their connection threads can be joined
    server_->stop();
    stopSources();
}

void PreviewService::stopSources() {
    if (sync_) sync_->stop();
    if (encoder_) encoder_->stop();
    if (capture_) capture_->stop();
}

std::string PreviewService::url() const {
    // The page carries the token, so it is handed out only with it, on loopback too.
    return policy_->baseUrl() + "?token=" + policy_->token();
}

HttpResponse PreviewService::refuse(const HttpRequest& request, bool secret) {
    auto refused = [](const std::string& why) {
        return HttpResponse::json(403, nlohmann::json{{"ok", false}, {"error", why}}.dump());
    };
    if (!policy_->hostAllowed(request.header("host")))
        return refused("refused: the Host header does not name this preview's address (" +
                       policy_->baseUrl() + ")");
    if (policy_->tokenNeeded(secret)) {
        std::string given = request.header("x-vexo-token");
        if (given.empty()) given = request.param("token");
        if (!policy_->tokenMatches(given))
            return refused(
                "refused: this request needs the preview's token (open the URL the "
                "preview printed, which carries it)");
    }
    return {};
}

HttpResponse PreviewService::handle(const HttpRequest& request) {
    if (!ready_.load(std::memory_order_acquire))
        return HttpResponse::text(503, "the preview is starting");
    using Serve = HttpResponse (*)(PreviewService*, const HttpRequest&);
    struct Route {
        const char* path;
        bool post;  // changes something: POST with the token
        Serve serve;
        bool carriesToken = false;  // the page: GET, but only with the token
    };
    static const Route kRoutes[] = {
        {"/", false, [](PreviewService* s, const HttpRequest&) { return s->page(); }, true},
        {"/index.html", false, [](PreviewService* s, const HttpRequest&) { return s->page(); },
         true},
        {"/stream.mjpg", false,
         [](PreviewService* s, const HttpRequest& r) { return s->stream(r); }},
        {"/frame.jpg", false,
         [](PreviewService* s, const HttpRequest& r) { return s->frameJpeg(r); }},
        {"/stats.json", false,
         [](PreviewService* s, const HttpRequest&) { return s->statsJson(); }},
        {"/snapshot.png", false,
         [](PreviewService* s, const HttpRequest&) { return s->snapshot(true); }},
        {"/snapshot.raw", false,
         [](PreviewService* s, const HttpRequest&) { return s->snapshot(false); }},
        {"/api/boards", false, [](PreviewService* s, const HttpRequest&) { return s->boards(); }},
        {"/api/controls", false,
         [](PreviewService* s, const HttpRequest&) { return s->controls(); }},
        {"/api/pause", true,
         [](PreviewService* s, const HttpRequest& r) { return s->setPause(r); }},
        {"/api/register/read", true,
         [](PreviewService* s, const HttpRequest& r) { return s->registerAccess(r, false); }},
        {"/api/register/write", true,
         [](PreviewService* s, const HttpRequest& r) { return s->registerAccess(r, true); }},
        {"/api/control", true,
         [](PreviewService* s, const HttpRequest& r) { return s->setControl(r); }},
        {"/api/trigger", true, [](PreviewService* s, const HttpRequest&) { return s->trigger(); }},
        {"/api/mode", true, [](PreviewService* s, const HttpRequest& r) { return s->setMode(r); }},
        {"/api/board", true,
         [](PreviewService* s, const HttpRequest& r) { return s->switchBoard(r); }},
    };

    HttpResponse response;
    const Route* route = nullptr;
    for (const Route& r : kRoutes)
        if (request.path == r.path) route = &r;
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (!get && request.method != "POST") {
        response = HttpResponse::text(405, "method " + request.method + " is not served here");
        response.headers.push_back({"Allow", route && route->post ? "POST" : "GET, HEAD"});
    } else if (!route) {
        response = HttpResponse::text(404, "no such page: only the preview's own are served");
    } else if (route->post != !get) {
        response = HttpResponse::text(
            405, route->post ? "this request changes something: use POST with the token"
                             : "use GET for this page");
        response.headers.push_back({"Allow", route->post ? "POST" : "GET, HEAD"});
    } else if (HttpResponse refused = refuse(request, route->post || route->carriesToken);
               refused.status != 200) {
        response = std::move(refused);
    } else if (sync_ && (std::string_view(route->path).starts_with("/api/") ||
                         std::string_view(route->path).starts_with("/snapshot"))) {
        // Registers, controls, triggers, pause and snapshots are a single board's.
        response = HttpResponse::json(
            409, nlohmann::json{{"ok", false},
                                {"error", "not served with --sync: the picture is several boards'"}}
                     .dump());
    } else {
        response = route->serve(this, request);
    }
    // Nothing of the preview may be cached, framed into another site or guessed at.
    response.headers.push_back({"Cache-Control", "no-store"});
    response.headers.push_back({"X-Content-Type-Options", "nosniff"});
    response.headers.push_back({"X-Frame-Options", "DENY"});
    response.headers.push_back({"Referrer-Policy", "no-referrer"});
    return response;
}

}  // namespace vexo::tools::preview
