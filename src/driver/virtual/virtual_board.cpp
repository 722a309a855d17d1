#include "driver/virtual/virtual_board.h"

#include "driver/virtual/board_picture.h"

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

std::shared_ptr<VirtualBoard> plugInBoard(const std::shared_ptr<BoardModel>& model) {
    VirtualDeviceDescription description = model->deviceDescription();
    description.model = model;
    const DeviceId id = addDevice(std::move(description));
    return std::make_shared<VirtualBoard>(model, id);
}

std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig& config, std::string* error) {
    std::string reason;
    auto model = BoardModel::create(config, reason);
    if (!model) {
        if (error) *error = reason;
        return nullptr;
    }
    return plugInBoard(model);
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
