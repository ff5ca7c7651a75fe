// Runs one page or script file through the interpreter a given number of times, each run's output
// to standard output, the way a server thread runs a page: a new engine for every run, the file
// read through the source-file cache. bench/compare-engines counts its instructions with callgrind
// at two numbers of runs (or two sizes of a script), so that the difference is the work alone.
//
// Usage: script_run [--cpu] [--sqlite DATABASE] FILE [RUNS]
// With --sqlite, the runs use that SQLite file as their data source, through the SQLite ODBC
// driver, as a page of the web root would use the server's database. With --cpu, the CPU seconds
// (user and system) that the runs took, without the program's start-up, go to standard error.
#include "database/odbc_setup.h"
#include "language/output_sink.h"
#include "language/ssp_app.h"
#include "language/ssp_engine.h"

#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// Collects a run's output and writes it to standard output when the run ends, as the server
// collects a page before sending it: the pieces of a page are many and short, and a stdio call
// for each would be counted as the engine's work.
class StdoutSink : public CSspOutputSink
{
public:
    void Write(std::string_view piece) override { m_page.append(piece); }
    void CloseOutput() override
    {
        std::fwrite(m_page.data(), 1, m_page.size(), stdout);
        m_page.clear();
    }

private:
    std::string m_page;
};

int Usage()
{
    std::fputs("usage: script_run [--cpu] [--sqlite DATABASE] FILE [RUNS]\n", stderr);
    return 2;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv)
{
    int next = 1;
    const bool showCpu = argc > next && std::string_view(argv[next]) == "--cpu";
    if (showCpu)
        ++next;
    std::string database;
    if (argc > next + 1 && std::string_view(argv[next]) == "--sqlite") {
        database = argv[next + 1];
        next += 2;
    }
    if (argc <= next || argc > next + 2)
        return Usage();
    const std::string path = std::filesystem::absolute(argv[next]).string();
    const int runs = argc > next + 1 ? std::stoi(argv[next + 1]) : 1;
    if (!database.empty())
        TheSspApp().SetDataSourceForPath(
            "Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so") + ";Database=" + database, "/");

    StdoutSink sink;
    const std::string urlPath = "/" + std::filesystem::path(path).filename().string();
    const CSspRunArgs args{.filePath = path, .urlPath = urlPath, .response = &sink};
    int failed = 0;
    const double start = CpuSeconds();
    for (int run = 0; run < runs && failed == 0; ++run) {
        CSspEngine engine;
        if (engine.Run(args) != kRunCompleted) {
            std::fprintf(stderr, "%s\n", engine.ErrorText().c_str());
            failed = 1;
        }
    }
    std::fflush(stdout);
    if (showCpu)
        std::fprintf(stderr, "%.6f\n", CpuSeconds() - start);
    TheSspApp().RemoveAll();
    return failed;
}
