// twServer as a service of the system's service manager: a unit of Type=notify that reports when
// it is ready and when it begins to stop. The manager stops the service with SIGTERM, which sets
// the server's stop event (see CatchStopSignals).
#pragma once

#include <string>

// True when the program was started by a service manager that waits for its notifications
// ($NOTIFY_SOCKET is set).
bool IsRunByServiceManager();

// "READY=1": the services run. False (errno kept) when the manager could not be told.
[[nodiscard]] bool NotifyServiceReady();
// "STATUS=...": one line the manager shows with the service's state (systemctl status), such as
// why a start failed. The text's line ends become single blanks.
[[nodiscard]] bool NotifyServiceStatus(const std::string& text);
// "STOPPING=1": the services are being stopped. False (errno kept) when the manager could not be told.
[[nodiscard]] bool NotifyServiceStopping();
