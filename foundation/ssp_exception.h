#pragma once
// The one exception type of the script engine. Every error a page or script can cause (an unknown
// function, a parse error, a failed database call) is thrown as a CSspException carrying the text
// shown to the user and the character position in the source text; the engine's run loop catches it
// and turns the position into line and column for the error report.

#include <exception>
#include <string>

// The position of an error that has no place in the source text (a data-source failure, a missing
// argument): its report names no file, line or column.
constexpr int kNoPosition = -1;

class CSspException : public std::exception
{
public:
    // A null message gives an empty text.
    CSspException(const char* message, int position);
    CSspException(std::string message, int position);

    const std::string& GetMessage() const noexcept { return m_message; }
    int GetPosition() const noexcept { return m_position; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
    int m_position;
};
