#include "server/console_commands.h"

#include <arpa/inet.h>

#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "webserver/listener_thread.h"

namespace {

std::string FormatServiceLine(int number, const char* name, const std::string& url, const std::string& state)
{
    return std::to_string(number) + "*" + name + "*" + url + "*" + state + "\r\n";
}

std::string StartTimeText(const CListenerThread& listener)
{
    return CSspDateTime(listener.GetStartTime()).GetDateTimeStr2();
}

}  // namespace

ConsoleCommand ParseConsoleCommand(const std::string& method)
{
    if (method.find(".GetTask") != std::string::npos)
        return ConsoleCommand::kGetTask;
    if (method.find(".GetReq") != std::string::npos)
        return ConsoleCommand::kGetReq;
    if (method.find(".RunNow") != std::string::npos)
        return ConsoleCommand::kRunNow;
    if (method.find(".Disconnect") != std::string::npos)
        return ConsoleCommand::kDisconnect;
    return ConsoleCommand::kNone;
}

bool IsConsolePeerAllowed(const sockaddr_in& peer, std::uint32_t serverAddress, bool secure)
{
    if (secure || peer.sin_family != AF_INET)
        return false;
    const std::uint32_t address = peer.sin_addr.s_addr;
    const bool loopback = (ntohl(address) >> 24) == 127;
    return loopback || address == serverAddress;
}

std::string FormatServiceUrl(const std::string& host, const std::string& port, bool secure)
{
    std::string url = secure ? "https://" : "http://";
    url += host;
    if (port != (secure ? "443" : "80"))
        url += ":" + port;
    return url;
}

std::string FormatServiceLines(const CServerConfig& config, const CListenerThread* http, const CListenerThread* https)
{
    std::string httpsState;
    if (https != nullptr)
        httpsState = StartTimeText(*https);
    else
        httpsState = config.m_securityCertName.empty() ? "Disabled" : "Stopped";
    return FormatServiceLine(0, "Web Server", FormatServiceUrl(config.m_fqdn, config.m_generalTcpipPort, false),
                             http != nullptr ? StartTimeText(*http) : "Stopped") +
           FormatServiceLine(1, "Secure Web Server", FormatServiceUrl(config.m_fqdn, config.m_generalSslPort, true),
                             httpsState);
}
