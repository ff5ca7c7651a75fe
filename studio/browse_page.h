// The studio's Browse command: the address of the debugger's web server and the little page
// "<install>/webroot/browse.html" that links to it, which the studio opens in the browser (a page
// rather than the bare address, so it can say what to do when a firewall blocks the link).
#pragma once

#include <string>

// With TLS "https://<fqdn>" (port "443") or "https://<fqdn>:<port>"; without, "http://<address>"
// (port "80") or "http://<address>:<port>".
std::string BrowseAddress(bool ssl, const std::string& port, const std::string& fqdn, const std::string& address);

// Writes the connect page for the address; false when the file cannot be written.
[[nodiscard]] bool WriteBrowsePage(const std::string& path, const std::string& address);
