// The fully qualified name that the console proposes for the server's address: the reverse
// lookup of the address, kept only when it holds a dot and leads back to an address.
#pragma once

#include <string>

// "" when the address has no reverse entry, the name found has no '.', or the name does not
// resolve again; callers then use the address itself.
std::string ResolveHostName(const std::string& dottedAddress);
