#include "platform/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

void FillSecureRandom(unsigned char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        // Reads of up to 256 bytes are never cut short once the pool is ready, but a signal may
        // still end a call early: go on from where it stopped.
        ssize_t got = getrandom(data + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        done += static_cast<std::size_t>(got);
    }
}

std::uint32_t SecureRandomBelow(std::uint32_t bound)
{
    // Values in the incomplete last stretch of the 32-bit range would favour small results.
    const std::uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
    for (;;) {
        std::uint32_t value = 0;
        FillSecureRandom(reinterpret_cast<unsigned char*>(&value), sizeof value);
        if (value < limit)
            return value % bound;
    }
}
