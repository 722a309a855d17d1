#include "driver/virtual/virtual_board.h"

#include "driver/virtual/board_picture.h"

namespace vexo::driver::virt {

void VirtualBoard::remove() {
    removeDevice(id_);
}

DeviceId plugInBoard(const std::shared_ptr<BoardModel>& model) {
    VirtualDeviceDescription description = model->deviceDescription();
    description.model = model;
    return addDevice(std::move(description));
}

std::shared_ptr<VirtualBoard> addVirtualBoard(const BoardConfig& config, std::string* error) {
    std::string reason;
    auto board = VirtualBoard::build<VirtualBoard>(config, reason);
    if (!board) {
        if (error) *error = reason;
        return nullptr;
    }
    board->id_ = plugInBoard(board);
    return board;
}

void renderFrame(const StreamConfig& stream, uint32_t frameNumber, std::vector<uint8_t>& out) {
    FrameRenderer renderer(stream);
    std::span<const uint8_t> bytes = renderer.frame(frameNumber);
    out.assign(bytes.begin(), bytes.end());
}

void renderFrame(const BoardConfig& board, uint32_t frameNumber, std::vector<uint8_t>& out,
                 const SensorExposure& exposure) {
    FrameRenderer renderer(board.stream, board.scene, board.sensor);
    renderer.setExposure(exposure);
    std::span<const uint8_t> bytes = renderer.frame(frameNumber);
    out.assign(bytes.begin(), bytes.end());
}

size_t frameBytes(const StreamConfig& stream) {
    return streamFrameBytes(stream);
}

}  // namespace vexo::driver::virt
