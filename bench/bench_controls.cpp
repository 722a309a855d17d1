/*
 * set_ctrl calls per second for a trivial control function, and the same call made directly
 * with lua_pcall on a bare state as the baseline: the ratio is what the host's record
 * search, clamping and protected global handling cost.
 */
#include <benchmark/benchmark.h>
#include <vexo/controls.h>

#include <cstdio>
#include <lua.hpp>
#include <map>
#include <string>

namespace {

constexpr const char* kScript = "function brightness(v) end";

void directPcall(benchmark::State& state) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_dostring(L, kScript);
    int64_t value = 0;
    for (auto _ : state) {
        lua_getglobal(L, "brightness");
        lua_pushnumber(L, static_cast<lua_Number>(value++ & 0xFF));
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            state.SkipWithError("lua_pcall failed");
            break;
        }
    }
    lua_close(L);
}

void setCtrl(benchmark::State& state) {
    Controller* controller = nullptr;
    init_controller(&controller, nullptr, nullptr, nullptr, nullptr, nullptr);
    // A few other records first, so the name search does some work as it would on a camera.
    CtrlRecord records[4] = {};
    const char* names[4] = {"exposure", "gain", "contrast", "brightness"};
    for (int i = 0; i < 4; ++i) {
        std::snprintf(records[i].name, sizeof(records[i].name), "%s", names[i]);
        records[i].minValue = 0;
        records[i].maxValue = 255;
        records[i].script = kScript;
    }
    register_ctrls(controller, records, 4);
    int64_t value = 0;
    for (auto _ : state) {
        if (set_ctrl(controller, "brightness", value++ & 0x1FF, nullptr) != 0) {
            state.SkipWithError("set_ctrl failed");
            break;
        }
    }
    deinit_controller(controller);
}

BENCHMARK(directPcall);
BENCHMARK(setCtrl);

/* Keeps calls per second of each benchmark for the summary. */
class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                run.real_accumulated_time > 0)
                rates_[run.run_name.function_name] =
                    static_cast<double>(run.iterations) / run.real_accumulated_time;
        ConsoleReporter::ReportRuns(runs);
    }

    double rate(const std::string& name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0 : it->second;
    }

  private:
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double direct = reporter.rate("directPcall");
    double viaHost = reporter.rate("setCtrl");
    if (direct <= 0 || viaHost <= 0) {
        std::fprintf(stderr, "bench_controls: a benchmark did not run\n");
        return 1;
    }
    std::printf("set_ctrl calls per second: %.0f\n", viaHost);
    std::printf("direct lua_pcall calls per second: %.0f\n", direct);
    std::printf("ratio set_ctrl vs direct lua_pcall: %.2f\n", viaHost / direct);
    return 0;
}
