// Interpreter speed on a loop: a while loop whose every pass does an integer addition, a comparison
// (its condition) and a string append. Each pass runs four statements: the while head, two
// assignments and the endwhile. The appended string is rebuilt from the same prefix on every pass,
// so the script's own data stay the same size and any growth in memory would be the interpreter's.
// Prints statements per second and the peak resident size after 100,000 and 1,000,000 passes.
#include "bench/engine_run_bench.h"

#include <string>
#include <sys/resource.h>

namespace {

constexpr int kStatementsPerPass = 4;

std::string MakeScript(int passes)
{
    return "Local.i = 0; Local.prefix = 'item';\n"
           "while (Local.i < " +
           std::to_string(passes) +
           ")\n"
           "  Local.i = Local.i + 1;\n"
           "  Local.s = Local.prefix + 'x';\n"
           "endwhile\n"
           "write Local.i + ' ' + Local.s;\n";
}

long PeakResidentKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_WhileLoop(benchmark::State& state)
{
    const int passes = static_cast<int>(state.range(0));
    const std::string expected = std::to_string(passes) + " itemx";
    RunScriptLoop(state, "loop.tws", MakeScript(passes), [&expected](const std::string& output) {
        return output == expected ? std::string() : "wrong result: " + output;
    });
    state.counters["statements/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * passes * kStatementsPerPass, benchmark::Counter::kIsRate);
    state.counters["peak RSS KiB"] = static_cast<double>(PeakResidentKilobytes());
}

}  // namespace

BENCHMARK(BM_WhileLoop)->Arg(100000)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
