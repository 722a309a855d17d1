// Camera configuration files are text users write and pass around: any bytes must parse or be
// refused with a line inside the text, and what parses must keep the promises the loader makes
// to the tool, the preview and the named controls.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vexo/camera_file.hpp>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto lines = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) + 1;
    vexo::CameraFile file;
    vexo::CameraFileError error;
    if (!vexo::parseCameraFile(text, "fuzz.cfg", file, error)) {
        check(error.line <= lines && !error.message.empty());
        check(error.text().rfind("fuzz.cfg", 0) == 0);
        return 0;
    }
    for (const auto& step : file.registers) check(step.line >= 1 && step.line <= lines);
    for (const auto& control : file.controls) {
        check(control.line >= 1 && control.line <= lines);
        check(control.min <= control.max && control.step > 0);
        check(control.defaultValue >= control.min && control.defaultValue <= control.max);
        check(control.registers.empty() != control.luaFunction.empty());
        check(control.registers.empty() || (control.bitCount > 0 && control.bitCount <= 64));
    }
    return 0;
}
