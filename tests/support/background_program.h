// A peer program that runs beside a test (a mail server, a relay): started with an argument
// vector, never through a shell, its standard output and error going to a file, and ended with
// its stop signal (SIGTERM unless Start names another; SIGKILL when it lingers) when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int error = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            m_pid = 0;
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
