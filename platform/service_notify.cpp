#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

bool Notify(const char* state)
{
    const int result = sd_notify(0, state);
    if (result > 0)
        return true;
    // 0: nobody listens; the state went nowhere.
    errno = result < 0 ? -result : ENOTCONN;
    return false;
}

}  // namespace

bool IsRunByServiceManager()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

bool NotifyServiceReady()
{
    return Notify("READY=1");
}

bool NotifyServiceStatus(const std::string& text)
{
    std::string state = "STATUS=";
    for (char c : text) {
        if (c != '\r' && c != '\n')
            state += c;
        else if (state.back() != ' ')
            state += ' ';
    }
    while (state.back() == ' ')
        state.pop_back();
    return Notify(state.c_str());
}

bool NotifyServiceStopping()
{
    return Notify("STOPPING=1");
}
