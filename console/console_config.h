// CConsoleConfig: the settings as twConsole holds and writes them. twConsole is the one program
// that writes the server settings: it loads them with the server's defaults (CServerConfig),
// finds a free HTTP port on a first start, writes every value back in one replace of the store,
// and tells whether two configurations differ, so the settings sheet saves only real changes.
// One instance holds what is stored (TheConsoleConfig); the settings sheet works on a second one.
#pragma once

#include <string>

#include "foundation/server_config.h"

class CConsoleConfig : public CServerConfig
{
public:
    enum StartType
    {
        kStartAutomatic = 0,
        kStartManual = 1,
        kStartDisabled = 2
    };

    CConsoleConfig(std::string settingsPath, std::string installDir);
    CConsoleConfig();

    // The server's load, then: a missing GeneralTcpipPort becomes a free port near 80 and is
    // written back with the address; the web addresses of mails stay as stored (trimmed), empty
    // when the administrator never set them; MIME extensions stay as stored. False when the store
    // or its task list cannot be read.
    [[nodiscard]] bool Load();
    // Writes every setting the console edits, the task list included, as one replace of the
    // store. False when the store could not be written: the reason goes to `failure` when one is
    // given, else to the log.
    [[nodiscard]] bool Save(std::string* failure = nullptr);
    // Writes DbOdbcConnectString alone: false after logging why it could not.
    [[nodiscard]] bool SaveConnectString();
    // True when the task lists, the MIME maps or any value that Save writes differ. Log flags
    // and the run mode are not compared.
    bool Differs(const CConsoleConfig& other) const;

    // Replaces `port` by the first of port, 8080, 8081, 8082, 8083 that can be bound on
    // `address` (logging when none can). False when no socket could be made; `found` tells
    // whether a free port was found.
    [[nodiscard]] static bool CorrectTcpPort(const std::string& address, std::string& port, bool* found = nullptr);
    // The port tried after `port` failed: 8080 for ports up to 8079, else the next one.
    static int NextPortCandidate(int port) { return port <= 8079 ? 8080 : port + 1; }

    // The settings file this configuration reads and writes.
    const std::string& SettingsPath() const { return m_settingsPath; }
    const std::string& InstallDir() const { return m_installDir; }

    // Used by the settings sheet: how the server runs and, as a service, how it starts.
    int m_runAsService = 0;
    int m_serviceStartType = kStartManual;

protected:
    std::string MimeMapKey(const std::string& storedExtension) const override;

private:
    void CorrectMissingPort();
    std::string m_settingsPath;
    std::string m_installDir;
    void ReadBaseAddresses();
};

// The configuration that is stored, loaded at start-up.
CConsoleConfig& TheConsoleConfig();
