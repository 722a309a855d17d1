// The [colour] section of a camera file: one `key = value` line at a time, then a check of the
// whole once the sensor's significant bits are known. camera_file.cpp hands the lines over.
#pragma once

#include <string>
#include <string_view>
#include <vexo/isp_settings.hpp>

namespace vexo {

class ColourSection {
  public:
    /// Reads one line (comment and surrounding spaces removed). False with `message` set when
    /// the line is wrong.
    bool line(std::string_view text, unsigned lineNo, std::string& message);
    /// Checks the values against the white level 2^pixelBits - 1. False with the line to blame
    /// and `message` set.
    bool finish(unsigned pixelBits, unsigned& line, std::string& message) const;
    const ColourSettings& settings() const { return settings_; }

  private:
    ColourSettings settings_;
    unsigned blackLine_ = 0;
    std::string seen_;  // keys already given, separated by spaces
};

}  // namespace vexo
