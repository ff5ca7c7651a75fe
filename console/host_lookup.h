// The fully qualified name that the console proposes for the server's address: the reverse
// lookup of the address, kept only when it holds a dot and leads back to an address.
#pragma once

#include <string>
#include <vector>

// "" when the address has no reverse entry, the name found has no '.', or the name does not
// resolve again; callers then use the address itself.
std::string ResolveHostName(const std::string& dottedAddress);

// This computer's IPv4 addresses in dotted form, those of interfaces that are up; false when
// they can't be listed.
bool ListLocalAddresses(std::vector<std::string>& addresses);
