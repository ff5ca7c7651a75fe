// The application lock. While database access is serialised ("DbAccessSerialize", on by default)
// every page run and attachment download of the process holds it from start to end, so runs take
// turns at the database. Nested runs take it again on the same thread, hence a recursive mutex.
// The lock belongs to the application state; until that exists, this process-wide lock stands in.
#pragma once

#include <mutex>

std::recursive_mutex& ApplicationLock();
