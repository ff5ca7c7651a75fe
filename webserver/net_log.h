// The one place where the socket, listener and pool code hands its lines to the program's log.
#pragma once

void NetLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
