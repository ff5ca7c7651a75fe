// What the interpreter benchmarks share: a script written to a private folder, and one loop that
// runs it again and again, each run from its file into an output buffer, and stops with an error
// as soon as a run fails or its output is not what the benchmark expects.
#pragma once

#include "bench/table_page.h"
#include "language/output_sink.h"
#include "language/ssp_engine.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

// Runs `text`, saved as `name` in a private folder, once per benchmark iteration. `check` gets each
// run's output and returns an error text, or "" when the output is right.
inline void RunScriptLoop(benchmark::State& state, const std::string& name, const std::string& text,
                          const std::function<std::string(const std::string&)>& check)
{
    class BufferSink : public CSspOutputSink
    {
    public:
        void Write(std::string_view piece) override { output.append(piece); }
        std::string output;
    };

    std::string folder = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string path = folder + "/" + name;
    const std::string urlPath = "/" + name;
    std::ofstream(path, std::ios::binary) << text;

    BufferSink sink;
    CSspRunArgs args{.filePath = path, .urlPath = urlPath, .response = &sink};
    for (auto _ : state) {
        sink.output.clear();
        CSspEngine engine;
        if (engine.Run(args) != kRunCompleted) {
            state.SkipWithError(engine.ErrorText().c_str());
            break;
        }
        if (const std::string error = check(sink.output); !error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(sink.output.data());
    }
    std::filesystem::remove_all(folder);
}
