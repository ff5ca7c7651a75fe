#include "console/command_client.h"

#include <algorithm>

int ConnectForCommand(CTcpSocket& socket, const std::string& address, int port)
{
    socket.SetLogSocketErrors(false);
    if (!socket.Connect(address, port))
        return 0;
    socket.SetTimeout(kCommandTimeoutSeconds);
    return 1;
}

int SendCommand(CTcpSocket& socket, const std::string& command)
{
    const char* data = command.data();
    std::size_t left = command.size();
    while (left > 0) {
        const int piece = static_cast<int>(std::min<std::size_t>(left, kCommandSendPiece));
        if (!socket.Send(data, piece))
            return 0;
        data += piece;
        left -= static_cast<std::size_t>(piece);
    }
    return 1;
}

int ReadReplyLine(CTcpSocket& socket, std::string& line)
{
    line.clear();
    char piece[1024];
    for (;;) {
        int length = 0;
        const int result = socket.ReadLine(piece, sizeof piece, &length);
        line.append(piece, static_cast<std::size_t>(length));
        // -1: the piece was full and the line goes on; any other negative result is a failure.
        if (result >= 0)
            return 1;
        if (result != -1 || line.size() > kMaxReplyLine)
            return 0;
    }
}
