#include "console/certificate_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <memory>

#include "console/console_messages.h"
#include "console/text_file.h"
#include "platform/directory_listing.h"
#include "platform/file_system.h"

namespace {

template <typename T, void (*Free)(T*)>
struct COpenSslDeleter
{
    void operator()(T* object) const { Free(object); }
};
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, COpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using RequestPtr = std::unique_ptr<X509_REQ, COpenSslDeleter<X509_REQ, X509_REQ_free>>;
using X509Ptr = std::unique_ptr<X509, COpenSslDeleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, COpenSslDeleter<BIO, BIO_free_all>>;

void FreeCertificateStack(STACK_OF(X509) * stack)
{
    sk_X509_pop_free(stack, X509_free);
}

// The text of OpenSSL's last error, for the messages that name why a step failed.
std::string LastOpenSslError(unsigned long& code)
{
    code = ERR_peek_last_error();
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return code ? text : "";
}

// A file name made of the letters, digits, '-', '_' and '.' of `name` (others become '_'), so
// that no name can reach outside the folder.
std::string SafeFileName(const std::string& name, const char* fallback)
{
    std::string safe;
    for (char c : name)
        safe += ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.')
                    ? c
                    : '_';
    while (!safe.empty() && safe.front() == '.')
        safe.erase(safe.begin());
    return safe.empty() ? fallback : safe;
}

std::string ToPem(int (*write)(BIO*, const void*), const void* object)
{
    BioPtr memory(BIO_new(BIO_s_mem()));
    if (!memory || !write(memory.get(), object))
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

int WriteRequest(BIO* bio, const void* request)
{
    return PEM_write_bio_X509_REQ(bio, static_cast<X509_REQ*>(const_cast<void*>(request)));
}

int WritePrivateKey(BIO* bio, const void* key)
{
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(const_cast<void*>(key)), nullptr, nullptr, 0, nullptr,
                                    nullptr);
}

int WriteCertificate(BIO* bio, const void* certificate)
{
    return PEM_write_bio_X509(bio, static_cast<X509*>(const_cast<void*>(certificate)));
}

// The request as the authority receives it: the PEM text with each line ended by CR LF.
std::string WithCrLf(const std::string& text)
{
    std::string framed;
    for (char c : text) {
        if (c == '\n')
            framed += '\r';
        framed += c;
    }
    return framed;
}

bool AddName(X509_NAME* name, const char* field, const std::string& value)
{
    return value.empty() ||
           X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                      -1, -1, 0);
}

std::string PendingFolder(const std::string& certificateFolder)
{
    return certificateFolder + "/requests";
}

// Every certificate in the file: PEM blocks, one DER certificate, or a PKCS #7 chain (PEM or DER).
STACK_OF(X509) * ReadCertificates(const std::string& text)
{
    STACK_OF(X509)* found = sk_X509_new_null();
    auto noPassword = [](char*, int, int, void*) { return 0; };
    BioPtr pem(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    while (X509* certificate = PEM_read_bio_X509(pem.get(), nullptr, noPassword, nullptr))
        sk_X509_push(found, certificate);
    ERR_clear_error();
    if (sk_X509_num(found) > 0)
        return found;
    PKCS7* chain = nullptr;
    BioPtr pemChain(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    chain = PEM_read_bio_PKCS7(pemChain.get(), nullptr, noPassword, nullptr);
    if (!chain) {
        BioPtr der(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        chain = d2i_PKCS7_bio(der.get(), nullptr);
    }
    if (chain) {
        if (PKCS7_type_is_signed(chain) && chain->d.sign && chain->d.sign->cert)
            for (int i = 0; i < sk_X509_num(chain->d.sign->cert); ++i)
                sk_X509_push(found, X509_dup(sk_X509_value(chain->d.sign->cert, i)));
        PKCS7_free(chain);
    } else {
        BioPtr der(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        if (X509* certificate = d2i_X509_bio(der.get(), nullptr))
            sk_X509_push(found, certificate);
    }
    ERR_clear_error();
    return found;
}

}  // namespace

std::string FormatDistinguishedName(const CCertRequestFields& fields)
{
    return FormatText("CN=%s,OU=%s,O=%s,L=%s,S=%s,C=%s", fields.commonName.c_str(), fields.organizationUnit.c_str(),
                      fields.organization.c_str(), fields.city.c_str(), fields.state.c_str(),
                      fields.countryCode.c_str());
}

bool GenerateCertificateRequest(const CCertRequestFields& fields, const std::string& certificateFolder,
                                std::string& message)
{
    unsigned long code = 0;
    auto fail = [&message, &code](const std::string& reason) {
        message = FormatText("Failed to createFilePKCS10 - %lx\n", code) + reason;
        return false;
    };
    EvpKeyPtr key(EVP_RSA_gen(static_cast<unsigned>(fields.keyBits)));
    if (!key)
        return fail(LastOpenSslError(code));
    RequestPtr request(X509_REQ_new());
    X509_NAME* subject = X509_REQ_get_subject_name(request.get());
    const bool named = AddName(subject, "CN", fields.commonName) && AddName(subject, "OU", fields.organizationUnit) &&
                       AddName(subject, "O", fields.organization) && AddName(subject, "L", fields.city) &&
                       AddName(subject, "ST", fields.state) && AddName(subject, "C", fields.countryCode);
    if (!named)
        return fail(LastOpenSslError(code));
    // The certificate is asked for server authentication (1.3.6.1.5.5.7.3.1).
    STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
    X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage, "serverAuth");
    const bool extended =
        usage && sk_X509_EXTENSION_push(extensions, usage) && X509_REQ_add_extensions(request.get(), extensions);
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    if (!extended || !X509_REQ_set_version(request.get(), 0) || !X509_REQ_set_pubkey(request.get(), key.get()) ||
        !X509_REQ_sign(request.get(), key.get(), EVP_sha256()))
        return fail(LastOpenSslError(code));

    const std::string pending = PendingFolder(certificateFolder);
    if (!CreateDirectoryIfMissing(certificateFolder) || !CreateDirectoryIfMissing(pending))
        return fail(GetSystemErrorText(errno) + " " + pending);
    chmod(certificateFolder.c_str(), 0700);
    const std::string keyPath = pending + "/" + SafeFileName(fields.certificateName, "request") + ".key";
    if (!ReplaceTextFile(keyPath, ToPem(WritePrivateKey, key.get()), 0600))
        return fail(GetSystemErrorText(errno) + " " + keyPath);
    if (!ReplaceTextFile(fields.outputFile, WithCrLf(ToPem(WriteRequest, request.get())), 0644)) {
        const int error = errno;
        unlink(keyPath.c_str());
        return fail(GetSystemErrorText(error) + " " + fields.outputFile);
    }
    message = fields.outputFile +
              " created. Please send this file to a CA.\nUpon approval, you will receive a new file from your CA.\n"
              "Install it with the Install Certificate button on this page.\nAnd then, come back to this page to "
              "select it.";
    return true;
}

bool InstallCertificateFile(const std::string& path, const std::string& certificateFolder, std::string& message)
{
    auto fail = [&message](std::string reason) {
        message = std::move(reason);
        return false;
    };
    const std::string noMatch = "No pending certificate request matches the certificate in " + path +
                                ".\nProbably the certificate request was not generated on this\ncomputer, or the "
                                "certificate has already been installed.";
    std::string text;
    if (!ReadTextFile(path, text))
        return fail("Failed to read " + path + ":\n" + GetSystemErrorText(errno));
    std::unique_ptr<STACK_OF(X509), COpenSslDeleter<STACK_OF(X509), FreeCertificateStack>> chain(
        ReadCertificates(text));
    if (sk_X509_num(chain.get()) == 0)
        return fail(path + " holds no certificate.");

    // The waiting key that belongs to one of the certificates makes that one the server's.
    const std::string pending = PendingFolder(certificateFolder);
    CDirectoryListing folder(pending);
    if (!folder.IsOpen())
        return fail(noMatch);
    std::string keyPath;
    EvpKeyPtr key;
    int leaf = -1;
    while (const char* name = folder.NextName()) {
        const std::string candidate = pending + "/" + name;
        std::string pem;
        if (name[0] == '.' || !ReadTextFile(candidate, pem))
            continue;
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        EvpKeyPtr loaded(PEM_read_bio_PrivateKey(
            bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
        ERR_clear_error();
        for (int i = 0; loaded && i < sk_X509_num(chain.get()); ++i)
            if (X509_check_private_key(sk_X509_value(chain.get(), i), loaded.get()) == 1) {
                leaf = i;
                keyPath = candidate;
                key = std::move(loaded);
                break;
            }
        ERR_clear_error();
        if (key)
            break;
    }
    if (!key)
        return fail(noMatch);

    X509* certificate = sk_X509_value(chain.get(), leaf);
    std::string file = ToPem(WriteCertificate, certificate);
    for (int i = 0; i < sk_X509_num(chain.get()); ++i)
        if (i != leaf)
            file += ToPem(WriteCertificate, sk_X509_value(chain.get(), i));
    file += ToPem(WritePrivateKey, key.get());
    char name[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
    const std::string base = certificateFolder + "/" + SafeFileName(name, "certificate");
    std::string target = base + ".pem";
    for (int n = 2; access(target.c_str(), F_OK) == 0; ++n)
        target = base + "-" + std::to_string(n) + ".pem";
    if (!ReplaceTextFile(target, file, 0600))
        return fail("Failed to write " + target + ":\n" + GetSystemErrorText(errno));
    unlink(keyPath.c_str());
    // The file may have been PEM, DER or a PKCS #7 chain: the message names what was installed.
    message = "The certificate " + std::string(*name ? name : "without a common name") + " has been installed as " +
              target + ".";
    return true;
}

const std::vector<std::pair<const char*, const char*>>& CountryTable()
{
    static const std::vector<std::pair<const char*, const char*>> table = {
        {"ad", "Andorra, Principality of"},
        {"ae", "United Arab Emirates"},
        {"af", "Afghanistan"},
        {"ag", "Antigua and Barbuda"},
        {"ai", "Anguilla"},
        {"al", "Albania"},
        {"am", "Armenia"},
        {"an", "Netherlands Antilles"},
        {"ao", "Angola"},
        {"aq", "Antarctica"},
        {"ar", "Argentina"},
        {"as", "American Samoa"},
        {"at", "Austria"},
        {"au", "Australia"},
        {"aw", "Aruba"},
        {"az", "Azerbaijan"},
        {"ba", "Bosnia and Herzegovina"},
        {"bb", "Barbados"},
        {"bd", "Bangladesh"},
        {"be", "Belgium"},
        {"bf", "Burkina Faso"},
        {"bg", "Bulgaria"},
        {"bh", "Bahrain"},
        {"bi", "Burundi"},
        {"bj", "Benin"},
        {"bm", "Bermuda"},
        {"bn", "Brunei Darussalam"},
        {"bo", "Bolivia"},
        {"br", "Brazil"},
        {"bs", "Bahamas"},
        {"bt", "Bhutan"},
        {"bv", "Bouvet Island"},
        {"bw", "Botswana"},
        {"by", "Belarus"},
        {"bz", "Belize"},
        {"ca", "Canada"},
        {"cc", "Cocos (Keeling) Islands"},
        {"cd", "Congo, The Democratic Republic of the"},
        {"cf", "Central African Republic"},
        {"cg", "Congo"},
        {"ch", "Switzerland"},
        {"ci", "Ivory Coast (Cote D'Ivoire)"},
        {"ck", "Cook Islands"},
        {"cl", "Chile"},
        {"cm", "Cameroon"},
        {"cn", "China"},
        {"co", "Colombia"},
        {"cr", "Costa Rica"},
        {"cs", "Former Czechoslovakia"},
        {"cu", "Cuba"},
        {"cv", "Cape Verde"},
        {"cx", "Christmas Island"},
        {"cy", "Cyprus"},
        {"cz", "Czech Republic"},
        {"de", "Germany"},
        {"dj", "Djibouti"},
        {"dk", "Denmark"},
        {"dm", "Dominica"},
        {"do", "Dominican Republic"},
        {"dz", "Algeria"},
        {"ec", "Ecuador"},
        {"ee", "Estonia"},
        {"eg", "Egypt"},
        {"eh", "Western Sahara"},
        {"er", "Eritrea"},
        {"es", "Spain"},
        {"et", "Ethiopia"},
        {"fi", "Finland"},
        {"fj", "Fiji"},
        {"fk", "Falkland Islands"},
        {"fm", "Micronesia"},
        {"fo", "Faroe Islands"},
        {"fr", "France"},
        {"fx", "France (European Territory)"},
        {"ga", "Gabon"},
        {"gb", "Great Britain"},
        {"gd", "Grenada"},
        {"ge", "Georgia"},
        {"gf", "French Guyana"},
        {"gh", "Ghana"},
        {"gi", "Gibraltar"},
        {"gl", "Greenland"},
        {"gm", "Gambia"},
        {"gn", "Guinea"},
        {"gp", "Guadeloupe (French)"},
        {"gq", "Equatorial Guinea"},
        {"gr", "Greece"},
        {"gs", "S. Georgia & S. Sandwich Isls."},
        {"gt", "Guatemala"},
        {"gu", "Guam (USA)"},
        {"gw", "Guinea Bissau"},
        {"gy", "Guyana"},
        {"hk", "Hong Kong"},
        {"hm", "Heard and McDonald Islands"},
        {"hn", "Honduras"},
        {"hr", "Croatia"},
        {"ht", "Haiti"},
        {"hu", "Hungary"},
        {"id", "Indonesia"},
        {"ie", "Ireland"},
        {"il", "Israel"},
        {"in", "India"},
        {"io", "British Indian Ocean Territory"},
        {"iq", "Iraq"},
        {"ir", "Iran"},
        {"is", "Iceland"},
        {"it", "Italy"},
        {"jm", "Jamaica"},
        {"jo", "Jordan"},
        {"jp", "Japan"},
        {"ke", "Kenya"},
        {"kg", "Kyrgyz Republic (Kyrgyzstan)"},
        {"kh", "Cambodia, Kingdom of"},
        {"ki", "Kiribati"},
        {"km", "Comoros"},
        {"kn", "Saint Kitts & Nevis Anguilla"},
        {"kp", "North Korea"},
        {"kr", "South Korea"},
        {"kw", "Kuwait"},
        {"ky", "Cayman Islands"},
        {"kz", "Kazakhstan"},
        {"la", "Laos"},
        {"lb", "Lebanon"},
        {"lc", "Saint Lucia"},
        {"li", "Liechtenstein"},
        {"lk", "Sri Lanka"},
        {"lr", "Liberia"},
        {"ls", "Lesotho"},
        {"lt", "Lithuania"},
        {"lu", "Luxembourg"},
        {"lv", "Latvia"},
        {"ly", "Libya"},
        {"ma", "Morocco"},
        {"mc", "Monaco"},
        {"md", "Moldavia"},
        {"mg", "Madagascar"},
        {"mh", "Marshall Islands"},
        {"mk", "Macedonia"},
        {"ml", "Mali"},
        {"mm", "Myanmar"},
        {"mn", "Mongolia"},
        {"mo", "Macau"},
        {"mp", "Northern Mariana Islands"},
        {"mq", "Martinique (French)"},
        {"mr", "Mauritania"},
        {"ms", "Montserrat"},
        {"mt", "Malta"},
        {"mu", "Mauritius"},
        {"mv", "Maldives"},
        {"mw", "Malawi"},
        {"mx", "Mexico"},
        {"my", "Malaysia"},
        {"mz", "Mozambique"},
        {"na", "Namibia"},
        {"nc", "New Caledonia (French)"},
        {"ne", "Niger"},
        {"nf", "Norfolk Island"},
        {"ng", "Nigeria"},
        {"ni", "Nicaragua"},
        {"nl", "Netherlands"},
        {"no", "Norway"},
        {"np", "Nepal"},
        {"nr", "Nauru"},
        {"nt", "Neutral Zone"},
        {"nu", "Niue"},
        {"nz", "New Zealand"},
        {"om", "Oman"},
        {"pa", "Panama"},
        {"pe", "Peru"},
        {"pf", "Polynesia (French)"},
        {"pg", "Papua New Guinea"},
        {"ph", "Philippines"},
        {"pk", "Pakistan"},
        {"pl", "Poland"},
        {"pm", "Saint Pierre and Miquelon"},
        {"pn", "Pitcairn Island"},
        {"pr", "Puerto Rico"},
        {"pt", "Portugal"},
        {"pw", "Palau"},
        {"py", "Paraguay"},
        {"qa", "Qatar"},
        {"re", "Reunion (French)"},
        {"ro", "Romania"},
        {"ru", "Russian Federation"},
        {"rw", "Rwanda"},
        {"sa", "Saudi Arabia"},
        {"sb", "Solomon Islands"},
        {"sc", "Seychelles"},
        {"sd", "Sudan"},
        {"se", "Sweden"},
        {"sg", "Singapore"},
        {"sh", "Saint Helena"},
        {"si", "Slovenia"},
        {"sj", "Svalbard and Jan Mayen Islands"},
        {"sk", "Slovak Republic"},
        {"sl", "Sierra Leone"},
        {"sm", "San Marino"},
        {"sn", "Senegal"},
        {"so", "Somalia"},
        {"sr", "Suriname"},
        {"st", "Saint Tome (Sao Tome) and Principe"},
        {"su", "Former USSR"},
        {"sv", "El Salvador"},
        {"sy", "Syria"},
        {"sz", "Swaziland"},
        {"tc", "Turks and Caicos Islands"},
        {"td", "Chad"},
        {"tf", "French Southern Territories"},
        {"tg", "Togo"},
        {"th", "Thailand"},
        {"tj", "Tadjikistan"},
        {"tk", "Tokelau"},
        {"tm", "Turkmenistan"},
        {"tn", "Tunisia"},
        {"to", "Tonga"},
        {"tp", "East Timor"},
        {"tr", "Turkey"},
        {"tt", "Trinidad and Tobago"},
        {"tv", "Tuvalu"},
        {"tw", "Taiwan"},
        {"tz", "Tanzania"},
        {"ua", "Ukraine"},
        {"ug", "Uganda"},
        {"uk", "United Kingdom"},
        {"um", "USA Minor Outlying Islands"},
        {"us", "United States"},
        {"uy", "Uruguay"},
        {"uz", "Uzbekistan"},
        {"va", "Holy See (Vatican City State)"},
        {"vc", "Saint Vincent & Grenadines"},
        {"ve", "Venezuela"},
        {"vg", "Virgin Islands (British)"},
        {"vi", "Virgin Islands (USA)"},
        {"vn", "Vietnam"},
        {"vu", "Vanuatu"},
        {"wf", "Wallis and Futuna Islands"},
        {"ws", "Samoa"},
        {"ye", "Yemen"},
        {"yt", "Mayotte"},
        {"yu", "Yugoslavia"},
        {"za", "South Africa"},
        {"zm", "Zambia"},
        {"zr", "Zaire"},
        {"zw", "Zimbabwe"},
    };
    return table;
}
