#include "colour_section.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace vexo {

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        const size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

// A finite decimal number, the whole word.
bool number(std::string_view word, double& out) {
    const char* end = word.data() + word.size();
    if (!word.empty() && word.front() == '+') return false;
    auto [ptr, ec] = std::from_chars(word.data(), end, out);
    return ec == std::errc() && ptr == end && std::isfinite(out);
}

// Numbers of a line: false with `message` when one is not a finite number or the count is not
// one of `counts`.
bool numbers(std::string_view key, std::string_view value, std::initializer_list<size_t> counts,
             std::vector<double>& out, std::string& message) {
    out.clear();
    for (std::string_view w : words(value)) {
        double v = 0;
        if (!number(w, v)) {
            message = std::string(key) + ": '" + std::string(w) + "' is not a finite number";
            return false;
        }
        out.push_back(v);
    }
    for (size_t n : counts)
        if (out.size() == n) return true;
    message = std::string(key) + " takes ";
    size_t i = 0;
    for (size_t n : counts) message += (i++ ? " or " : "") + std::to_string(n);
    message += " numbers, not " + std::to_string(out.size());
    return false;
}

double determinant(const std::array<double, 9>& m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

}  // namespace

bool ColourSection::line(std::string_view text, unsigned lineNo, std::string& message) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        message = "expected 'key = value' in [colour], got '" + std::string(text) + "'";
        return false;
    }
    const std::string key(trimmed(text.substr(0, eq)));
    const std::string_view value = trimmed(text.substr(eq + 1));
    if (value.empty()) {
        message = "key '" + key + "' has no value";
        return false;
    }
    if ((" " + seen_ + " ").find(" " + key + " ") != std::string::npos) {
        message = "key '" + key + "' appears twice in [colour]";
        return false;
    }
    std::vector<double> v;
    if (key == "black_level") {
        if (!numbers(key, value, {1, 3, 4}, v, message)) return false;
        for (double b : v)
            if (b < 0) {
                message = "black_level must not be negative";
                return false;
            }
        auto& bl = settings_.blackLevel;
        if (v.size() == 1) bl = {v[0], v[0], v[0], v[0]};
        if (v.size() == 3) bl = {v[0], v[1], v[1], v[2]};  // R G B: both greens alike
        if (v.size() == 4) bl = {v[0], v[1], v[2], v[3]};
        blackLine_ = lineNo;
    } else if (key == "white_balance") {
        if (value == "auto") {
            settings_.autoWhiteBalance = true;
        } else {
            if (!numbers(key, value, {3}, v, message)) {
                message += " (white_balance = auto or R G B)";
                return false;
            }
            for (double g : v)
                if (g <= 0 || g > 64) {
                    message = "white_balance gains must be above 0 and at most 64";
                    return false;
                }
            settings_.autoWhiteBalance = false;
            settings_.whiteBalance = {v[0], v[1], v[2]};
        }
    } else if (key == "ccm") {
        if (!numbers(key, value, {9}, v, message)) return false;
        std::array<double, 9> m{};
        for (size_t i = 0; i < 9; ++i) {
            if (std::fabs(v[i]) > 64) {
                message = "ccm entries must lie within -64..64";
                return false;
            }
            m[i] = v[i];
        }
        // A matrix that maps some colour to black (or nearly) cannot be camera RGB to sRGB.
        if (std::fabs(determinant(m)) < 1e-6) {
            message = "ccm is singular (determinant 0): it must map camera RGB onto all of sRGB";
            return false;
        }
        settings_.ccm = m;
    } else if (key == "gamma") {
        if (value == "srgb")
            settings_.gamma = ColourSettings::Gamma::Srgb;
        else if (value == "linear")
            settings_.gamma = ColourSettings::Gamma::Linear;
        else {
            message = "gamma is srgb or linear, not '" + std::string(value) + "'";
            return false;
        }
    } else if (key == "auto_exposure") {
        if (value == "on")
            settings_.autoExposure = true;
        else if (value == "off")
            settings_.autoExposure = false;
        else {
            message = "auto_exposure is on or off, not '" + std::string(value) + "'";
            return false;
        }
    } else if (key == "demosaic") {
        if (value == "gradient")
            settings_.demosaic = ColourSettings::Demosaic::Gradient;
        else if (value == "bilinear")
            settings_.demosaic = ColourSettings::Demosaic::Bilinear;
        else {
            message = "demosaic is gradient or bilinear, not '" + std::string(value) + "'";
            return false;
        }
    } else {
        message = "unknown key '" + key +
                  "' in [colour] (black_level, white_balance, ccm, gamma, auto_exposure, demosaic)";
        return false;
    }
    seen_ += key + " ";
    return true;
}

bool ColourSection::finish(unsigned pixelBits, unsigned& line, std::string& message) const {
    const double white = std::ldexp(1.0, static_cast<int>(pixelBits)) - 1;
    for (double b : settings_.blackLevel)
        if (b >= white) {
            line = blackLine_;
            message = "black_level " + std::to_string(static_cast<long long>(b)) +
                      " is at or above the white level " +
                      std::to_string(static_cast<long long>(white)) + " of " +
                      std::to_string(pixelBits) + "-bit samples";
            return false;
        }
    return true;
}

}  // namespace vexo
