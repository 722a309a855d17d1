#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <vexo/named_controls.hpp>

#include "cli/commands.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

struct CtrlOptions {
    BoardOptions board;
    std::vector<std::string> sets;  // NAME=VALUE, applied in the order given
    bool json = false;
};

struct Setting {
    std::string name;
    double value;
};

// Every --set is checked against the file before the board is opened, so that a mistake in
// the last one writes nothing at all.
std::vector<Setting> parseSettings(const CtrlOptions& options, const CameraFile& file) {
    std::vector<Setting> settings;
    for (const std::string& text : options.sets) {
        const size_t eq = text.find('=');
        if (eq == std::string::npos || eq == 0)
            throw UsageError("--set '" + text + "': expected NAME=VALUE");
        Setting s{text.substr(0, eq), 0};
        const ControlSpec* control = nullptr;
        for (const ControlSpec& c : file.controls)
            if (c.name == s.name) control = &c;
        if (!control) {
            std::string names;
            for (const ControlSpec& c : file.controls)
                names += (names.empty() ? "" : ", ") + c.name;
            throw UsageError("--set '" + text + "': " + file.source + " has no control '" + s.name +
                             "' (" + (names.empty() ? "it has none" : names) + ")");
        }
        if (!NamedControls::parseValue(*control, text.substr(eq + 1), s.value))
            throw UsageError("--set '" + text + "': '" + text.substr(eq + 1) +
                             "' is not a value of " + s.name);
        if (control->type == ControlSpec::Type::Menu &&
            std::none_of(control->menu.begin(), control->menu.end(),
                         [&](const auto& e) { return e.value == s.value; }))
            throw UsageError("--set '" + text + "': the menu of " + s.name + " has no value " +
                             text.substr(eq + 1));
        settings.push_back(std::move(s));
    }
    return settings;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

void printJson(const std::vector<ControlSpec>& controls, const std::vector<double>& values) {
    std::printf("[");
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlSpec& c = controls[i];
        std::printf(
            "%s\n  {\"name\": %s, \"type\": \"%s\", \"unit\": %s, \"min\": %s, "
            "\"max\": %s, \"step\": %s, \"default\": %s, \"value\": %s",
            i ? "," : "", jsonString(c.name).c_str(), std::string(controlTypeName(c.type)).c_str(),
            jsonString(c.unit).c_str(), jsonNumber(c.min).c_str(), jsonNumber(c.max).c_str(),
            jsonNumber(c.step).c_str(), jsonNumber(c.defaultValue).c_str(),
            jsonNumber(values[i]).c_str());
        if (c.type == ControlSpec::Type::Menu) {
            std::printf(", \"menu\": [");
            for (size_t m = 0; m < c.menu.size(); ++m)
                std::printf("%s{\"name\": %s, \"value\": %s}", m ? ", " : "",
                            jsonString(c.menu[m].name).c_str(),
                            jsonNumber(c.menu[m].value).c_str());
            std::printf("]");
        }
        std::printf("}");
    }
    std::printf("\n]\n");
}

void printTable(const std::vector<ControlSpec>& controls, const std::vector<double>& values) {
    ControlSpec decimal;  // formats a step such as 0.0078125 in full
    decimal.type = ControlSpec::Type::Float;
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlSpec& c = controls[i];
        std::string range;
        if (c.type == ControlSpec::Type::Menu) {
            for (const auto& e : c.menu)
                range += (range.empty() ? "" : "|") + e.name + "=" +
                         NamedControls::formatValue(ControlSpec{}, e.value);
        } else {
            range = NamedControls::formatValue(c, c.min) + ".." +
                    NamedControls::formatValue(c, c.max) + " step " +
                    NamedControls::formatValue(decimal, c.step);
        }
        std::printf("%-16s %-8s %-6s %s, default %s: %s\n", c.name.c_str(),
                    std::string(controlTypeName(c.type)).c_str(),
                    c.unit.empty() ? "-" : c.unit.c_str(), range.c_str(),
                    NamedControls::formatValue(c, c.defaultValue).c_str(),
                    NamedControls::formatValue(c, values[i]).c_str());
    }
}

void run(const CtrlOptions& options) {
    const CameraFile file = loadConfig(options.board);
    if (file.controls.empty())
        throw ToolError(file.source + " has no [controls] section (docs/camera-config.md)");
    const std::vector<Setting> settings = parseSettings(options, file);
    const unsigned realBoards = realBoardCount();
    BoardSession session(options.board, file);
    NamedControls controls(session.handle(), file, registerCallsFor(file.config.emI2cMode));
    std::string error;
    for (const Setting& s : settings)
        if (controls.set(s.name, s.value, nullptr, &error) != ControlStatus::Ok)
            throw ToolError("setting " + s.name + ": " + error);
    if (!settings.empty() && session.board().index >= realBoards) noteVirtualWrite();

    std::vector<double> values;
    for (const ControlSpec& c : controls.list()) {
        double v = 0;
        if (controls.get(c.name, v, &error) != ControlStatus::Ok)
            throw ToolError("reading " + c.name + ": " + error);
        values.push_back(v);
    }
    if (options.json)
        printJson(controls.list(), values);
    else
        printTable(controls.list(), values);
}

}  // namespace

Command addCtrlCommand(CLI::App& parent) {
    auto options = std::make_shared<CtrlOptions>();
    CLI::App* sub = addBoardCommand(
        parent, "ctrl",
        "List the named controls of a configuration file's [controls] section with their "
        "values read back from the sensor; --set changes them first, in the order given.",
        options->board);
    sub->add_option("--set", options->sets,
                    "NAME=VALUE: a number, a menu entry's name, or on/off for a switch; "
                    "out-of-range numbers are clamped (repeatable)");
    sub->add_flag("--json", options->json,
                  "Print the list as JSON (docs/controls.schema.json describes it)");
    return {sub, [options] { run(*options); }};
}

}  // namespace vexo::tools
