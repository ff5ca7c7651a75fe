// A private installation folder for the studio's tests: web root, tmp and a settings file that
// names the default data source and the loopback address. It becomes the program directory for
// the whole test program (the settings are found below it), so a global test environment makes
// it once.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "tests/support/temp_folder.h"

class CStudioInstall : public ::testing::Environment
{
public:
    void SetUp() override
    {
        m_folder = std::make_unique<TempFolder>("tw-studio");
        s_path = m_folder->Path();
        for (const char* folder : {"/webroot/script", "/webroot/log", "/tmp", "/etc"})
            std::filesystem::create_directories(s_path + folder);
        std::ofstream(s_path + "/etc/settings.conf")
            << "DbOdbcConnectString=ODBC;DSN=tw3\nGeneralTcpipAddress=127.0.0.1\n";
        SetProgramDirectory(s_path);
    }
    void TearDown() override { m_folder.reset(); }

    static const std::string& Path() { return s_path; }

    // Writes a file below the web root and returns its full path.
    static std::string WebFile(std::string_view relative, std::string_view content)
    {
        const std::string path = s_path + "/webroot/" + std::string(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return path;
    }

private:
    std::unique_ptr<TempFolder> m_folder;
    static inline std::string s_path;
};

inline const bool kStudioInstallAdded = (::testing::AddGlobalTestEnvironment(new CStudioInstall), true);
