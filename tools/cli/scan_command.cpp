#include <vexo/camera.h>

#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct ScanOptions {
    bool noOpen = false;
};

struct BoardDetails {
    bool opened = false;
    uint8_t boardType = 0;
    uint8_t linkType = 0;
    bool haveFirmware = false;
    uint16_t firmware = 0;
};

// Board type, link and firmware are only known to an open camera, so each board is opened
// briefly with the default configuration.
BoardDetails probe(const BoardEntry& board) {
    BoardDetails d;
    CameraConfig cfg = defaultCameraFile().config;
    CameraHandle handle = nullptr;
    const uint32_t status = Vexo_open(&handle, &cfg, board.index);
    if (status == USB_CAMERA_NO_ERROR &&
        Vexo_getUsbType(handle, &d.boardType, &d.linkType) == USB_CAMERA_NO_ERROR) {
        d.opened = true;
        uint8_t version[2] = {0, 0};
        if (Vexo_getboardConfig(handle, 0x80, 0, 0, 2, version) == USB_CAMERA_NO_ERROR) {
            d.haveFirmware = true;
            d.firmware = static_cast<uint16_t>(version[0] << 8 | version[1]);
        }
    }
    Vexo_close(handle);
    return d;
}

void runScan(const ScanOptions& options) {
    const std::vector<BoardEntry> boards = scanBoards(false);
    if (boards.empty()) {
        std::printf("no board attached (vexo --virtual scan lists a virtual board)\n");
        return;
    }
    if (options.noOpen) {
        std::printf("%-6s %-16s\n", "index", "serial");
        for (const BoardEntry& b : boards) std::printf("%-6u %-16s\n", b.index, b.serial.c_str());
        return;
    }
    std::printf("%-6s %-16s  %-9s %-11s %s\n", "index", "serial", "board", "link", "firmware");
    for (const BoardEntry& b : boards) {
        const BoardDetails d = probe(b);
        if (!d.opened) {
            std::printf("%-6u %-16s  (cannot be opened)\n", b.index, b.serial.c_str());
            continue;
        }
        char firmware[16] = "-";
        if (d.haveFirmware) std::snprintf(firmware, sizeof(firmware), "0x%04X", d.firmware);
        std::printf("%-6u %-16s  %-9s %-11s %s\n", b.index, b.serial.c_str(),
                    boardTypeName(d.boardType).c_str(), linkTypeName(d.linkType).c_str(), firmware);
    }
}

}  // namespace

Command addScanCommand(CLI::App& parent) {
    auto options = std::make_shared<ScanOptions>();
    CLI::App* sub = parent.add_subcommand(
        "scan",
        "List the attached boards: device index, serial text (user data 1008..1023), board "
        "type, link and USB firmware version. Board type, link and firmware come from opening "
        "each board briefly; the library's C API does not report USB vendor and product ids, "
        "so they are not shown.");
    sub->add_flag("--no-open", options->noOpen,
                  "List index and serial only, without opening the boards");
    return {sub, [options] { runScan(*options); }};
}

}  // namespace vexo::tools
