// Random bytes for secrets, straight from the kernel's generator: session identifiers must not be
// guessable, so they never come from the C library's seeded generator.
#pragma once

#include <cstddef>

// Fills `size` bytes; waits only while the kernel's pool is not yet initialised after boot.
// Throws std::system_error when the kernel refuses.
void FillSecureRandom(unsigned char* data, std::size_t size);
