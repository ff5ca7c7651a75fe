#include "language/app_lock.h"

std::recursive_mutex& ApplicationLock()
{
    static std::recursive_mutex lock;
    return lock;
}
