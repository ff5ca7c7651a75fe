// The server certificates of an installation: the folder <install>/certs/, one PEM file per
// certificate holding the certificate, its chain and its private key. The console lists this
// folder and stores the texts of the chosen certificate in the settings; twServer finds its HTTPS
// certificate again by those texts. Both therefore form them with the functions below, which
// need nothing but the folder and OpenSSL's parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One certificate of the folder, as the console shows it and the settings name it.
struct CCertificateEntry
{
    std::string path;     // the PEM file
    std::string subject;  // display name of the subject
    std::string issuer;   // display name of the issuer
    std::string serial;   // serial text: upper-case hex pairs, most significant first ("0A1B 2C3D 4E")
    // End of validity in seconds since 1970 (UTC); 0 when the certificate's time can't be read.
    std::int64_t expiration = 0;
};

// What ended a listing before its last file.
enum class CertificateListFailure
{
    None,
    Folder,
    Subject,
    Issuer
};

struct CCertificateListing
{
    // The certificates in file-name order, up to the one that stopped the listing.
    std::vector<CCertificateEntry> entries;
    CertificateListFailure failure = CertificateListFailure::None;
    std::string folder;
    int error = 0;       // errno of a folder that could not be read
    std::string file;    // the certificate file that stopped the listing
    std::string reason;  // why, in the TLS library's words
    // One line for each file that could not be read at all ("Certificate file <path> can't be
    // read: <reason>"); the listing goes on without it, since the folder may hold files of others.
    std::vector<std::string> unreadable;
};

// <install>/certs, the folder that stands for the machine's personal certificate store.
std::string GetCertificateFolder();

// Reads every certificate file of `folder`. Files that hold no PEM certificate (notes, a lone key)
// are passed over; a damaged certificate, or one whose subject or issuer has no readable display
// name, ends the listing, as does a folder that can't be opened.
CCertificateListing ListCertificates(const std::string& folder);

// The message for a failed or partial listing, "" when it is complete: the server logs it, the
// console shows it in a message box. It names the folder or file and the reason.
std::string DescribeListingFailure(const CCertificateListing& listing);

// The first entry whose subject, issuer and serial text all equal the given texts without regard
// to case; null when none does.
const CCertificateEntry* FindCertificate(const std::vector<CCertificateEntry>& entries, std::string_view subject,
                                         std::string_view issuer, std::string_view serial);

// The TLS library's account of its latest failure ("error:05800074:x509 certificate
// routines::key values mismatch"), or `otherwise` when it recorded none; its error queue is
// emptied.
std::string TakeLibraryErrorText(const std::string& otherwise = "unknown error");

// "Certificate file <path> can't be used: <reason>.", the words in which the server's log and the
// console tell why a certificate can't serve the secure server.
std::string UnusableCertificateText(const std::string& path, const std::string& reason);

// Why the certificate file `path` can't serve the secure server, for UnusableCertificateText: no
// key, a key that does not parse or is protected by a password, a key that belongs to another
// certificate. "" when it holds a certificate and the private key that belongs to it.
std::string CheckCertificateFile(const std::string& path);
