#include <vexo/status.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vexo/board_session.hpp>
#include <vexo/status_text.hpp>
#include <vexo/vexo.hpp>

namespace vexo {

namespace {

constexpr unsigned kMaxBoards = 255;

std::string hex(uint32_t v, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, v);
    return text;
}

std::string serialText(const uint8_t* bytes) {
    std::string s;
    for (int i = 0; i < 16 && bytes[i]; ++i)
        s += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    return s;
}

std::vector<BoardEntry> scanOnce(uint32_t& status) {
    std::vector<ScanEntry> entries(kMaxBoards);
    status = Vexo_scan(entries.data());
    std::vector<BoardEntry> boards;
    if (status > kMaxBoards) return boards;
    for (uint32_t i = 0; i < status; ++i)
        boards.push_back({entries[i].u8Index, serialText(entries[i].u8Serial)});
    status = USB_CAMERA_NO_ERROR;
    return boards;
}

}  // namespace

std::vector<BoardEntry> scanBoards(bool fallBack) {
    uint32_t status = 0;
    std::vector<BoardEntry> boards = scanOnce(status);
    if (boards.empty() && fallBack && !std::getenv("VEXO_VIRTUAL_BOARDS")) {
        std::fprintf(stderr,
                     "vexo: no board attached; falling back to a virtual board "
                     "(VEXO_VIRTUAL_BOARDS=1)\n");
        setenv("VEXO_VIRTUAL_BOARDS", "1", 1);
        // The library follows changes of the variable: the next scan sees the virtual board.
        boards = scanOnce(status);
    }
    if (status != USB_CAMERA_NO_ERROR)
        throw SessionError(describeStatus("scanning for boards failed", status));
    return boards;
}

unsigned realBoardCount() {
    const char* boards = std::getenv("VEXO_VIRTUAL_BOARDS");
    if (boards && std::string(boards) != "0") {
        const std::string saved = boards;
        setenv("VEXO_VIRTUAL_BOARDS", "0", 1);
        const uint32_t real = Vexo_scan(nullptr);
        setenv("VEXO_VIRTUAL_BOARDS", saved.c_str(), 1);
        return real <= kMaxBoards ? real : 0;
    }
    const uint32_t real = Vexo_scan(nullptr);
    return real <= kMaxBoards ? real : 0;
}

void noteVirtualWrite() {
    std::fprintf(stderr,
                 "vexo: note: the board is virtual and made afresh by every vexo run: "
                 "the next run does not see this write (docs/tool.md)\n");
}

CameraFile loadConfig(const BoardOptions& options) {
    if (options.configPath.empty()) return defaultCameraFile();
    CameraFile file;
    std::string error;
    if (!loadCameraFile(options.configPath, file, error)) throw SessionError(error);
    return file;
}

BoardSession::BoardSession(const BoardOptions& options, const CameraFile& file) {
    const bool virtualBefore = std::getenv("VEXO_VIRTUAL_BOARDS") != nullptr;
    std::vector<BoardEntry> boards = scanBoards(true);
    if (boards.empty())
        throw SessionError(
            "no board found: attach a board, check its permissions "
            "(docs/real-boards-linux.md) or use --virtual");
    // An index wins over a serial: a caller that picks another board by index (the preview's
    // board switch) keeps the rest of the options.
    if (options.index) {
        bool found = false;
        for (const BoardEntry& b : boards) {
            if (b.index == *options.index) {
                board_ = b;
                found = true;
            }
        }
        if (!found) {
            std::string list;
            for (const BoardEntry& b : boards)
                list += (list.empty() ? "" : ", ") + std::to_string(b.index);
            throw SessionError("no board at index " + std::to_string(*options.index) +
                               " (boards found at: " + list + ")");
        }
    } else if (!options.serial.empty()) {
        const auto it = std::find_if(boards.begin(), boards.end(), [&](const BoardEntry& b) {
            return b.serial == options.serial;
        });
        if (it == boards.end())
            throw SessionError("no board with serial '" + options.serial + "' (see vexo scan)");
        board_ = *it;
    } else {
        board_ = boards.front();
    }

    // The fall-back board streams the default configuration only: any other format or size
    // would end in frame errors with no word on why.
    const CameraConfig& fallBack = defaultCameraFile().config;
    const CameraConfig& want = file.config;
    if (!virtualBefore && std::getenv("VEXO_VIRTUAL_BOARDS") &&
        (want.u32Width != fallBack.u32Width || want.u32Height != fallBack.u32Height ||
         want.emImageFmtMode != fallBack.emImageFmtMode ||
         want.u8PixelBytes != fallBack.u8PixelBytes))
        std::fprintf(stderr,
                     "vexo: the fall-back virtual board streams %ux%u %s, %u byte(s) per pixel; "
                     "%s asks for %ux%u %s, %u byte(s) per pixel: describe a matching board "
                     "with --boards (docs/virtual-boards.md)\n",
                     fallBack.u32Width, fallBack.u32Height,
                     std::string(formatName(fallBack.emImageFmtMode)).c_str(),
                     fallBack.u8PixelBytes, file.source.c_str(), want.u32Width, want.u32Height,
                     std::string(formatName(want.emImageFmtMode)).c_str(), want.u8PixelBytes);

    config_ = file.config;
    const uint32_t status = Vexo_open(&handle_, &config_, board_.index);
    if (status != USB_CAMERA_NO_ERROR) {
        Vexo_close(handle_);
        handle_ = nullptr;
        throw SessionError(
            describeStatus("cannot open board " + std::to_string(board_.index), status));
    }
}

BoardSession::~BoardSession() {
    if (handle_) Vexo_close(handle_);
}

bool runStartup(CameraHandle handle, const CameraFile& file, StartupFailure& failure) {
    for (const RegisterStep& step : file.registers) {
        if (step.kind == RegisterStep::Kind::Delay) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.value));
            continue;
        }
        const uint32_t status = Vexo_writeSensorReg(handle, step.address, step.value);
        if (status != USB_CAMERA_NO_ERROR) {
            failure = {status, file.source + ":" + std::to_string(step.line) +
                                   ": writing register " + hex(step.address, 4)};
            return false;
        }
    }
    for (const BoardCommand& cmd : file.boardCommands) {
        std::vector<uint8_t> data = cmd.data;  // the C API takes a non-const pointer
        const uint32_t status =
            Vexo_setboardConfig(handle, cmd.request, cmd.value, cmd.index,
                                static_cast<uint32_t>(data.size()), data.data());
        if (status != USB_CAMERA_NO_ERROR) {
            failure = {status, file.source + ":" + std::to_string(cmd.line) + ": board command " +
                                   hex(cmd.request, 2)};
            return false;
        }
    }
    return true;
}

void BoardSession::applyStartup(const CameraFile& file) {
    StartupFailure failure;
    if (!runStartup(handle_, file, failure))
        throw SessionError(describeStatus(failure.step, failure.status));
}

std::chrono::steady_clock::time_point BoardSession::reopen(const CameraFile& file,
                                                           std::chrono::milliseconds wait) {
    if (handle_) Vexo_close(std::exchange(handle_, nullptr));
    const auto deadline = std::chrono::steady_clock::now() + wait;
    uint32_t status = USB_CAMERA_USB_CREATE_ERROR;
    for (;;) {
        const auto left = std::max(std::chrono::milliseconds(0),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now()));
        const std::optional<vexo::BoardInfo> found = vexo::waitForBoard(board_.serial, left);
        if (!found)
            throw SessionError(describeStatus("board " + board_.serial +
                                                  " did not come back within " +
                                                  std::to_string(wait.count()) + " ms",
                                              status));
        const auto back = std::chrono::steady_clock::now();
        config_ = file.config;
        status = Vexo_open(&handle_, &config_, found->index);
        // Indices move when boards come and go between the scan and the open: the serial
        // tells whether this is the board.
        std::array<uint8_t, 16> serial{};
        if (status == USB_CAMERA_NO_ERROR &&
            Vexo_readUserData(handle_, 1008, 16, serial.data()) == USB_CAMERA_NO_ERROR &&
            serialText(serial.data()) == board_.serial) {
            board_.index = static_cast<uint8_t>(found->index);
            try {
                applyStartup(file);
                return back;
            } catch (const SessionError&) {
                // Gone again during its start-up: wait for it once more.
            }
        }
        Vexo_close(std::exchange(handle_, nullptr));
        if (std::chrono::steady_clock::now() >= deadline)
            throw SessionError(
                describeStatus("board " + board_.serial + " could not be reopened", status));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string boardTypeName(uint8_t boardType) {
    switch (boardType) {
        case 2:
            return "USB 2";
        case 3:
            return "USB 3";
        default:
            return "other (" + std::to_string(boardType) + ")";
    }
}

std::string linkTypeName(uint8_t linkType) {
    return linkType == 3 ? "SuperSpeed" : "high speed";
}

}  // namespace vexo
