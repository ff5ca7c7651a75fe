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
