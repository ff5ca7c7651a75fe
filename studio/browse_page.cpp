#include "studio/browse_page.h"

#include <cstdio>
#include <memory>

#include "foundation/codecs.h"
#include "foundation/message_catalog.h"

namespace {

constexpr int kMsgConnectPage = 164;

}  // namespace

std::string BrowseAddress(bool ssl, const std::string& port, const std::string& fqdn, const std::string& address)
{
    if (ssl)
        return port == "443" ? "https://" + fqdn : "https://" + fqdn + ":" + port;
    return port == "80" ? "http://" + address : "http://" + address + ":" + port;
}

bool WriteBrowsePage(const std::string& path, const std::string& address)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "w"), std::fclose);
    if (!file)
        return false;
    // The address comes from the settings; in the page it is text and an attribute value.
    std::string escaped = address;
    HtmlEscape(escaped, false);
    std::fprintf(file.get(), CMessageCatalog::Format(kMsgConnectPage), escaped.c_str(), escaped.c_str());
    return std::fflush(file.get()) == 0 && !std::ferror(file.get());
}
