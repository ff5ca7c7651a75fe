#include "console/command_client.h"

#include <algorithm>

int ConnectForCommand(CTcpSocket& socket, const std::string& address, int port, int timeoutSeconds)
{
    socket.SetLogSocketErrors(false);
    if (!socket.Connect(address, port))
        return 0;
    // An unbounded wait would hang the console on a server that does not answer (logged).
    return socket.SetTimeout(timeoutSeconds) ? 1 : 0;
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

CReplyReader::Result CReplyReader::Next(std::string& line)
{
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            line.assign(m_pending, 0, end > 0 && m_pending[end - 1] == '\r' ? end - 1 : end);
            m_pending.erase(0, end + 1);
            return Result::kLine;
        }
        if (m_pending.size() > kMaxReplyLine)
            return Result::kBroken;
        // The wait is this reader's own, so that running out of time is not a receive's logged
        // time-out but an answer of its own.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_timeoutSeconds);
        if (!m_socket.WaitForInput(deadline))
            return std::chrono::steady_clock::now() >= deadline ? Result::kNoAnswer : Result::kBroken;
        char piece[4096];
        const int received = m_socket.Recv(piece, sizeof piece);
        if (received <= 0)
            return Result::kBroken;
        m_pending.append(piece, static_cast<std::size_t>(received));
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
    return {"twConsole.RunNow " + std::to_string(task) + "\r\n\r\n", true};
}

CConsoleCommand CConsoleCommand::Disconnect(int threadId)
{
    return {"twConsole.Disconnect " + std::to_string(threadId) + "\r\n", false};
}

CCommandReply RunConsoleCommand(CTcpSocket& socket, const std::string& address, int port,
                                const CConsoleCommand& command)
{
    CCommandReply reply;
    if (!ConnectForCommand(socket, address, port, command.timeoutSeconds)) {
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
    CReplyReader reader(socket, command.timeoutSeconds);
    std::string line;
    CReplyReader::Result read = CReplyReader::Result::kLine;
    while (command.hasReply && (read = reader.Next(line)) == CReplyReader::Result::kLine && !line.empty())
        reply.lines.push_back(line);
    if (read == CReplyReader::Result::kNoAnswer)
        reply.status = CCommandReply::Status::kNoAnswer;
    socket.Close();
    return reply;
}

CCommandClient::~CCommandClient()
{
    Cancel();
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
        m_cancelled = false;
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

void CCommandClient::Cancel()
{
    std::unique_lock lock(m_lock);
    m_cancelled = true;
    // The shutdown wakes the thread from its wait for the server at once. One that comes before
    // the thread's connect has made the socket finds nothing to cut, so it is repeated until the
    // thread is done (a connect to the server's own host is answered at once).
    while (m_busy) {
        m_socket.Close();
        m_finished.wait_for(lock, std::chrono::milliseconds(50));
    }
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
