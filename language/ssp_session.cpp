#include "language/ssp_session.h"

#include "foundation/ascii_text.h"
#include "foundation/format_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_date_time.h"
#include "foundation/url_encoding.h"
#include "platform/secure_random.h"

#include <ctime>
#include <new>

namespace {

constexpr int kMsgSessionExpired = 20;     // "Your session (%s) has expired; Please log on again."
constexpr int kMsgSessionNotDefined = 75;  // "Session variable not defined. ..."
constexpr const char* kTextTooLong = "text to be encrypted cannot exceed 256 characters.";

constexpr int kYearBase = 1933;
constexpr std::size_t kUserIdStart = 13;
constexpr std::size_t kSecretBytes = 16;
constexpr std::size_t kSecretSuffixLength = 1 + 2 * kSecretBytes;  // "-" and the hex digits

std::int64_t SystemNow()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

// The check letter over the bytes from position 2 on. The bytes count as signed, as the layout
// has always had it, so a user ID with bytes above 127 may give a character below "A".
char CheckLetter(std::string_view id)
{
    std::int64_t sum = 0;
    for (std::size_t i = 2; i < id.size(); ++i)
        sum += static_cast<signed char>(id[i]);
    return static_cast<char>('A' + static_cast<int>(sum % 26));
}

// The secret is written in lower case; a tail in upper case belongs to the user ID.
bool EndsWithSecret(std::string_view text)
{
    if (text.size() < kSecretSuffixLength || text[text.size() - kSecretSuffixLength] != '-')
        return false;
    for (char c : text.substr(text.size() - kSecretSuffixLength + 1)) {
        if (!IsLowerHexDigitAscii(c))
            return false;
    }
    return true;
}

int TwoDigits(std::string_view id, std::size_t at)
{
    return (id[at] - '0') * 10 + (id[at + 1] - '0');
}

void RequireArgument(const CSspCall& call)
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
}

}  // namespace

CSspSession::CSspSession(std::string ipAddress, std::string appPath, int timeoutMinutes, Clock clock)
    : m_ipAddress(std::move(ipAddress)), m_appPath(std::move(appPath)), m_timeoutMinutes(timeoutMinutes),
      m_clock(clock ? std::move(clock) : Clock(SystemNow))
{}

void CSspSession::MakeId(std::string_view userId)
{
    const std::int64_t now = m_clock();
    const std::time_t time = static_cast<std::time_t>(now);
    std::tm local{};
    localtime_r(&time, &local);

    unsigned char random[1 + kSecretBytes];
    FillSecureRandom(random, sizeof random);

    std::string id;
    id.reserve(kUserIdStart + userId.size() + kSecretSuffixLength);
    id += static_cast<char>('A' + random[0] % 26);
    id += 'A';  // the check letter, once the rest is known
    id += static_cast<char>(local.tm_year + 1900 - kYearBase);
    id += static_cast<char>('A' + local.tm_mon);
    id += FormatText("%02d%02d%02d%02d", local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    id += '-';
    id += userId;
    id += '-';
    for (std::size_t i = 1; i < sizeof random; ++i)
        id += ByteToHex(random[i]);
    id[1] = CheckLetter(id);

    m_id = std::move(id);
    SetLastAccess(now);
}

bool CSspSession::IsExpired(int minutes) const
{
    return IsExpiredId(m_id, minutes, m_clock());
}

void CSspSession::SetLastAccess(std::int64_t time)
{
    std::lock_guard guard(m_lock);
    m_lastAccess = time;
}

std::int64_t CSspSession::GetLastAccess() const
{
    std::lock_guard guard(m_lock);
    return m_lastAccess;
}

std::string CSspSession::UserIdOf(std::string_view id)
{
    if (id.size() <= kShortIdLength)
        return {};
    std::string_view rest = id.substr(kUserIdStart);
    if (EndsWithSecret(rest))
        rest.remove_suffix(kSecretSuffixLength);
    return std::string(rest);
}

std::int64_t CSspSession::StartTimeOf(std::string_view id)
{
    if (id.size() <= kShortIdLength)
        return 0;
    // A text that a browser made up may hold anything here; the calendar rolls odd fields over, and
    // a time that cannot be represented counts as long past.
    const int year = static_cast<unsigned char>(id[2]) + kYearBase;
    const int month = id[3] - 'A' + 1;
    const std::int64_t time =
        MakeLocalTime(year, month, TwoDigits(id, 4), TwoDigits(id, 6), TwoDigits(id, 8), TwoDigits(id, 10));
    return time < 0 ? 0 : time;
}

std::string CSspSession::DescribeId(std::string_view id)
{
    // A short ID has no start time: it shows none rather than the first second of 1970.
    const std::int64_t start = id.size() <= kShortIdLength ? kNoDateTime : StartTimeOf(id);
    return CSspDateTime(start).GetDateTimeStr() + " - " + UserIdOf(id);
}

bool CSspSession::IsExpiredId(std::string_view id, int minutes, std::int64_t now)
{
    if (id.size() <= kShortIdLength)
        return true;
    if ((now - StartTimeOf(id)) / 60 > minutes)
        return true;
    return id[1] != CheckLetter(id);
}

bool CSspSession::CallCipherMember(const CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    auto is = [&member](std::string_view name) { return EqualsNoCase(member, name); };
    auto requireKey = [&] {
        if (m_cipher == nullptr)
            throw CSspException("Call session.createCryptKey first.", call.m_position);
    };
    if (is("cipherKeyCreated")) {
        result.SetInteger(m_cipher != nullptr ? 1 : 0);
    } else if (is("createCipherKey")) {
        RequireArgument(call);
        if (m_cipher != nullptr)
            throw CSspException("Cipher key already created. Please call destroyCipherKey first.", call.m_position);
        m_cipher = CValueCipher::FromPassPhrase(call.GetParamStr(0));
        if (m_cipher == nullptr)
            throw CSspException("CreateHash failed.", call.m_position);
    } else if (is("destroyCipherKey")) {
        m_cipher.reset();
    } else if (is("cipher")) {
        RequireArgument(call);
        const std::string plain = call.GetParamStr(0);
        result.SetString("");
        if (plain.size() > CValueCipher::kMaxTextLength)
            throw CSspException(kTextTooLong, call.m_position);
        if (plain.empty())
            return true;
        requireKey();
        std::string base64;
        if (!m_cipher->Encrypt(plain, base64))
            throw CSspException(kTextTooLong, call.m_position);
        result.SetString(base64);
    } else if (is("decipher")) {
        RequireArgument(call);
        const std::string base64 = call.GetParamStr(0);
        result.SetString("");
        if (base64.empty())
            return true;
        requireKey();
        std::string plain;
        if (!m_cipher->Decrypt(base64, plain))
            throw CSspException("Text to be decrypted cannot exceed 256 characters.", call.m_position);
        result.SetString(plain);
    } else {
        return false;
    }
    return true;
}

void CSspSession::SessionCall(CSspCall& call, CSspValue& result)
{
    std::lock_guard guard(m_lock);
    const std::string& member = call.m_member;
    auto is = [&member](std::string_view name) { return EqualsNoCase(member, name); };
    result.SetInteger(1);
    if (is("validate")) {
        if (IsExpired(m_timeoutMinutes))
            throw CSspException(FormatText(CMessageCatalog::Format(kMsgSessionExpired), Describe().c_str()),
                                kNoPosition);
    } else if (is("IsValid")) {
        result.SetInteger(IsExpired(m_timeoutMinutes) ? 0 : 1);
    } else if (is("SessionID")) {
        result.SetString(m_id);
    } else if (is("exist") || is("VarExist")) {
        RequireArgument(call);
        result.SetInteger(m_variables.Find(call.GetParamStr(0)) != nullptr ? 1 : 0);
    } else if (CallCipherMember(call, result)) {
        return;
    } else if (is("SetVar")) {
        if (call.ParamCount() != 2)
            RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
        try {
            m_variables.Set(call.GetParamStr(0), call.m_args[1]);
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryServerVariable, call.m_position);
        }
    } else if (is("Var")) {
        m_variables.ReadVar(call, kMsgSessionNotDefined, result);
    } else {
        m_variables.ReadNamed(call, kMsgSessionNotDefined, result);
    }
}
