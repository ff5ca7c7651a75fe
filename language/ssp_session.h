// CSspSession: one user's session. A page makes it when it logs a user on (Session.logon), the
// browser returns its ID in the cookie "sspSessionID", and each request finds it again by that ID
// in the application state's session list (CSspApp). It holds the user's session variables and an
// optional cipher of its own, and it expires a fixed number of minutes after its creation: using
// it does not extend it. Several server threads may serve one browser at once, so they share the
// session; its lock serialises member calls and the access time.
//
// The ID keeps the system's readable layout, from which the start time and the user are decoded
// even for an ID that is no longer in the list:
//   0       a random letter "A" to "Z"
//   1       check letter: "A" + (sum of the bytes from position 2 on, as signed bytes) % 26
//   2       local year minus 1933, as one byte
//   3       local month, "A" to "L"
//   4-11    local day, hour, minute and second, two digits each
//   12      "-"
//   13 on   the user ID, then "-" and 32 hexadecimal digits of a secret
// The letter and the 128-bit secret come from the kernel's generator, so that knowing the user and
// the time of a logon is not enough to take over the session.
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"
#include "foundation/value_cipher.h"
#include "language/ssp_variables.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CSspSession
{
public:
    // Seconds since 1970; tests pass a fake one.
    using Clock = std::function<std::int64_t()>;

    // An ID of this length or less carries neither a start time nor a user.
    static constexpr std::size_t kShortIdLength = 12;

    // ipAddress and appPath are shown by the session manager; timeoutMinutes is the time-out
    // setting at creation, which this session's own validity checks use.
    CSspSession(std::string ipAddress, std::string appPath, int timeoutMinutes, Clock clock = {});
    CSspSession(const CSspSession&) = delete;
    CSspSession& operator=(const CSspSession&) = delete;

    // Builds the ID for userId at the clock's present time, which also becomes the last access
    // time. Called once, before the session is shared.
    void MakeId(std::string_view userId);

    const std::string& GetId() const { return m_id; }
    const std::string& GetIpAddress() const { return m_ipAddress; }
    const std::string& GetAppPath() const { return m_appPath; }
    int GetTimeout() const { return m_timeoutMinutes; }
    std::string GetUserId() const { return UserIdOf(m_id); }
    std::int64_t GetStartTime() const { return StartTimeOf(m_id); }
    // True when more than `minutes` whole minutes have passed since the start time, or the ID is
    // too short or fails its check letter.
    bool IsExpired(int minutes) const;
    // "<start time in the locale's form> - <user ID>".
    std::string Describe() const { return DescribeId(m_id); }

    void SetLastAccess(std::int64_t time);
    std::int64_t GetLastAccess() const;
    std::int64_t Now() const { return m_clock(); }

    // The members of the Session object that the session itself answers, under its lock; errors
    // are CSspExceptions at the call's position ("validate" has none).
    void SessionCall(CSspCall& call, CSspValue& result);

    // The decoding of an ID text, for this session's ID and for one that a browser sent but the
    // list no longer holds. UserIdOf: the characters after the first 13 without the secret; empty
    // for a short ID. StartTimeOf: the local time of positions 2 to 11; 0 for a short ID.
    static std::string UserIdOf(std::string_view id);
    static std::int64_t StartTimeOf(std::string_view id);
    static std::string DescribeId(std::string_view id);
    static bool IsExpiredId(std::string_view id, int minutes, std::int64_t now);

private:
    // The session's own value cipher: createCipherKey, destroyCipherKey, cipher, decipher and
    // cipherKeyCreated; false when member is none of them.
    bool CallCipherMember(const CSspCall& call, CSspValue& result);

    std::string m_id;
    const std::string m_ipAddress;
    const std::string m_appPath;
    const int m_timeoutMinutes;
    const Clock m_clock;

    mutable std::mutex m_lock;  // guards everything below
    CSspVariables m_variables;
    std::int64_t m_lastAccess = 0;
    std::shared_ptr<const CValueCipher> m_cipher;  // none until createCipherKey
};
