#include "driver/virtual/virtual_board.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "driver/virtual/board_picture.h"

namespace vexo::driver::virt {

VirtualBoard::VirtualBoard(std::shared_ptr<BoardModel> model, DeviceId id)
    : model_(std::move(model)), id_(id) {}

VirtualBoard::~VirtualBoard() = default;

const BoardConfig& VirtualBoard::config() const { return model_->config(); }
void VirtualBoard::remove() { removeDevice(id_); }
void VirtualBoard::unplug() { model_->unplug(); }
bool VirtualBoard::present() const { return model_->present(); }
std::vector<ControlRecord> VirtualBoard::controlRequests() const {
    return model_->controlRequests();
}
void VirtualBoard::clearControlRequests() { model_->clearControlRequests(); }
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
std::vector<uint8_t> VirtualBoard::userData() const { return model_->userData(); }
bool VirtualBoard::streaming() const { return model_->streaming(); }
bool VirtualBoard::externalTrigger() const { return model_->externalTrigger(); }
uint64_t VirtualBoard::framesSent() const { return model_->framesSent(); }
uint32_t VirtualBoard::nextFrameNumber() const { return model_->nextFrameNumber(); }
std::optional<uint16_t> VirtualBoard::lastFrameIndex() const { return model_->lastFrameIndex(); }
uint64_t VirtualBoard::boardTime() const { return model_->boardTime(); }
void VirtualBoard::addFault(const FaultConfig& fault) { model_->addFault(fault); }
void VirtualBoard::clearFaults() { model_->clearFaults(); }

namespace {

std::shared_ptr<VirtualBoard> plugIn(const std::shared_ptr<BoardModel>& model) {
    VirtualDeviceSpec spec = model->deviceSpec();
    spec.model = model;
    const DeviceId id = addDevice(std::move(spec));
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

bool loadOnce() {
    const char* value = std::getenv("VEXO_VIRTUAL_BOARDS");
    if (!value || !*value || std::string(value) == "0") return false;

    std::vector<BoardConfig> configs;
    std::string error;
    if (std::string(value) == "1") {
        configs.emplace_back();
    } else {
        std::string text;
        if (!readDocument(value, text, error) || !parseBoardsJson(text, configs, error)) {
            std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: %s\n", error.c_str());
            return false;
        }
    }
    // Build every board first, so that a refused one leaves the bus untouched.
    std::vector<std::shared_ptr<BoardModel>> models;
    for (size_t i = 0; i < configs.size(); ++i) {
        auto model = BoardModel::create(configs[i], error);
        if (!model) {
            std::fprintf(stderr, "VEXO_VIRTUAL_BOARDS: boards[%zu].%s\n", i, error.c_str());
            return false;
        }
        models.push_back(std::move(model));
    }
    for (const auto& model : models) plugIn(model);
    return !models.empty();
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
    static std::once_flag once;
    static bool added = false;
    std::call_once(once, [] { added = loadOnce(); });
    return added;
}

void renderFrame(const StreamConfig& stream, uint32_t frameNumber, std::vector<uint8_t>& out) {
    FrameRenderer renderer(stream);
    std::span<const uint8_t> bytes = renderer.frame(frameNumber);
    out.assign(bytes.begin(), bytes.end());
}

size_t frameBytes(const StreamConfig& stream) { return streamFrameBytes(stream); }

}  // namespace vexo::driver::virt
