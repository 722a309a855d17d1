#include <vexo/camera.h>

#include <cstdio>
#include <memory>
#include <vexo/register_access.hpp>

#include "cli/commands.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct RegsOptions {
    BoardOptions board;
    std::string device;  // I2C address; empty: the configuration's sensor
    std::string mode;    // register widths; empty: the configuration's
    std::string reg;
    std::string value;
    unsigned count = 1;
};

struct Target {
    uint32_t device;
    I2cMode mode;
    const RegisterAccess* access;
};

Target resolve(const RegsOptions& options, const CameraFile& file) {
    Target t{file.config.u32I2cAddr, file.config.emI2cMode, nullptr};
    if (!options.device.empty())
        t.device = static_cast<uint32_t>(parseArgNumber(options.device, 0xFF, "I2C address"));
    if (!options.mode.empty() && !parseI2cModeName(options.mode, t.mode))
        throw UsageError("unknown register mode '" + options.mode +
                         "' (8_8, 8_16, 16_8, 16_16, 16_32)");
    t.access = registerAccess(t.mode);
    return t;
}

// Hex with as many digits as the width has nibbles: 0x3012, 0x0A.
std::string hexOf(uint64_t value, unsigned bits) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", static_cast<int>((bits + 3) / 4 % 17),
                  static_cast<unsigned long long>(value));
    return text;
}

uint64_t maxOf(unsigned bits) {
    return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
}

// Most register calls report 0 whatever the board did; two pass the board's status byte on,
// and the 32-bit pair may refuse with a status code.
void check(uint32_t status, const std::string& what) {
    if (status == USB_CAMERA_NO_ERROR) return;
    if (status <= 0xFF)
        throw ToolError(what + ": the board answered with status byte " + std::to_string(status));
    throw ToolError(describeStatus(what, status));
}

void runRead(const RegsOptions& options) {
    const CameraFile file = loadConfig(options.board);
    const Target t = resolve(options, file);
    const unsigned aBits = addressBits(t.mode), vBits = valueBits(t.mode);
    const uint64_t first = parseArgNumber(options.reg, maxOf(aBits), "register address");
    if (first + options.count - 1 > maxOf(aBits))
        throw UsageError("the register range passes the " + std::to_string(aBits) +
                         "-bit address space");
    BoardSession session(options.board, file);
    for (uint64_t reg = first; reg < first + options.count; ++reg) {
        uint32_t value = 0;
        check(t.access->read(session.handle(), t.device, static_cast<uint32_t>(reg), &value),
              "reading register " + hexOf(reg, aBits) + " of device " + hexOf(t.device, 8));
        std::printf("%s = %s\n", hexOf(reg, aBits).c_str(), hexOf(value, vBits).c_str());
    }
}

void runWrite(const RegsOptions& options) {
    const CameraFile file = loadConfig(options.board);
    const Target t = resolve(options, file);
    const unsigned aBits = addressBits(t.mode), vBits = valueBits(t.mode);
    const uint64_t reg = parseArgNumber(options.reg, maxOf(aBits), "register address");
    const uint64_t value = parseArgNumber(options.value, maxOf(vBits), "register value");
    const unsigned realBoards = realBoardCount();
    BoardSession session(options.board, file);
    check(t.access->write(session.handle(), t.device, static_cast<uint32_t>(reg),
                          static_cast<uint32_t>(value)),
          "writing register " + hexOf(reg, aBits) + " of device " + hexOf(t.device, 8));
    std::printf("%s <- %s\n", hexOf(reg, aBits).c_str(), hexOf(value, vBits).c_str());
    if (session.board().index >= realBoards) noteVirtualWrite();
}

void addTargetOptions(CLI::App* sub, RegsOptions& options) {
    addBoardOptions(sub, options.board);
    sub->add_option("-d,--device", options.device,
                    "I2C address of the device (default: the sensor's address from the "
                    "configuration; the board controller is 0x46)");
    sub->add_option("-m,--mode", options.mode,
                    "Register address and value widths: 8_8, 8_16, 16_8, 16_16 or 16_32 "
                    "(default: the configuration's i2c_mode)");
}

}  // namespace

Command addRegsCommand(CLI::App& parent) {
    auto options = std::make_shared<RegsOptions>();
    CommandGroup regs(parent, "regs",
                      "Read or write registers of the sensor or of any I2C device on the board, "
                      "with 8- or 16-bit register addresses and 8-, 16- or 32-bit values.");

    CLI::App* read = regs.add("read", "Read one register or a run of registers",
                              [options] { runRead(*options); });
    addTargetOptions(read, *options);
    read->add_option("register", options->reg, "Register address (decimal or 0x hex)")->required();
    read->add_option("--count", options->count, "Number of consecutive registers (default 1)")
        ->check(positiveCount(65536));

    CLI::App* write = regs.add("write", "Write one register", [options] { runWrite(*options); });
    addTargetOptions(write, *options);
    write->add_option("register", options->reg, "Register address (decimal or 0x hex)")->required();
    write->add_option("value", options->value, "Value (decimal or 0x hex)")->required();

    return regs.command();
}

}  // namespace vexo::tools
