#pragma once
// The JSON reader of the virtual boards' documents (VEXO_VIRTUAL_BOARDS and a recording's
// manifest). Kept out of board_config.h, which programs and tests include without the JSON
// library's headers.

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace vexo::driver::virt {

/// Parses the JSON text of a boards document or a recording's manifest into `doc`. False with
/// one line in `error` otherwise: "document: not valid JSON (error at byte N)", or, for a number
/// no double holds (1e400), the key that holds it ("boards[0].stream.fps: number out of range
/// (1e400)"). Throws nothing.
bool parseJsonDocument(std::string_view text, nlohmann::json& doc, std::string& error);

}  // namespace vexo::driver::virt
