// Finding and opening a board for a command, with the fall-back to a virtual board when no
// board is attached. Only the public C API is used: the tool is a library user like any other.
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

namespace vexo::tools {

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
std::vector<BoardEntry> scanBoards(bool fallBack);

/// The number of real boards, which the scan lists before any virtual one. Call it before a
/// session opens: while virtual boards are in use it scans once without them.
unsigned realBoardCount();

/// Says on stderr that a write to a virtual board lasts only as long as this run: each run
/// of the tool makes its virtual boards afresh.
void noteVirtualWrite();

/// The configuration file of `options` (or the default one); throws ToolError with file:line.
CameraFile loadConfig(const BoardOptions& options);

/// An open camera, closed on destruction.
class BoardSession {
  public:
    /// Scans (falling back to a virtual board), opens the chosen board with `file.config` and
    /// throws ToolError when there is no such board or the open fails. After a fall-back, a
    /// configuration the default virtual board does not stream is named on stderr.
    BoardSession(const BoardOptions& options, const CameraFile& file);
    ~BoardSession();
    BoardSession(const BoardSession&) = delete;
    BoardSession& operator=(const BoardSession&) = delete;

    CameraHandle handle() const { return handle_; }
    const BoardEntry& board() const { return board_; }
    const CameraConfig& config() const { return config_; }

    /// Writes the file's start-up registers and then its board commands, in file order;
    /// throws ToolError naming the file line that failed.
    void applyStartup(const CameraFile& file);

    /// The board went away: closes the handle, waits up to `wait` for a board with the same
    /// serial, opens it with the same configuration and applies the file's start-up again.
    /// Returns when a scan listed the board again; throws ToolError when it did not return
    /// in time.
    std::chrono::steady_clock::time_point reopen(const CameraFile& file,
                                                 std::chrono::milliseconds wait);

  private:
    CameraHandle handle_ = nullptr;
    BoardEntry board_;
    CameraConfig config_{};
};

/// "USB 3", "USB 2" or "other (N)" for a board type of Vexo_getUsbType.
std::string boardTypeName(uint8_t boardType);
/// "SuperSpeed" or "high speed" for a link type of Vexo_getUsbType.
std::string linkTypeName(uint8_t linkType);

}  // namespace vexo::tools
