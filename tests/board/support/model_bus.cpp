#include "board/support/model_bus.h"

#include <stdexcept>

namespace vexo::test {

ModelBus::ModelBus(const virt::BoardConfig& config) {
    std::string error;
    model = virt::BoardModel::create(config, error);
    if (!model) throw std::runtime_error("board refused: " + error);
}

bool ModelBus::out(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data) {
    driver::SetupPacket s{0x40, request, value, index, static_cast<uint16_t>(data.size())};
    return model->control(s, data.empty() ? nullptr : data.data()).ok;
}

std::optional<std::vector<uint8_t>> ModelBus::in(uint8_t request, uint16_t value, uint16_t index,
                                                 uint16_t length) {
    driver::SetupPacket s{0xC0, request, value, index, length};
    std::vector<uint8_t> reply(length + 8, 0xEE);  // room past wLength shows overruns
    virt::ControlResult r = model->control(s, reply.data());
    if (!r.ok) return std::nullopt;
    for (size_t i = length; i < reply.size(); ++i)
        if (reply[i] != 0xEE) throw std::runtime_error("reply written past wLength");
    reply.resize(r.length);
    return reply;
}

bool ModelBus::writeController(uint8_t reg, uint8_t value) {
    return out(0xD7, 0x4600, static_cast<uint16_t>(reg << 8), {value});
}

uint8_t ModelBus::readController(uint8_t reg) {
    auto r = in(0xD6, 0x4600, static_cast<uint16_t>(reg << 8), 2);
    if (!r || r->size() != 2) throw std::runtime_error("controller read failed");
    return (*r)[0];
}

std::optional<std::vector<uint8_t>> ModelBus::read(uint32_t capacity) {
    // A read that had to wait is offered again with its own buffer, as the backend does.
    if (last.kind != virt::BulkResult::Kind::Wait || buffer_.size() != capacity)
        buffer_.assign(capacity, 0);
    last = model->bulkIn(0x81, buffer_.data(), capacity);
    if (last.kind != virt::BulkResult::Kind::Done) return std::nullopt;
    std::vector<uint8_t> buffer = std::move(buffer_);
    buffer_.clear();
    if (last.length > capacity) throw std::runtime_error("read overran its buffer");
    buffer.resize(last.length);
    return buffer;
}

}  // namespace vexo::test
