// Where a run's output goes: the response of a web request, the output file of a background task,
// or a test's buffer. A nested run writes into its caller's sink, so a called function's output
// lands in the same page. The sink is also the run's Response object: a web response answers the
// Response members; a plain sink answers none of them.
#pragma once

#include "foundation/ssp_script_object.h"
#include "foundation/ssp_value.h"

#include <optional>
#include <string>
#include <string_view>

class CSspOutputSink : public CSspScriptObject
{
public:
    // Template text, in order with the values below.
    virtual void Write(std::string_view text) = 0;
    // Bytes of a file (an attachment download), which a sink may not show as text.
    virtual void WriteBinary(std::string_view bytes) { Write(bytes); }
    // The value of a write statement or of an expression in an output block; a sink may show some
    // kinds its own way (a response writes dates in the page's date-time format).
    virtual void WriteValue(const CSspValue& value)
    {
        CSspValue::IntegerDigits digits;
        if (const std::optional<std::string_view> text = value.TextAtHand(digits))
            Write(*text);
        else
            Write(value.ToString());
    }
    // The top-level run has ended; nothing more is written.
    virtual void CloseOutput() {}
    // Cookies for the browser (the session's, at logon); a sink without a browser keeps none.
    // FindCookie: the value of the first cookie set under the name without regard to case.
    virtual void AddCookie(std::string_view /*name*/, std::string_view /*value*/, std::string_view /*path*/,
                           std::string_view /*expires*/)
    {}
    virtual std::string FindCookie(std::string_view /*name*/) const { return {}; }
    // The session's cookie: as AddCookie, out of reach of the page's script and of requests that
    // other sites start, and sent back only over HTTPS when it came over HTTPS.
    virtual void AddSessionCookie(std::string_view name, std::string_view value, std::string_view path)
    {
        AddCookie(name, value, path, {});
    }
    // Refuses, at `position`, a cookie whose name or path holds a ";", a ",", a blank or a control
    // character, or whose expiry text holds a ";" or a control character: each would end the
    // attribute and let the page's text add attributes of its own (a Domain, another path).
    // Leading blanks of the path are allowed, as they are dropped when the cookie is sent.
    static void CheckCookieTexts(std::string_view name, std::string_view path, std::string_view expires, int position);
    // A sink without Response members raises "Unknown response field: " with the member's name.
    void CallMember(CSspCall& call, CSspValue& result) override;
};
