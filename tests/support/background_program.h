// A peer program that runs beside a test (a mail server, a relay): started with an argument
// vector, never through a shell, its standard output and error going to a file, and ended with
// its stop signal (SIGTERM unless Start names another; SIGKILL when it lingers) when the object goes.
#pragma once

#include "tests/support/run_program.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

class BackgroundProgram
{
public:
    BackgroundProgram() = default;
    ~BackgroundProgram() { Stop(); }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // False when the program could not be started.
    bool Start(const std::vector<std::string>& arguments, const std::string& outputPath, int stopSignal = SIGTERM)
    {
        Stop();
        m_stopSignal = stopSignal;
        m_pid = SpawnProgram(arguments, "/dev/null", outputPath);
        return m_pid != 0;
    }

    // True while the program runs.
    bool IsRunning()
    {
        if (m_pid == 0)
            return false;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == 0)
            return true;
        m_pid = 0;
        return false;
    }

    void Stop()
    {
        if (!IsRunning())
            return;
        kill(m_pid, m_stopSignal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (IsRunning() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (IsRunning()) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }

private:
    pid_t m_pid = 0;
    int m_stopSignal = SIGTERM;
};
