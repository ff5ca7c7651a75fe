// Random bytes for secrets, straight from the kernel's generator: session identifiers must not be
// guessable, so they never come from the C library's seeded generator.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills `size` bytes; waits only while the kernel's pool is not yet initialised after boot.
// Throws std::system_error when the kernel refuses.
void FillSecureRandom(unsigned char* data, std::size_t size);

// A number in 0 .. bound - 1 from the same generator, without modulo bias; bound must be above 0.
std::uint32_t SecureRandomBelow(std::uint32_t bound);
