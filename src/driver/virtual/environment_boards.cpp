// The boards VEXO_VIRTUAL_BOARDS describes, and the registration that makes them the virtual
// backend's configuration when the library is loaded.
#include "driver/virtual/environment_boards.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "driver/virtual/trigger_line.h"
#include "driver/virtual/usb_capture_replay.h"
#include "driver/virtual/virtual_board.h"

namespace vexo::driver::virt {

namespace {

bool readDocument(const std::string& value, std::string& text, std::string& error) {
    size_t first = value.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && value[first] == '{') {
        text = value;
        return true;
    }
    std::ifstream file(value, std::ios::binary);
    if (!file) {
        error = "cannot read the file \"" + value + "\" (expected \"1\", JSON or a file path)";
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    text = contents.str();
    return true;
}

// The boards a value other than "0" asks for; false with the reason when it is malformed.
bool readConfigs(const std::string& value, std::vector<BoardConfig>& configs, RigConfig& rig,
                 std::string& error) {
    if (value == "1") {
        configs.emplace_back();
        return true;
    }
    std::string text;
    return readDocument(value, text, error) && parseBoardsJson(text, configs, rig, error);
}

// Boards built but not yet on the bus. Board models join it before devices played from USB
// captures.
struct BuiltBoards {
    std::vector<std::shared_ptr<BoardModel>> models;
    std::vector<VirtualDeviceDescription> replays;
};

// Builds board `index` of the document; false after one line on stderr when it is refused.
bool build(const BoardConfig& config, size_t index, BuiltBoards& built) {
    std::string error;
    if (!config.usbReplay.empty()) {
        CapturedDevice captured;
        VirtualDeviceDescription description;
        if (!readUsbCapture(config.usbReplay, config.usbReplayDevice, captured, error) ||
            !replayDevice(std::move(captured), config.usbReplay, description, error)) {
            std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: boards[%zu].replay.usb: %s: %s\n", index,
                         config.usbReplay.c_str(), error.c_str());
            return false;
        }
        built.replays.push_back(std::move(description));
        return true;
    }
    auto model = BoardModel::create(config, error);
    if (!model) {
        std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: boards[%zu].%s\n", index, error.c_str());
        return false;
    }
    built.models.push_back(std::move(model));
    return true;
}

// Puts the boards `value` describes on the bus and returns their ids; none when the value
// asks for no board or is malformed (one line on stderr names the problem). `rig` is the
// document's rig.
std::vector<DeviceId> loadValue(const std::string& value, RigConfig& rig) {
    if (value.empty() || value == "0") return {};
    std::vector<BoardConfig> configs;
    std::string error;
    if (!readConfigs(value, configs, rig, error)) {
        std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: %s\n", error.c_str());
        return {};
    }
    // Build every board first, so that a refused one leaves the bus untouched.
    BuiltBoards built;
    for (size_t i = 0; i < configs.size(); ++i)
        if (!build(configs[i], i, built)) return {};
    std::vector<DeviceId> ids;
    for (const auto& model : built.models) ids.push_back(plugInBoard(model));
    for (auto& description : built.replays) ids.push_back(addDevice(std::move(description)));
    return ids;
}

// Boards described by the environment, with the value they came from.
struct EnvironmentBoards {
    Mutex lock;
    bool loaded VEXO_GUARDED_BY(lock) = false;
    std::string value VEXO_GUARDED_BY(lock);
    std::vector<DeviceId> ids VEXO_GUARDED_BY(lock);
    bool lineSet VEXO_GUARDED_BY(lock) = false;  // the trigger line runs at the document's rate
};

EnvironmentBoards& environmentBoards() {
    static EnvironmentBoards boards;
    return boards;
}

}  // namespace

bool loadBoardsFromEnvironment() {
    EnvironmentBoards& env = environmentBoards();
    MutexLock guard(env.lock);
    const char* raw = std::getenv("VEXO_VIRTUAL_BOARDS");
    std::string value = raw ? raw : "";
    // A program may switch to virtual boards after a scan found no real one: a changed value
    // replaces the boards of the previous one.
    if (!env.loaded || value != env.value) {
        for (DeviceId id : env.ids) removeDevice(id);
        RigConfig rig;
        env.ids = loadValue(value, rig);
        // The line starts with its boards; one a test set up itself is left alone.
        if (rig.triggerHz > 0 && !env.ids.empty()) {
            setTriggerLine(rig.triggerHz);
            env.lineSet = true;
        } else if (env.lineSet) {
            setTriggerLine(0);
            env.lineSet = false;
        }
        env.value = value;
        env.loaded = true;
    }
    return !env.ids.empty();
}

}  // namespace vexo::driver::virt

// Nothing else in the library names this file, so a static archive would leave it out; the
// build passes -Wl,--undefined=vexo_virtual_backend_registered to every program and library
// that links the driver service, which pulls it in.
extern "C" {
// The symbol the link option names. Its value says whether registration ran.
extern const bool vexo_virtual_backend_registered;
const bool vexo_virtual_backend_registered = [] {
    vexo::driver::virt::configureBus([] { vexo::driver::virt::loadBoardsFromEnvironment(); });
    return true;
}();
}
