// Certificates for the secure web server, the console's side: a PKCS #10 request built with
// OpenSSL (RSA key, SHA-256) for a certification authority, its private key kept in
// <certs>/requests/ until the authority's answer comes, and the installation of that answer: the
// certificate, its chain and the waiting key as one PEM file of the certificate folder, where the
// server and the Select Certificate dialog find it.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct CCertRequestFields
{
    std::string certificateName;  // names the waiting key's file
    std::string commonName;
    std::string organization;
    std::string organizationUnit;
    std::string countryCode;  // two letters, upper case
    std::string state;
    std::string city;
    std::string outputFile;
    int keyBits = 2048;
};

// "CN=%s,OU=%s,O=%s,L=%s,S=%s,C=%s" of the fields, as the request names its subject.
std::string FormatDistinguishedName(const CCertRequestFields& fields);

// Writes the request to `fields.outputFile` between the framing lines, each line ended by CR LF,
// and the new private key to <certificateFolder>/requests/ (mode 0600). True with the message to
// show; false with the failure's message (an existing output file is then left as it was).
[[nodiscard]] bool GenerateCertificateRequest(const CCertRequestFields& fields, const std::string& certificateFolder,
                                              std::string& message);

// Installs the authority's answer (PEM or DER certificate, or a PKCS #7 chain) into
// `certificateFolder` with the waiting private key that matches it. The message says how it went.
[[nodiscard]] bool InstallCertificateFile(const std::string& path, const std::string& certificateFolder,
                                          std::string& message);

// The country table of the request dialog: (code in lower case, display name), in table order.
const std::vector<std::pair<const char*, const char*>>& CountryTable();
