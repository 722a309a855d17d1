#include "driver/virtual/virtual_board.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "driver/virtual/board_picture.h"
#include "driver/virtual/usb_capture_replay.h"

namespace vexo::driver::virt {

VirtualBoard::VirtualBoard(std::shared_ptr<BoardModel> model, DeviceId id)
    : model_(std::move(model)), id_(id) {}

VirtualBoard::~VirtualBoard() = default;

const BoardConfig& VirtualBoard::config() const {
    return model_->config();
}
void VirtualBoard::remove() {
    removeDevice(id_);
}
void VirtualBoard::unplug() {
    model_->unplug();
}
void VirtualBoard::replug(uint32_t ms) {
    model_->replug(ms);
}
uint32_t VirtualBoard::returns() const {
    return model_->returns();
}
bool VirtualBoard::present() const {
    return model_->present();
}
std::vector<ControlRecord> VirtualBoard::controlRequests() const {
    return model_->controlRequests();
}
void VirtualBoard::clearControlRequests() {
    model_->clearControlRequests();
}
std::optional<uint32_t> VirtualBoard::sensorRegister(uint16_t reg) const {
    return model_->sensorRegister(reg);
}
std::map<uint16_t, uint32_t> VirtualBoard::sensorRegisters() const {
    return model_->sensorRegisters();
}
void VirtualBoard::setSensorRegister(uint16_t reg, uint32_t value) {
    model_->setSensorRegister(reg, value);
}
uint8_t VirtualBoard::boardControllerRegister(uint8_t reg) const {
    return model_->boardControllerRegister(reg);
}
std::vector<uint8_t> VirtualBoard::userData() const {
    return model_->userData();
}
bool VirtualBoard::streaming() const {
    return model_->streaming();
}
bool VirtualBoard::externalTrigger() const {
    return model_->externalTrigger();
}
uint64_t VirtualBoard::framesSent() const {
    return model_->framesSent();
}
uint32_t VirtualBoard::nextFrameNumber() const {
    return model_->nextFrameNumber();
}
std::optional<uint16_t> VirtualBoard::lastFrameIndex() const {
    return model_->lastFrameIndex();
}
uint64_t VirtualBoard::boardTime() const {
    return model_->boardTime();
}
void VirtualBoard::addFault(const FaultConfig& fault) {
    model_->addFault(fault);
}
void VirtualBoard::clearFaults() {
    model_->clearFaults();
}

namespace {

std::shared_ptr<VirtualBoard> plugIn(const std::shared_ptr<BoardModel>& model) {
    VirtualDeviceDescription description = model->deviceDescription();
    description.model = model;
    const DeviceId id = addDevice(std::move(description));
    return std::make_shared<VirtualBoard>(model, id);
}

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

// Boards described by the environment, with the value they came from.
struct EnvironmentBoards {
    std::mutex lock;
    bool loaded = false;
    std::string value;
    std::vector<DeviceId> ids;
};

EnvironmentBoards& environmentBoards() {
    static EnvironmentBoards boards;
    return boards;
}

// Puts the boards `value` describes on the bus and returns their ids; none when the value
// asks for no board or is malformed (one line on stderr names the problem).
std::vector<DeviceId> loadValue(const std::string& value) {
    if (value.empty() || value == "0") return {};

    std::vector<BoardConfig> configs;
    std::string error;
    if (value == "1") {
        configs.emplace_back();
    } else {
        std::string text;
        if (!readDocument(value, text, error) || !parseBoardsJson(text, configs, error)) {
            std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: %s\n", error.c_str());
            return {};
        }
    }
    // Build every board first, so that a refused one leaves the bus untouched.
    std::vector<std::shared_ptr<BoardModel>> models;
    std::vector<VirtualDeviceDescription> replays;
    for (size_t i = 0; i < configs.size(); ++i) {
        if (!configs[i].usbReplay.empty()) {
            CapturedDevice captured;
            VirtualDeviceDescription description;
            if (!readUsbCapture(configs[i].usbReplay, configs[i].usbReplayDevice, captured,
                                error) ||
                !replayDevice(std::move(captured), configs[i].usbReplay, description, error)) {
                std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: boards[%zu].replay.usb: %s: %s\n", i,
                             configs[i].usbReplay.c_str(), error.c_str());
                return {};
            }
            replays.push_back(std::move(description));
            continue;
        }
        auto model = BoardModel::create(configs[i], error);
        if (!model) {
            std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: boards[%zu].%s\n", i, error.c_str());
            return {};
        }
        models.push_back(std::move(model));
    }
    std::vector<DeviceId> ids;
    for (const auto& model : models) ids.push_back(plugIn(model)->id());
    for (auto& description : replays) ids.push_back(addDevice(std::move(description)));
    return ids;
}

}  // namespace

std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig& config, std::string* error) {
    std::string reason;
    auto model = BoardModel::create(config, reason);
    if (!model) {
        if (error) *error = reason;
        return nullptr;
    }
    return plugIn(model);
}

bool loadBoardsFromEnvironment() {
    EnvironmentBoards& env = environmentBoards();
    std::lock_guard<std::mutex> guard(env.lock);
    const char* raw = std::getenv("VEXO_VIRTUAL_BOARDS");
    std::string value = raw ? raw : "";
    // A program may switch to virtual boards after a scan found no real one: a changed value
    // replaces the boards of the previous one.
    if (!env.loaded || value != env.value) {
        for (DeviceId id : env.ids) removeDevice(id);
        env.ids = loadValue(value);
        env.value = value;
        env.loaded = true;
    }
    return !env.ids.empty();
}

void renderFrame(const StreamConfig& stream, uint32_t frameNumber, std::vector<uint8_t>& out) {
    FrameRenderer renderer(stream);
    std::span<const uint8_t> bytes = renderer.frame(frameNumber);
    out.assign(bytes.begin(), bytes.end());
}

size_t frameBytes(const StreamConfig& stream) {
    return streamFrameBytes(stream);
}

}  // namespace vexo::driver::virt
