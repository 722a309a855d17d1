#include <vexo/status.h>

#include <cstdio>
#include <vexo/status_text.hpp>

namespace vexo {

SessionError::~SessionError() = default;

std::string describeStatus(const std::string& what, uint32_t status) {
    const char* name = vexoStatusName(status);
    const char* hint = vexoStatusHint(status);
    std::string text = what + ": ";
    if (!name) return text + "unexpected result " + std::to_string(status);
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", status);
    text += std::string(name) + " (" + code + ")";
    if (hint) text += std::string(": ") + hint;
    return text;
}

}  // namespace vexo
