// `vexo preview`: a page served by the tool that shows a board's live picture, its counters
// and histogram, and lets a person read and write registers, move control sliders, pause,
// take snapshots, fire a software trigger and pick another board.
//
// The service ties four parts together: the capture thread (capture_worker.h) that owns the
// board, the encoder thread (frame_encoder.h), the frame hand-overs between them
// (frame_hub.h), and the HTTP server (http_server.h) whose requests pass the access checks
// (access_policy.h). docs/preview.md describes the page and the endpoints.
//
// Threading: start() and stop() from one thread; requests are served on the server's threads.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vexo/board_session.hpp>

#include "preview/access_policy.h"
#include "preview/capture_worker.h"
#include "preview/frame_encoder.h"
#include "preview/frame_hub.h"
#include "preview/http_server.h"
#include "preview/sync_composer.h"

namespace vexo::tools::preview {

/// Everything `vexo preview` takes from its command line.
struct PreviewOptions {
    BoardOptions board;
    std::string listen = "127.0.0.1:8080";  ///< ADDR:PORT; port 0 picks a free one
    std::string token;                      ///< empty: a random one
    std::string controlsPath;  ///< the Lua functions of the file's controls; empty: none
    bool reconnect = false;    ///< follow the board through an unplug
    bool sync = false;         ///< several boards side by side, as syncOptions say
    SyncPreviewOptions syncOptions;
    /// How long a request to the board (register, control, trigger, scan) is waited for before
    /// the answer says it did not start (503) or is still running (202); a board switch gets
    /// twice this.
    std::chrono::milliseconds boardWait{5000};
    HttpLimits limits;
};

/// Latencies from a frame's arrival in the queue to its JPEG being handed to a client's socket:
/// the last 4096, kept in a fixed ring.
class LatencyLog {
  public:
    void add(double milliseconds);
    struct Summary {
        size_t samples = 0;
        double median = 0;
        double p99 = 0;
    };
    Summary summary() const;
    void clear();

  private:
    mutable Mutex mutex_;
    std::array<double, 4096> ring_ VEXO_GUARDED_BY(mutex_){};
    size_t count_ VEXO_GUARDED_BY(mutex_) = 0;
};

class PreviewService {
  public:
    explicit PreviewService(PreviewOptions options);
    ~PreviewService();
    PreviewService(const PreviewService&) = delete;
    PreviewService& operator=(const PreviewService&) = delete;

    /// Opens the board, starts capture and encoder and listens. Throws SessionError.
    void start();
    /// Stops serving, ends the capture and closes the board. Safe to call twice.
    void stop();

    /// The address to open, with the token (the page is served only with it).
    std::string url() const;
    const std::string& token() const { return policy_->token(); }
    uint16_t port() const { return server_->port(); }
    bool loopback() const { return policy_->loopback(); }

    /// The single board's capture and encoder; only without --sync.
    CaptureWorker& capture() { return *capture_; }
    FrameEncoder& encoder() { return *encoder_; }
    /// The rig's composer; only with --sync (null otherwise).
    SyncComposer* sync() { return sync_.get(); }
    FrameHub& hub() { return hub_; }
    LatencyLog& latency() { return latency_; }

  private:
    HttpResponse handle(const HttpRequest& request);
    void stopSources();
    /// The refusal for a request that may not be served (empty when it may); `secret`: it
    /// needs the token wherever the preview listens.
    HttpResponse refuse(const HttpRequest& request, bool secret);

    // Endpoints (preview_routes.cpp).
    HttpResponse page() const;
    HttpResponse frameJpeg(const HttpRequest& request);
    HttpResponse stream(const HttpRequest& request);
    HttpResponse statsJson();
    HttpResponse syncStatsJson();
    HttpResponse snapshot(bool png);
    HttpResponse boards();
    HttpResponse controls();
    HttpResponse setPause(const HttpRequest& request);
    HttpResponse registerAccess(const HttpRequest& request, bool write);
    HttpResponse setControl(const HttpRequest& request);
    HttpResponse trigger();
    HttpResponse setMode(const HttpRequest& request);
    HttpResponse switchBoard(const HttpRequest& request);

    /// A shown frame as PNG, shared by every request for that frame.
    struct SnapshotPng {
        uint64_t number = 0;
        uint32_t generation = 0;
        std::string bytes;
    };
    static constexpr unsigned kPngsAlive = 3;  // PNGs kept alive by the cache and downloads

    PreviewOptions options_;
    std::string host_;
    uint16_t listenPort_ = 0;
    std::unique_ptr<AccessPolicy> policy_;
    std::string page_;  // the built-in page with the token filled in
    ControlSet controlSet_;
    RawExchange raw_;
    FrameHub hub_;
    LatencyLog latency_;
    std::unique_ptr<CaptureWorker> capture_;
    std::unique_ptr<FrameEncoder> encoder_;
    std::unique_ptr<SyncComposer> sync_;
    std::unique_ptr<HttpServer> server_;
    std::atomic<bool> started_{false};
    std::atomic<bool> ready_{false};      // policy_ and page_ are set
    std::atomic<unsigned> pngsAlive_{0};  // before png_: its deleter counts here
    Mutex pngMutex_;
    std::shared_ptr<const SnapshotPng> png_ VEXO_GUARDED_BY(pngMutex_);
};

}  // namespace vexo::tools::preview
