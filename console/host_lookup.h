// The fully qualified name that the console proposes for the server's address: the reverse
// lookup of the address, kept only when it holds a dot and leads back to an address.
#pragma once

#include <string>
#include <vector>

// "" when the address has no reverse entry, the name found has no '.', or the name does not
// resolve again; callers then use the address itself.
std::string ResolveHostName(const std::string& dottedAddress);

// The part of ResolveHostName after the reverse lookup: `name`, as the reverse lookup gave it,
// without leading blanks; "" when it has no '.' or does not resolve to an IPv4 address.
std::string ConfirmedHostName(std::string name);

// This computer's IPv4 addresses in dotted form, those of interfaces that are up; false when
// they can't be listed.
[[nodiscard]] bool ListLocalAddresses(std::vector<std::string>& addresses);
