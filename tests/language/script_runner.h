// Runs pages and scripts written by a test through a real engine, keeping what they wrote and how
// they ended.
#pragma once

#include "language/output_sink.h"
#include "language/ssp_engine.h"
#include "script_folder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

class StringSink : public CSspOutputSink {
public:
    void Write(std::string_view text) override { output += text; }
    void CloseOutput() override
    {
        ++closed;
        if (failOnClose)
            throw std::runtime_error("disk full");
    }
    std::string output;
    int closed = 0;
    bool failOnClose = false;
};

class ScriptTest : public ::testing::Test {
protected:
    // Runs the text as a file of that name (a .twp page starts in text, a .tws script in code).
    int Run(std::string_view name, std::string_view text)
    {
        sink.output.clear();
        path = folder.Write(name, text);
        std::string url = "/app/" + std::string(name);
        CSspEngine engine;
        CSspRunArgs args{.filePath = path, .urlPath = url, .request = request, .response = &sink};
        int result = engine.Run(args);
        errorText = engine.ErrorText();
        errorPosition = engine.ErrorPosition();
        return result;
    }
    // Runs a script and returns its output; a failed run fails the test with its report.
    std::string Output(std::string_view script)
    {
        int result = Run("t.tws", script);
        EXPECT_TRUE(result == kRunCompleted || result == kRunReturned) << script << "\n" << errorText;
        return sink.output;
    }
    // Runs a script that must fail and returns the message of its report (without file and line).
    std::string Failure(std::string_view script)
    {
        EXPECT_EQ(Run("t.tws", script), kRunFailed) << script;
        size_t body = errorText.find("\r\n\r\n");
        return body == std::string::npos ? errorText : errorText.substr(body + 4);
    }
    // The report of a failure at line and column, as the engine formats it.
    std::string Report(int line, int column, std::string_view source, std::string_view message) const
    {
        return path + " (" + std::to_string(line) + "," + std::to_string(column) + "): \r\n" +
               std::string(source) + "\r\n\r\n" + std::string(message);
    }

    ScriptFolder folder;
    StringSink sink;
    CSspScriptObject* request = nullptr;
    std::string path;
    std::string errorText;
    int errorPosition = kNoPosition;
};
