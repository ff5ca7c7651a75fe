// The pieces of the console's commands that need nothing of the running server: who may send
// them, which command a request names, and the service lines of the GetTask reply. CServerApp
// answers the commands with them.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

class CListenerThread;
class CServerConfig;

enum class ConsoleCommand
{
    kNone,
    kGetTask,
    kGetReq,
    kRunNow,
    kDisconnect
};

// The command that a request's method names: the first of ".GetTask", ".GetReq", ".RunNow" and
// ".Disconnect" that occurs in it (case-sensitive); kNone when none does.
ConsoleCommand ParseConsoleCommand(const std::string& method);

// Console commands list live URLs, run tasks and cut connections, so only the server's own host
// may send them: over plain HTTP, from a loopback address or from the server's own address
// (`serverAddress`, network byte order).
bool IsConsolePeerAllowed(const sockaddr_in& peer, std::uint32_t serverAddress, bool secure);

// "http://<host>" for port "80" ("https://<host>" for "443"), else with ":<port>" after the host.
std::string FormatServiceUrl(const std::string& host, const std::string& port, bool secure);

// The first two lines of the GetTask reply: the web server and the secure web server with their
// URLs and the start times of their listeners (null when not running); a secure server that does
// not run shows "Stopped" when a certificate is configured, else "Disabled".
std::string FormatServiceLines(const CServerConfig& config, const CListenerThread* http, const CListenerThread* https);
