// Finding and opening a board for a program (the vexo tool, its preview), with the fall-back to
// a virtual board when no board is attached, and a configuration file's start-up steps. Only
// the public C API is used. Failures are thrown as SessionError (vexo/status_text.hpp) with
// the one line to show.
//
// Threading: one session per thread.
#pragma once

#include <vexo/camera.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <vexo/camera_file.hpp>
#include <vexo/cpp_export.hpp>
#include <vexo/status_text.hpp>

namespace vexo {

struct BoardEntry {
    uint8_t index = 0;   ///< device index to open
    std::string serial;  ///< printable serial text (user data 1008..1023)
};

/// Options every board command shares.
struct BoardOptions {
    std::optional<unsigned> index;  ///< device index; none: the first board found
    std::string serial;             ///< serial text of the board; empty: by index
    std::string configPath;         ///< camera configuration file; empty: the default
};

/// Lists the boards. With `fallBack`, an empty list while VEXO_VIRTUAL_BOARDS is unset makes
/// the tool say so on stderr, ask the library for one default virtual board and scan again.
VEXO_CPP_API std::vector<BoardEntry> scanBoards(bool fallBack);

/// The number of real boards, which the scan lists before any virtual one. Call it before a
/// session opens: while virtual boards are in use it scans once without them.
VEXO_CPP_API unsigned realBoardCount();

/// Says on stderr that a write to a virtual board lasts only as long as this run: each run
/// of the tool makes its virtual boards afresh.
VEXO_CPP_API void noteVirtualWrite();

/// The configuration file of `options` (or the default one); throws SessionError with file:line.
VEXO_CPP_API CameraFile loadConfig(const BoardOptions& options);

/// The step of a configuration file's start-up that failed, and the library's status.
struct StartupFailure {
    uint32_t status = 0;
    std::string step;  ///< "cam.cfg:12: writing register 0x3012", "cam.cfg:20: board command 0xA5"
};

/// Runs the start-up of `file` on the open camera `handle`: its sensor registers (with their
/// pauses) and then its board commands, in file order. False at the first step the board
/// refuses, with `failure` naming it. Every program that opens a board with a configuration
/// file runs this, so the steps run once and the same way everywhere.
VEXO_CPP_API bool runStartup(CameraHandle handle, const CameraFile& file, StartupFailure& failure);

/// An open camera, closed on destruction.
class VEXO_CPP_API BoardSession {
  public:
    /// Scans (falling back to a virtual board), opens the chosen board with `file.config` and
    /// throws SessionError when there is no such board or the open fails. After a fall-back, a
    /// configuration the default virtual board does not stream is named on stderr.
    BoardSession(const BoardOptions& options, const CameraFile& file);
    ~BoardSession();
    BoardSession(const BoardSession&) = delete;
    BoardSession& operator=(const BoardSession&) = delete;

    CameraHandle handle() const { return handle_; }
    const BoardEntry& board() const { return board_; }
    const CameraConfig& config() const { return config_; }

    /// Writes the file's start-up registers and then its board commands, in file order;
    /// throws SessionError naming the file line that failed.
    void applyStartup(const CameraFile& file);

    /// The board went away: closes the handle, waits up to `wait` for a board with the same
    /// serial, opens it with the same configuration and applies the file's start-up again.
    /// Returns when a scan listed the board again; throws SessionError when it did not return
    /// in time.
    std::chrono::steady_clock::time_point reopen(const CameraFile& file,
                                                 std::chrono::milliseconds wait);

  private:
    CameraHandle handle_ = nullptr;
    BoardEntry board_;
    CameraConfig config_{};
};

/// "USB 3", "USB 2" or "other (N)" for a board type of Vexo_getUsbType.
VEXO_CPP_API std::string boardTypeName(uint8_t boardType);
/// "SuperSpeed" or "high speed" for a link type of Vexo_getUsbType.
VEXO_CPP_API std::string linkTypeName(uint8_t linkType);

}  // namespace vexo
