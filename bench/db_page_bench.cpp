// Runs of the database page that bench/compare-servers serves: 100 rows (id, title, state) of a
// table selected and written as table rows, on a SQLite file made for the benchmark, and on the
// PostgreSQL server named by TW_PG_CONNECT when that is set. With "DbAccessSerialize" on a whole
// run holds the application lock, so its time per run bounds the database pages per second of the
// whole server.
#include "bench/engine_run_bench.h"
#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "language/ssp_app.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kDbPage =
    "<html><body><table>\n"
    "<!--{ sql bugs = SELECT id, title, state FROM bugs ORDER BY id; while (bugs.fetch()) }-->"
    "<tr><td>--{ bugs.id }--</td><td>--{ bugs.title }--</td><td>--{ bugs.state }--</td></tr>\n"
    "<!--{ endwhile }--></table></body></html>\n";

void FillBugs(const std::string& connect)
{
    COdbcConnection db;
    db.Open(connect);
    db.ExecuteSQL("DROP TABLE IF EXISTS bugs");
    db.ExecuteSQL("CREATE TABLE bugs (id INTEGER PRIMARY KEY, title VARCHAR(100), state VARCHAR(20))");
    for (int id = 1; id <= 100; ++id)
        db.ExecuteSQL("INSERT INTO bugs VALUES (" + std::to_string(id) + ", 'Bug number " + std::to_string(id) +
                      "', '" + (id % 3 ? "open" : "closed") + "')");
}

void RunDbPage(benchmark::State& state, const std::string& connect)
{
    FillBugs(connect);
    TheSspApp().SetDataSourceForPath(connect, "/");
    RunScriptLoop(state, "db.twp", kDbPage, [](const std::string& output) {
        return output.find("<tr><td>100</td><td>Bug number 100</td><td>open</td></tr>") != std::string::npos
                   ? std::string()
                   : std::string("the table did not come out as expected");
    });
    TheSspApp().RemoveAll();
    state.counters["pages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SqlitePage(benchmark::State& state)
{
    char folder[] = "/tmp/tw-db-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string file = std::string(folder) + "/bugs.db";
    RunDbPage(state, "Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so") + ";Database=" + file);
    std::filesystem::remove_all(folder);
}

void BM_PostgresPage(benchmark::State& state)
{
    const char* connect = std::getenv("TW_PG_CONNECT");
    if (connect == nullptr) {
        state.SkipWithError("TW_PG_CONNECT is not set");
        return;
    }
    RunDbPage(state, connect);
}

}  // namespace

BENCHMARK(BM_SqlitePage)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostgresPage)->Iterations(5000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
