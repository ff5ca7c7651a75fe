// twConsole's side of the console commands: one command per connection to the running twServer,
// sent over the engine's own socket without TLS. The status view and the requests dialog use it.
#pragma once

#include <string>

#include "network/tcp_socket.h"

// Each wait for the server during a command is bounded by this many seconds.
constexpr int kCommandTimeoutSeconds = 30;
// No single send hands the system more than this many bytes of a command.
constexpr int kCommandSendPiece = 2048000;

// Connects `socket` to the server at `address`:`port` and bounds its later waits by
// kCommandTimeoutSeconds. A failed receive or send of the command is then not logged: the
// console shows each log line in a message box, and its callers tell of a failed command
// themselves. 1, or 0 after the failure to connect was logged.
int ConnectForCommand(CTcpSocket& socket, const std::string& address, int port);

// A reply line longer than this is taken as a broken reply (no server line comes near it).
constexpr std::size_t kMaxReplyLine = 1048576;

// Reads one line of the server's reply, whatever its length, without its CR LF: 1 with `line`
// filled (empty for the blank line that ends a reply), 0 when the connection failed or closed
// first or the line passed kMaxReplyLine.
int ReadReplyLine(CTcpSocket& socket, std::string& line);

// Sends all of `command`, in pieces of at most kCommandSendPiece bytes: 1, or 0 at the first
// failure.
int SendCommand(CTcpSocket& socket, const std::string& command);
