#include "console/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "foundation/ascii_text.h"
#include "platform/network_addresses.h"

std::string ResolveHostName(const std::string& dottedAddress)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, dottedAddress.c_str(), &address.sin_addr) != 1)
        return {};
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return {};
    return ConfirmedHostName(host);
}

std::string ConfirmedHostName(std::string name)
{
    if (name.find('.') == std::string::npos)
        return {};
    while (!name.empty() && IsWhiteAscii(name.front()))
        name.erase(name.begin());
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        return {};
    freeaddrinfo(found);
    return name;
}

bool ListLocalAddresses(std::vector<std::string>& addresses)
{
    addresses.clear();
    return ListInterfaceAddresses(addresses, true);
}
