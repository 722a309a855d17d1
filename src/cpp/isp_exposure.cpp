// Auto exposure: the frame's log-average green level (measured before processing) brought to
// mid grey, 0.18 of the range above black. The log-average follows what a scene looks like
// rather than its few bright spots (the 24-patch chart averages 0.18 when exposed so that
// white reaches the white level). A step corrects the whole error at once, then waits for a
// frame exposed with the new values before it looks again, so it does not overshoot through
// the frame already in flight; within 1/6 stop it changes nothing.
#include <algorithm>
#include <cmath>
#include <vexo/isp.hpp>

namespace vexo {

namespace {

constexpr double kDeadBand = 1.0 / 6;  // stops
constexpr double kMaxStep = 4;         // stops per step
// The frame processed after a change was in flight when the controls changed; the one after
// it shows them.
constexpr unsigned kSettleFrames = 2;

bool decibels(const ControlSpec& c) {
    return c.unit == "dB" || c.unit == "db";
}

}  // namespace

Isp::StepResult Isp::autoExposureStep(NamedControls& controls, std::string* error) {
    const ControlSpec* exposure = controls.find("exposure");
    if (!exposure) return StepResult::NoControl;
    const ControlSpec* gain = controls.find("analogue_gain");
    if (framesSeen_ == 0 || framesSinceChange_ < kSettleFrames || ae_.level <= 0)
        return StepResult::Waiting;

    const double error_stops = std::log2(ae_.target / ae_.level);
    if (std::fabs(error_stops) < kDeadBand) {
        ae_.settled = true;
        return StepResult::Settled;
    }
    ae_.settled = false;

    double e = 0, g = 1;
    if (controls.get(exposure->name, e, error) != ControlStatus::Ok) return StepResult::BoardError;
    if (gain && controls.get(gain->name, g, error) != ControlStatus::Ok)
        return StepResult::BoardError;
    auto toFactor = [&](double v) { return gain && decibels(*gain) ? std::pow(10, v / 20) : v; };
    auto fromFactor = [&](double f) { return gain && decibels(*gain) ? 20 * std::log10(f) : f; };
    const double gMin = gain ? toFactor(gain->min) : 1, gMax = gain ? toFactor(gain->max) : 1;
    const double eMin = std::max(exposure->min, 1e-9), eMax = std::max(exposure->max, eMin);
    const double factor = std::max(toFactor(g), 1e-9);
    const double total =
        std::max(e, eMin) * factor * std::exp2(std::clamp(error_stops, -kMaxStep, kMaxStep));

    // Exposure first (no noise added), then gain for what exposure cannot reach.
    const double newE = std::clamp(total / std::max(gMin, 1e-9), eMin, eMax);
    const double newFactor = std::clamp(total / newE, gMin, gMax);

    double appliedE = e, appliedG = g;
    if (controls.set(exposure->name, newE, &appliedE, error) != ControlStatus::Ok)
        return StepResult::BoardError;
    if (gain &&
        controls.set(gain->name, fromFactor(newFactor), &appliedG, error) != ControlStatus::Ok)
        return StepResult::BoardError;
    ae_.exposure = appliedE;
    ae_.analogueGain = appliedG;
    if (appliedE == e && appliedG == g) return StepResult::AtLimit;
    ++ae_.adjustments;
    framesSinceChange_ = 0;
    return StepResult::Adjusted;
}

}  // namespace vexo
