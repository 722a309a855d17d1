// vexo record --sync: several boards as one rig, recorded as sets
// (tools/cli/sync_record_command.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/stream_loop.h"

namespace vexo::tools {

struct SyncRecordOptions {
    bool on = false;                   ///< --sync given
    std::vector<std::string> serials;  ///< the boards; empty with `all`
    bool all = false;
    uint64_t sets = 0;   ///< -n: sets to record
    double seconds = 0;  ///< -t: how long
    std::string output;
    std::string configPath;
    std::string trigger = "soft";
    double rateHz = 30;
    int64_t toleranceUs = 0;
    bool raw = false;
    size_t queueFrames = 16;
    StreamOptions stream;
};

void runSyncRecord(const SyncRecordOptions& options);

}  // namespace vexo::tools
