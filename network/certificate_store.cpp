#include "network/certificate_store.h"

#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "foundation/ascii_text.h"
#include "platform/directory_listing.h"
#include "platform/file_system.h"

namespace {

struct X509Free
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The file names of the folder's regular files in byte order, so that "the first certificate
// that matches" is the same on every run. Hidden files (editor backups, ".keep") are left out.
bool ReadFileNames(const std::string& folder, std::vector<std::string>& names, int& error)
{
    CDirectoryListing directory(folder);
    if (!directory.IsOpen()) {
        error = directory.OpenError();
        return false;
    }
    while (const char* name = directory.NextName()) {
        if (name[0] == '.')
            continue;
        struct stat status
        {};
        const std::string path = folder + "/" + name;
        if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

enum class FileContent
{
    Certificate,
    NoCertificate,
    Unreadable,
    Damaged
};

// No password callback may prompt on the terminal: an encrypted key fails instead.
int RefusePassword(char*, int, int, void*)
{
    return 0;
}

bool IsNoStartLine(unsigned long error)
{
    return ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
}

// The first certificate of a PEM file: the server's own, with its chain after it. A file without
// any certificate block (notes, a lone key) is no certificate; one whose block does not parse is
// damaged. Unless it is a certificate, `reason` says why in the library's words.
FileContent ReadFirstCertificate(const std::string& path, X509Ptr& certificate, std::string& reason)
{
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) {
        reason = TakeLibraryErrorText();
        return FileContent::Unreadable;
    }
    certificate.reset(PEM_read_bio_X509(file, nullptr, RefusePassword, nullptr));
    BIO_free(file);
    if (certificate) {
        ERR_clear_error();
        return FileContent::Certificate;
    }
    const bool noBlock = IsNoStartLine(ERR_peek_last_error());
    reason = TakeLibraryErrorText();
    return noBlock ? FileContent::NoCertificate : FileContent::Damaged;
}

// The name a person knows the certificate by: its first common name, else its organisational
// unit, else its organisation, else its e-mail address, else "". False when the chosen entry's
// text can't be converted to UTF-8.
bool DisplayName(const X509_NAME* name, std::string& text)
{
    text.clear();
    if (name == nullptr)
        return false;
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const int index = X509_NAME_get_index_by_NID(name, nid, -1);
        if (index < 0)
            continue;
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
        if (length < 0) {
            ERR_clear_error();
            return false;
        }
        text.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
        OPENSSL_free(utf8);
        return true;
    }
    return true;
}

std::int64_t ExpirationTime(const X509* certificate)
{
    std::tm parts{};
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
    if (notAfter == nullptr || ASN1_TIME_to_tm(notAfter, &parts) != 1)
        return 0;
    return static_cast<std::int64_t>(timegm(&parts));
}

// The serial text of the big-endian magnitude `bytes`: two upper-case hexadecimal digits per byte,
// most significant first, a blank after every second byte and none at either end, so 0A 1B 2C 3D
// 4E reads "0A1B 2C3D 4E".
std::string FormatSerialText(const unsigned char* bytes, std::size_t count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 5 / 2);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && i % 2 == 0)
            text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

std::string GetCertificateFolder()
{
    return GetProgramDirectory() + "/certs";
}

CCertificateListing ListCertificates(const std::string& folder)
{
    CCertificateListing listing;
    listing.folder = folder;
    std::vector<std::string> names;
    if (!ReadFileNames(folder, names, listing.error)) {
        listing.failure = CertificateListFailure::Folder;
        return listing;
    }
    for (const std::string& name : names) {
        CCertificateEntry entry;
        entry.path = folder + "/" + name;
        X509Ptr certificate;
        std::string reason;
        const FileContent content = ReadFirstCertificate(entry.path, certificate, reason);
        if (content == FileContent::NoCertificate)
            continue;
        if (content == FileContent::Unreadable) {
            listing.unreadable.push_back("Certificate file " + entry.path + " can't be read: " + reason + ".");
            continue;
        }
        listing.file = entry.path;
        if (content == FileContent::Damaged || !DisplayName(X509_get_subject_name(certificate.get()), entry.subject)) {
            listing.failure = CertificateListFailure::Subject;
            listing.reason = content == FileContent::Damaged ? reason : "the subject has no readable name";
            break;
        }
        if (!DisplayName(X509_get_issuer_name(certificate.get()), entry.issuer)) {
            listing.failure = CertificateListFailure::Issuer;
            listing.reason = "the issuer has no readable name";
            break;
        }
        listing.file.clear();
        // The integer's content bytes are its magnitude, without the sign byte DER may put first.
        const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate.get());
        entry.serial = FormatSerialText(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)));
        entry.expiration = ExpirationTime(certificate.get());
        listing.entries.push_back(std::move(entry));
    }
    return listing;
}

std::string DescribeListingFailure(const CCertificateListing& listing)
{
    std::string text;
    for (const std::string& line : listing.unreadable)
        text += (text.empty() ? "" : "\n") + line;
    std::string failure;
    switch (listing.failure) {
    case CertificateListFailure::None: break;
    case CertificateListFailure::Folder:
        failure = "Failed to open the certificate folder " + listing.folder + ": " + GetSystemErrorText(listing.error);
        break;
    case CertificateListFailure::Subject:
        failure = "Failed to get certificate subject from " + listing.file + ": " + listing.reason + ".";
        break;
    case CertificateListFailure::Issuer:
        failure = "Failed to get certificate issuer from " + listing.file + ": " + listing.reason + ".";
        break;
    }
    if (!failure.empty())
        text += (text.empty() ? "" : "\n") + failure;
    return text;
}

const CCertificateEntry* FindCertificate(const std::vector<CCertificateEntry>& entries, std::string_view subject,
                                         std::string_view issuer, std::string_view serial)
{
    for (const CCertificateEntry& entry : entries)
        if (EqualsNoCase(entry.subject, subject) && EqualsNoCase(entry.issuer, issuer) &&
            EqualsNoCase(entry.serial, serial))
            return &entry;
    return nullptr;
}

std::string TakeLibraryErrorText(const std::string& otherwise)
{
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return otherwise;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string UnusableCertificateText(const std::string& path, const std::string& reason)
{
    return "Certificate file " + path + " can't be used: " + reason + ".";
}

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// Whether a PEM file holds a block of a private key ("PRIVATE KEY", "RSA PRIVATE KEY", ...): the
// library reports a missing key as a failure to decode, which would tell the administrator nothing.
bool HasPrivateKeyBlock(const std::string& path)
{
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr)
        return false;
    bool found = false;
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    while (!found && PEM_read_bio(file, &name, &header, &data, &length) == 1) {
        found = std::string_view(name).ends_with("PRIVATE KEY");
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    BIO_free(file);
    ERR_clear_error();
    return found;
}

// The private key of a PEM file, which may stand before or after the certificates; null with
// `reason` set when there is none or it can't be read.
KeyPtr ReadPrivateKey(const std::string& path, std::string& reason)
{
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) {
        reason = TakeLibraryErrorText();
        return nullptr;
    }
    KeyPtr key(PEM_read_bio_PrivateKey(file, nullptr, RefusePassword, nullptr));
    BIO_free(file);
    if (key) {
        ERR_clear_error();
        return key;
    }
    reason = TakeLibraryErrorText();
    if (!HasPrivateKeyBlock(path))
        reason = "the file holds no private key";
    return nullptr;
}

}  // namespace

std::string CheckCertificateFile(const std::string& path)
{
    X509Ptr certificate;
    std::string reason;
    if (ReadFirstCertificate(path, certificate, reason) != FileContent::Certificate)
        return reason;
    const KeyPtr key = ReadPrivateKey(path, reason);
    if (!key)
        return reason;
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return TakeLibraryErrorText("the private key belongs to another certificate");
    return "";
}
