// Page runs of the interpreter, each from its file (read afresh each run, as every request does) into
// an output buffer; prints pages/s. BM_PageRun is scanning: a 200-line page with 100 code blocks.
// BM_TablePage is the page the server benchmarks serve, a loop that writes a table of 100 rows: with
// "DbAccessSerialize" on, a whole run holds the application lock, so its time per run bounds the
// pages per second of the whole server.
#include "bench/engine_run_bench.h"

#include <string>

namespace {

// 100 lines of plain markup and 100 lines that each hold a statement block or an output block with
// empty statements and a comment, the way pages interleave markup and code.
std::string MakePage()
{
    std::string page;
    for (int row = 0; row < 100; ++row) {
        page += "<tr class=\"row\"><td>Row " + std::to_string(row) + " of the defect list</td>\n";
        if (row % 2 == 0)
            page += "  <td><!--{ ; ; // cell value\n}--></td></tr>\n";
        else
            page += "  <td>--{ ; }--</td></tr>\n";
    }
    return page;
}

void CountPages(benchmark::State& state)
{
    state.counters["pages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PageRun(benchmark::State& state)
{
    RunScriptLoop(state, "page.twp", MakePage(), [](const std::string&) { return std::string(); });
    CountPages(state);
}

void BM_TablePage(benchmark::State& state)
{
    RunScriptLoop(state, "table.twp", kTablePage, [](const std::string& output) {
        return IsTablePage(output) ? std::string() : std::string("the table did not come out as expected");
    });
    CountPages(state);
}

}  // namespace

BENCHMARK(BM_TablePage)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageRun)->Iterations(10000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
