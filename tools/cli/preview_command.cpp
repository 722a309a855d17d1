// vexo preview: serves the live preview page until Ctrl-C (or SIGTERM), then closes the board.
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/commands.h"
#include "cli/tool_error.h"
#include "preview/access_policy.h"
#include "preview/preview_service.h"
#include "preview/sync_composer.h"

namespace vexo::tools {

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

void runPreview(const preview::PreviewOptions& options) {
    // Mistakes in the arguments are told as such (exit status 2) before the board is opened.
    std::string host, error;
    uint16_t port = 0;
    if (!preview::parseListen(options.listen, host, port, error))
        throw UsageError("--listen " + error);
    if (!options.token.empty() && !preview::validToken(options.token))
        throw UsageError("--token must be 8 to 128 letters, digits or the characters - _ . ~");

    preview::PreviewService service(options);
    service.start();

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {
    }, oldTerm{};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);

    if (preview::SyncComposer* sync = service.sync()) {
        std::string names;
        for (const std::string& s : sync->serials()) names += (names.empty() ? "" : ", ") + s;
        std::printf(
            "vexo preview: %zu boards side by side (%s), %s trigger, %g/s, tolerance %lld us\n",
            sync->serials().size(), names.c_str(), syncTriggerName(sync->trigger()), sync->rateHz(),
            static_cast<long long>(sync->toleranceUs()));
    } else {
        const preview::BoardInfo board = service.capture().board();
        std::printf("vexo preview: board %u (%s), %ux%u %s\n", board.entry.index,
                    board.entry.serial.c_str(), board.config.u32Width, board.config.u32Height,
                    std::string(formatName(board.config.emImageFmtMode)).c_str());
    }
    std::printf("open %s\n", service.url().c_str());
    std::printf("token for requests that change anything: %s\n", service.token().c_str());
    std::printf("Ctrl-C ends the preview\n");
    std::fflush(stdout);

    while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    service.stop();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    std::printf("vexo preview: stopped, board closed\n");
}

}  // namespace

Command addPreviewCommand(CLI::App& parent) {
    auto options = std::make_shared<preview::PreviewOptions>();
    CLI::App* sub = addBoardCommand(
        parent, "preview",
        "Serve a live preview page of a board: the picture, frame rate, drops and errors, a "
        "histogram, register access, the configuration's named controls, snapshots "
        "(docs/preview.md).",
        options->board);
    sub->add_option("--listen", options->listen,
                    "Address and port to listen on (default 127.0.0.1:8080; port 0 picks a free "
                    "one). Any address other than loopback needs the token on every request");
    sub->add_option("--token", options->token,
                    "Token the page and scripts send (8-128 letters, digits, - _ . ~); default: a "
                    "random one, printed");
    sub->add_option("--controls", options->controlsPath,
                    "Lua script defining the functions that the configuration's [controls] "
                    "section calls (lua=FUNCTION); the page's controls come from that section")
        ->check(CLI::ExistingFile);
    sub->add_flag("--reconnect", options->reconnect,
                  "When the board goes away, wait for a board with the same serial and go on "
                  "with it (same configuration, start-up and controls)");
    // Several boards as one rig: --serial may then be given once per board.
    preview::SyncPreviewOptions& sync = options->syncOptions;
    auto* syncFlag = sub->add_flag("--sync", options->sync,
                                   "Show several boards as one rig, side by side, with the skew "
                                   "of each set (docs/preview.md)");
    auto* all = sub->add_flag("--all", sync.all, "With --sync: every board listed");
    auto* trigger = sub->add_option("--trigger", sync.trigger,
                                    "With --sync: soft (the preview triggers every board), "
                                    "external (one shared trigger line) or free (free-running, "
                                    "matched by time); default soft");
    auto* rate = sub->add_option("--rate", sync.rateHz,
                                 "With --sync: software triggers a second, or the rate the boards "
                                 "run at (default 30)")
                     ->check(CLI::Range(0.001, 1000.0));
    auto* tolerance = sub->add_option("--tolerance-us", sync.toleranceUs,
                                      "With --sync: how far a frame may lie from its set's "
                                      "instant, in microseconds (default: a third of the period)")
                          ->check(CLI::Range(int64_t{1}, int64_t{1000000000}));
    for (CLI::Option* o : {all, trigger, rate, tolerance}) o->needs(syncFlag);
    CLI::Option* serial = sub->get_option("--serial");
    serial->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    serial->excludes(all);
    CLI::Option* reconnect = sub->get_option("--reconnect");
    CLI::Option* controls = sub->get_option("--controls");
    return {sub, [options, syncFlag, serial, reconnect, controls] {
                if (syncFlag->count() == 0) {
                    if (serial->count() > 1)
                        throw UsageError("--serial is given once per board only with --sync");
                } else {
                    if (!options->syncOptions.all && serial->count() == 0)
                        throw UsageError("--sync needs --serial S for each board, or --all");
                    if (options->board.index)
                        throw UsageError("--sync takes boards by --serial, not --index");
                    if (controls->count() || reconnect->count())
                        throw UsageError(
                            "--sync shows the rig's pictures: --controls and --reconnect are a "
                            "single board's (the rig follows boards that come back by itself)");
                    options->syncOptions.serials = serial->results();
                }
                runPreview(*options);
            }};
}

}  // namespace vexo::tools
