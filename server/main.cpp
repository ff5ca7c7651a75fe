// twServer: the web application server. "-normalapp" runs it as a normal program until its stop
// event is set; without it, it runs as a service of the service manager.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/heap_memory.h"
#include "platform/named_objects.h"
#include "server/server_app.h"

int main(int argc, char** argv)
{
    // Before anything else, so that a stop signal that arrives while the server starts is kept
    // for the stop event instead of killing the process half-started.
    if (!CatchStopSignals())
        std::perror("twServer: stop signals can't be caught, so SIGTERM and SIGINT end it at once");
    LimitHeapRetention();
    const std::vector<std::string> arguments(argv, argv + argc);
    CServerApp app;
    const int status = app.Run(arguments);
    // Threads that did not end may still use the pool, the settings or the application state:
    // nothing may be destroyed under them. The log is written through at every entry.
    if (app.HasAbandonedThreads())
        std::_Exit(status);
    return status;
}
