// Runs pages and scripts written by a test through a real engine, keeping what they wrote and how
// they ended.
#pragma once

#include "foundation/ascii_text.h"
#include "language/output_sink.h"
#include "language/ssp_engine.h"
#include "script_folder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class StringSink : public CSspOutputSink
{
public:
    struct Cookie
    {
        std::string name, value, path;
    };
    void Write(std::string_view text) override { output += text; }
    void AddCookie(std::string_view name, std::string_view value, std::string_view path, std::string_view) override
    {
        cookies.push_back({std::string(name), std::string(value), std::string(path)});
    }
    std::string FindCookie(std::string_view name) const override
    {
        for (const Cookie& cookie : cookies) {
            if (EqualsNoCase(cookie.name, name))
                return cookie.value;
        }
        return {};
    }
    void CloseOutput() override
    {
        ++closed;
        if (failOnClose)
            throw std::runtime_error("disk full");
    }
    std::string output;
    std::vector<Cookie> cookies;
    int closed = 0;
    bool failOnClose = false;
};

// Runs scripts through a real engine; ScriptTest is the fixture form of it.
class ScriptRunner
{
public:
    // Runs the text as a file of that name (a .twp page starts in text, a .tws script in code).
    int Run(std::string_view name, std::string_view text) { return RunFile(name, text, "/app/" + std::string(name)); }
    // Runs a script as t.tws at a URL path; the message of its failure, or "" when it did not fail.
    std::string RunAt(std::string_view url, std::string_view script)
    {
        return RunFile("t.tws", script, std::string(url)) == kRunFailed ? Message() : std::string();
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
        return Message();
    }
    // The message of the last run's report, without file and line.
    std::string Message() const
    {
        size_t body = errorText.find("\r\n\r\n");
        return body == std::string::npos ? errorText : errorText.substr(body + 4);
    }
    // The report of a failure at line and column, as the engine formats it.
    std::string Report(int line, int column, std::string_view source, std::string_view message) const
    {
        return path + " (" + std::to_string(line) + "," + std::to_string(column) + "): \r\n" + std::string(source) +
               "\r\n\r\n" + std::string(message);
    }

    ScriptFolder folder;
    StringSink sink;
    CSspRequestObject* request = nullptr;
    CSspEngine* running = nullptr;  // the engine of the run in progress
    std::string path;
    std::string errorText;
    int errorPosition = kNoPosition;

private:
    int RunFile(std::string_view name, std::string_view text, const std::string& url)
    {
        sink.output.clear();
        sink.cookies.clear();
        path = folder.Write(name, text);
        CSspEngine engine;
        running = &engine;
        CSspRunArgs args{.filePath = path, .urlPath = url, .request = request, .response = &sink};
        int result = engine.Run(args);
        running = nullptr;
        errorText = engine.ErrorText();
        errorPosition = engine.ErrorPosition();
        return result;
    }
};

class ScriptTest : public ::testing::Test, public ScriptRunner
{
protected:
    using ScriptRunner::Run;  // not testing::Test::Run
};
