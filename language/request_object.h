// The request of a run as the interpreter sees it: the Request object's members, and what the
// engine reads itself to find the user's session (the cookie or form field "sspSessionID") and to
// record where a logon came from. The web server's request implements it; the defaults describe a
// request without a browser behind it, such as the one a background task gives its scripts.
#pragma once

#include "foundation/ssp_script_object.h"

#include <string>
#include <string_view>
#include <vector>

class CSspRequestObject : public CSspScriptObject
{
public:
    // Results of GetUploadedFile.
    static constexpr int kUploadOk = 0;
    static constexpr int kUploadNoFileData = -1;  // the field holds no file
    static constexpr int kUploadNoMemory = -2;
    static constexpr int kUploadNoField = -3;

    // True when a browser sent the request; sessions exist only for such requests.
    virtual bool HasClient() const { return false; }
    // The client's IPv4 address in dotted form.
    virtual std::string GetClientAddress() const { return {}; }
    // True once the client has closed its connection: nobody waits for the answer any more.
    virtual bool HasClientLeft() const { return false; }
    // The cookie's decoded value, "" when the request has none of that name.
    virtual std::string GetCookie(std::string_view) const { return {}; }
    // The form field's value; false when the request has no such field.
    virtual bool GetField(std::string_view, std::string&) const { return false; }
    // Copies the file uploaded in the form field into block; fileName receives the name the
    // browser gave, without its folders. Returns one of the kUpload results.
    [[nodiscard]] virtual int GetUploadedFile(std::string_view, std::string&, std::vector<unsigned char>&) const
    {
        return kUploadNoField;
    }
};
