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

CConsoleCommand CConsoleCommand::GetTask()
{
    return {"twConsole.GetTask\r\n\r\n", true};
}

CConsoleCommand CConsoleCommand::GetReq()
{
    return {"twConsole.GetReq\r\n\r\n", true};
}

CConsoleCommand CConsoleCommand::RunNow(int task)
{
    return {"twConsole.RunNow " + std::to_string(task) + "\r\n\r\n", false};
}

CConsoleCommand CConsoleCommand::Disconnect(int threadId)
{
    return {"twConsole.Disconnect " + std::to_string(threadId) + "\r\n", false};
}

CCommandReply RunConsoleCommand(CTcpSocket& socket, const std::string& address, int port,
                                const CConsoleCommand& command)
{
    CCommandReply reply;
    if (!ConnectForCommand(socket, address, port)) {
        reply.status = CCommandReply::Status::kConnectFailed;
        return reply;
    }
    if (!SendCommand(socket, command.text)) {
        socket.Close();
        reply.status = CCommandReply::Status::kSendFailed;
        return reply;
    }
    // Lines are read whole, however long a task's script path or a request's URL; a failed read
    // ends the reply with the lines read so far.
    std::string line;
    while (command.hasReply && ReadReplyLine(socket, line) && !line.empty())
        reply.lines.push_back(line);
    socket.Close();
    return reply;
}

CCommandClient::~CCommandClient()
{
    std::unique_lock lock(m_lock);
    m_cancelled = true;
    // A shutdown that comes before the thread's connect has made the socket finds nothing to
    // cut, so it is repeated until the thread is done.
    while (m_busy) {
        m_socket.Close();
        m_finished.wait_for(lock, std::chrono::milliseconds(50));
    }
    lock.unlock();
    if (m_thread.joinable())
        m_thread.join();
}

bool CCommandClient::Start(const std::string& address, int port, CConsoleCommand command, Done done)
{
    {
        std::lock_guard lock(m_lock);
        if (m_busy)
            return false;
        m_busy = true;
    }
    // The previous command's thread has finished its reply; at most its callback is returning.
    if (m_thread.joinable())
        m_thread.join();
    m_thread = std::thread([this, address, port, command = std::move(command), done = std::move(done)] {
        Run(address, port, command, done);
    });
    return true;
}

bool CCommandClient::Busy() const
{
    std::lock_guard lock(m_lock);
    return m_busy;
}

void CCommandClient::Run(const std::string& address, int port, const CConsoleCommand& command, const Done& done)
{
    CCommandReply reply = RunConsoleCommand(m_socket, address, port, command);
    bool cancelled;
    {
        std::lock_guard lock(m_lock);
        m_busy = false;
        cancelled = m_cancelled;
    }
    m_finished.notify_all();
    if (!cancelled)
        done(std::move(reply));
}
