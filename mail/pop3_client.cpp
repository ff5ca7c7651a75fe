#include "mail/pop3_client.h"

#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "mail/mail_store.h"
#include "platform/file_system.h"

#include <cstdio>

namespace {

// A user name or password with a line break would smuggle a second command to the server.
bool IsSafeArgument(const std::string& text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

CPop3Client::CPop3Client() : CPop3Client(TheServerConfig(), GetProgramDirectory())
{}

CPop3Client::CPop3Client(const CServerConfig& config, std::string installDir)
    : m_installDir(std::move(installDir)), m_timeoutSeconds(config.m_pop3Timeout), m_logCommands(config.m_logPop3 != 0)
{}

CPop3Client::~CPop3Client()
{
    m_socket.Close();
}

bool CPop3Client::SendCommand(const std::string& command, std::string_view logged)
{
    if (m_logCommands)
        TheLog().WriteText(logged);
    std::string line = command + "\r\n";
    return m_socket.Send(line.data(), static_cast<int>(line.size())) == 1;
}

bool CPop3Client::ReadReply()
{
    char buffer[kReplyBufferSize];
    int length = 0;
    int result = m_socket.ReadLine(buffer, kReplyBufferSize, &length);
    if (result < -1) {
        m_reply.clear();
        return false;
    }
    m_reply.assign(buffer, static_cast<size_t>(length));
    if (m_logCommands)
        TheLog().WriteText(m_reply);
    return true;
}

bool CPop3Client::Exchange(const std::string& command, std::string_view logged)
{
    m_reply.clear();
    return SendCommand(command, logged) && ReadReply() && IsPositive();
}

void CPop3Client::Quit()
{
    // The session ends whatever the server answers to QUIT.
    static_cast<void>(Exchange("QUIT"));
    m_socket.Close();
}

int CPop3Client::CountListing()
{
    int count = 0;
    while (ReadReply()) {
        if (m_reply == "." || m_reply.empty() || m_reply.compare(0, 2, "0 ") == 0)
            break;
        ++count;
    }
    return count;
}

int CPop3Client::FetchAll(const std::string& host, std::string port, const std::string& user,
                          const std::string& password, const std::string& mailbox)
{
    if (port.empty())
        port = "110";
    if (!IsSafeArgument(user) || !IsSafeArgument(password)) {
        TheLog().WriteLine("POP3 user name or password holds a line break");
        return -1;
    }
    if (m_logCommands)
        TheLog().WriteLine("Connecting to %s:%s", host.c_str(), port.c_str());
    if (m_socket.Connect(host, ParseInt32(port), m_timeoutSeconds) != 1) {
        TheLog().WriteLine("Failed to connect to POP3 server %s:%s", host.c_str(), port.c_str());
        return -1;
    }
    if (!m_socket.SetTimeout(m_timeoutSeconds)) {
        m_socket.Close();
        return -1;
    }

    if (!ReadReply() || !IsPositive()) {
        TheLog().WriteLine("POP3 server not ready (%s)", m_reply.c_str());
        m_socket.Close();
        return -1;
    }
    if (!Exchange("USER " + user)) {
        TheLog().WriteLine("Wrong email account user name (%s)", m_reply.c_str());
        Quit();
        return -1;
    }
    if (!Exchange("PASS " + password, "PASS ********")) {
        TheLog().WriteLine("Wrong email account password (%s)", m_reply.c_str());
        Quit();
        return -1;
    }
    if (!Exchange("LIST")) {
        TheLog().WriteText(m_reply);
        Quit();
        return -1;
    }

    const int count = CountListing();
    int stored = 0;
    for (int i = 1; i <= count; ++i) {
        if (!SendCommand("RETR " + std::to_string(i)))
            break;
        bool answered = false;
        while (ReadReply()) {
            if (IsPositive() || m_reply.compare(0, 4, "-ERR") == 0) {
                answered = true;
                break;
            }
        }
        if (!answered || !IsPositive()) {
            TheLog().WriteText(m_reply);
            break;
        }
        if (SaveMessage(mailbox) == 0)
            break;
        ++stored;
        // The server forgets the deletion unless the session ends with QUIT, so a message stored
        // before a broken connection is fetched again next time rather than lost.
        if (!Exchange("DELE " + std::to_string(i))) {
            TheLog().WriteText(m_reply);
            break;
        }
    }
    Quit();
    return stored;
}

int CPop3Client::SaveMessage(const std::string& mailbox)
{
    std::string path;
    MailFile file = CreateInboxFile(m_installDir, mailbox, path);
    if (!file)
        return 0;

    char buffer[kMessageBufferSize];
    bool lineStart = true;
    const char* failure = nullptr;
    for (;;) {
        int length = 0;
        const int result = m_socket.ReadLine(buffer, kMessageBufferSize, &length);
        if (result < -1) {
            failure = "Failed to receive a complete mail from POP3";
            break;
        }
        const bool complete = result >= 0;
        const char* text = buffer;
        // The end mark and the dot-stuffing concern only the start of a line, never a later piece
        // of a line longer than the buffer.
        if (lineStart) {
            if (complete && length == 1 && buffer[0] == '.') {
                if (CloseMailFile(file))
                    return 1;
                failure = "Failed to write a complete mail to file";
                break;
            }
            if (length >= 2 && buffer[0] == '.' && buffer[1] == '.') {
                ++text;
                --length;
            }
        }
        const size_t size = static_cast<size_t>(length);
        if (std::fwrite(text, 1, size, file.get()) != size ||
            (complete && std::fwrite("\r\n", 1, 2, file.get()) != 2)) {
            failure = "Failed to write a complete mail to file";
            break;
        }
        lineStart = complete;
    }
    TheLog().WriteText(failure);
    file.reset();
    if (!DeleteFileForced(path))
        TheLog().WriteText("The partial mail " + path + " could not be removed.");
    return 0;
}
