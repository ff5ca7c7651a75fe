// This computer's IPv4 addresses as the network interfaces hold them, for the server's choice of a
// listening address and the console's list of addresses to offer.
#pragma once

#include <string>
#include <vector>

// Appends the dotted addresses of the interfaces that are up, in the system's order; loopback
// ones only when asked for. False (nothing appended) when the interfaces can't be listed.
[[nodiscard]] bool ListInterfaceAddresses(std::vector<std::string>& addresses, bool includeLoopback);
