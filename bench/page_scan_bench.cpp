// Page runs of the interpreter, each from its file (read afresh each run, as every request does) into
// an output buffer; prints pages/s. BM_PageRun is scanning: a 200-line page with 100 code blocks.
// BM_TablePage is the page the server benchmarks serve, a loop that writes a table of 100 rows: with
// "DbAccessSerialize" on, a whole run holds the application lock, so its time per run bounds the
// pages per second of the whole server.
#include "language/output_sink.h"
#include "language/ssp_engine.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class BufferSink : public CSspOutputSink {
public:
    void Write(std::string_view text) override { output.append(text); }
    std::string output;
};

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

void BM_PageRun(benchmark::State& state)
{
    std::string folder = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string path = folder + "/page.twp";
    std::ofstream(path, std::ios::binary) << MakePage();

    BufferSink sink;
    CSspRunArgs args{.filePath = path, .urlPath = "/page.twp", .response = &sink};
    for (auto _ : state) {
        sink.output.clear();
        CSspEngine engine;
        if (engine.Run(args) != kRunCompleted) {
            state.SkipWithError(engine.ErrorText().c_str());
            break;
        }
        benchmark::DoNotOptimize(sink.output.data());
    }
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    std::filesystem::remove_all(folder);
}

// The same page as bench/dispatch_bench and bench/compare-servers serve.
constexpr const char* kTablePage =
    "<html><body><table>\r\n"
    "<!--{ Local.i = 1; while (Local.i <= 100) }-->"
    "<tr><td>--{ Local.i }--</td><td>row text</td></tr>\r\n"
    "<!--{ Local.i = Local.i + 1; endwhile }-->"
    "</table></body></html>\r\n";

void BM_TablePage(benchmark::State& state)
{
    std::string folder = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string path = folder + "/table.twp";
    std::ofstream(path, std::ios::binary) << kTablePage;

    BufferSink sink;
    CSspRunArgs args{.filePath = path, .urlPath = "/table.twp", .response = &sink};
    for (auto _ : state) {
        sink.output.clear();
        CSspEngine engine;
        if (engine.Run(args) != kRunCompleted) {
            state.SkipWithError(engine.ErrorText().c_str());
            break;
        }
        if (sink.output.find("<tr><td>100</td><td>row text</td></tr>\r\n</table>") == std::string::npos) {
            state.SkipWithError("the table did not come out as expected");
            break;
        }
    }
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_TablePage)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageRun)->Iterations(10000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
