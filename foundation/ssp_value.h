#pragma once
// The one typed value of the system: every script variable, expression result, database column
// bound at run time and value shown in the debugger is a CSspValue. Its kind is an ODBC SQL type
// code, so a column read from the database keeps its type as a script value, and arithmetic,
// comparison, text and SQL-literal rules follow from that code. There is no separate "unset" kind:
// every kind has a null form (a marker value or an empty member) that the operators treat specially.
//
// The data members are public on purpose: the run-time column binding of the database layer reads
// and writes them directly. The value is compact, because the interpreter makes and copies values on
// every step: the numeric, date and span members share one slot, of which the kind says which one
// holds the value, and the bytes of a binary or long-text value are kept in the text member.
//
// Integers are 64-bit and never wrap: a result that fits 32 bits is what 32-bit arithmetic gives, a
// larger one is exact, and one beyond the 64-bit range becomes the nearest double.

#include "foundation/ssp_date_time.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CSspValue
{
public:
    // ODBC SQL type codes used as kinds. Code 10 (ODBC's SQL_TIME) marks a time span.
    enum Type : int
    {
        kWLongVarChar = -10,
        kWVarChar = -9,
        kWChar = -8,
        kLongVarBinary = -4,
        kVarBinary = -3,
        kBinary = -2,
        kLongVarChar = -1,
        kUnknown = 0,
        kChar = 1,
        kNumeric = 2,
        kDecimal = 3,
        kInteger = 4,
        kSmallInt = 5,
        kFloat = 6,
        kReal = 7,
        kDouble = 8,
        kDate = 9,
        kTimeSpan = 10,
        kTimestamp = 11,
        kVarChar = 12,
    };

    // Null markers of the numeric members (bit patterns shared with stored data and peers).
    static constexpr int kIntegerNull = 0x4A4D4120;                                      // 1246576928
    static constexpr float kRealNull = std::bit_cast<float>(0xE09E4242u);                // about -9.123e19
    static constexpr double kDoubleNull = std::bit_cast<double>(0xC413C84846922B8Cull);  // -9.123e19

    // Result codes of ApplyOperator.
    static constexpr int kNeedsTimeSpan = -1;        // "Right operand should be a TimeSpan."
    static constexpr int kNeedsDateTime = -2;        // "Right operand should be a datetime field."
    static constexpr int kNeedsTimeSpanOrDate = -3;  // "... a TimeSpan or datetime field."
    static constexpr int kOperationNotAllowed = -4;  // "Operation not allowed on these operands."

    CSspValue() = default;
    CSspValue(const CSspValue& other) = default;
    CSspValue(CSspValue&& other) noexcept = default;
    // When the bytes of a long value cannot get their memory, "Out of memory" is raised and this
    // value is left as it was.
    CSspValue& operator=(const CSspValue& other);
    CSspValue& operator=(CSspValue&& other) noexcept = default;

    // The member of the kind to its null form, the text empty (its block keeps its capacity), scale
    // 0, size 250; the type unchanged.
    void SetNull();

    // Typed assignments: the type, then SetNull, then the one member the kind uses.
    void SetInteger(std::int64_t value, int type = kInteger);
    void SetReal(float value);
    void SetDouble(double value, int type = kDouble);
    void SetString(std::string text, int type = kVarChar);
    void SetDecimal(std::string digits, int scale, int type = kNumeric);
    void SetTime(std::int64_t time, int type = kDate);
    void SetTimeSpan(std::int64_t seconds);
    void SetBinary(const void* bytes, size_t length, int type = kLongVarBinary);

    // Copies the source bytes into the target, reusing its block when large enough. When the memory
    // cannot be had, the target is left unchanged and the catalogue's "Out of memory" is raised.
    static void CopyLongBinary(std::string& target, const std::string& source);
    // Moves a block of bytes into the value; the source is left empty.
    void TakeBinary(std::string& source);
    // Doubles every single quote in place.
    static void EscapeSqlQuotes(std::string& text);

    // Kind tests by type code.
    bool IsInteger() const { return m_type == kInteger || m_type == kSmallInt; }
    bool IsDecimal() const { return m_type == kNumeric || m_type == kDecimal; }
    bool IsReal() const { return m_type == kReal; }
    bool IsDouble() const { return m_type == kFloat || m_type == kDouble; }
    bool IsString() const { return m_type == kChar || m_type == kVarChar || m_type == kWChar || m_type == kWVarChar; }
    bool IsLongText() const { return m_type == kLongVarChar || m_type == kWLongVarChar; }
    bool IsBinary() const { return m_type == kBinary || m_type == kVarBinary || m_type == kLongVarBinary; }
    bool IsDate() const { return m_type == kDate || m_type == kTimestamp; }
    bool IsTimeSpan() const { return m_type == kTimeSpan; }
    bool IsNumeric() const { return IsInteger() || IsDecimal() || IsReal() || IsDouble(); }
    // A numeric kind, or a string whose text is an optional '-' followed only by digits, '.' and ','.
    bool IsNumericText() const;
    // A date kind, or a string that parses as a valid date and time.
    bool IsDateLike() const;
    bool IsNull() const { return IsInteger() ? m_integer == kIntegerNull : IsNullOfOtherKind(); }

    // Conversions.
    std::string ToString() const;
    // The text that ToString gives, where it is the value's own text member (the text kinds and a
    // value without a kind), so that it can be written without a copy; null for other kinds.
    const std::string* PlainText() const;
    // Room for the digits of any 64-bit integer with its sign.
    using IntegerDigits = std::array<char, 24>;
    // The ToString text where it is at hand without making a string: the text member of the kinds
    // that PlainText names, or an integer's digits written into `digits` (empty for a null
    // integer). Nothing for the other kinds. Integers are the commonest values written into pages.
    std::optional<std::string_view> TextAtHand(IntegerDigits& digits) const
    {
        if (IsInteger()) {
            if (m_integer == kIntegerNull)
                return std::string_view();
            const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), m_integer).ptr;
            return std::string_view(digits.data(), static_cast<size_t>(end - digits.data()));
        }
        if (const std::string* text = PlainText())
            return std::string_view(*text);
        return std::nullopt;
    }
    // The number of the value: the numeric member, a span's seconds, else the text's leading number
    // (an empty text gives the double null marker).
    double ToDouble() const;
    // The integer of the value: real, double and span toward zero (clamped to 64 bits), texts by
    // ParseInt64, an empty text the integer null marker.
    std::int64_t ToInt64() const;
    std::int64_t ToTime() const;
    // Characters after the first '.', 0 without one.
    static int CountDecimals(std::string_view text);
    // Stores a text into the member of the current kind; a long text or binary value that can't get
    // the memory raises "Out of memory" and keeps its old bytes.
    void SetFromText(std::string_view text);
    // A number from text: a decimal (kind 2) with `scale` places, or an integer (kind 4) when the
    // scale is 0 or less (a double, kind 8, when the integer lies beyond 64 bits). The scale is
    // ParseInt32 of `scaleText` when given, else CountDecimals.
    void SetNumberText(std::string_view text, std::optional<std::string_view> scaleText = std::nullopt);
    // The value as a literal to paste into an SQL statement; a date is "{d 'y-m-d'}", a time stamp
    // (kind 11) "{ts 'y-m-d h:m:s'}".
    std::string ToSqlLiteral() const;

    // Sets this value to `left op right` for "+", "-", "*", "/", "%" and "||". Returns 0 or one of
    // the negative codes above; any other operator leaves this value unchanged and returns 0. The
    // operands are not modified, and this value may be one of them (as the left operand, a text is
    // appended in place: AppendInPlace).
    [[nodiscard]] int ApplyOperator(const CSspValue& left, std::string_view op, const CSspValue& right);
    // The same with the operator read once, for a caller that applies it again and again.
    enum class Operator : unsigned char
    {
        Add,
        Subtract,
        Multiply,
        Divide,
        Modulo,
        Concat,  // "||"
        None,    // no arithmetic operator: applying it changes nothing
    };
    static Operator OperatorOf(std::string_view op);
    [[nodiscard]] int ApplyOperator(const CSspValue& left, Operator op, const CSspValue& right);
    // ApplyOperator where it comes to 64-bit integer arithmetic that stays in range (a loop's
    // counter, mostly), done inline: true when it was, false with this value unchanged otherwise.
    [[nodiscard]] bool ApplyToIntegers(const CSspValue& left, Operator op, const CSspValue& right)
    {
        if (op > Operator::Multiply || !BothIntegers(left, right))
            return false;
        std::int64_t value = 0;
        const bool beyond = op == Operator::Add ? __builtin_add_overflow(left.m_integer, right.m_integer, &value)
                            : op == Operator::Subtract
                                ? __builtin_sub_overflow(left.m_integer, right.m_integer, &value)
                                : __builtin_mul_overflow(left.m_integer, right.m_integer, &value);
        if (beyond)
            return false;
        SetInteger(value, right.m_type);
        return true;
    }
    // `this op right` done in place when it is this value's text with the right operand's appended
    // ("+" of a text that does not add numbers or a span, "||" of a VARCHAR): true when it was,
    // false with this value unchanged when the operator gives anything else. An assignment whose
    // target is its left operand uses it, so that a text built piece by piece costs each piece only.
    bool AppendInPlace(Operator op, const CSspValue& right);
    // "=", "==", "<>", "!=", ">=", "<=", ">", "<" against `right`; any other operator is false.
    bool Compare(std::string_view op, const CSspValue& right) const;
    // The same with the operator read once, for a caller that compares with it again and again.
    enum class Comparison
    {
        Equal,
        NotEqual,
        Less,
        LessEqual,
        Greater,
        GreaterEqual,
        None,  // no comparison operator: every comparison is false
    };
    static Comparison ComparisonOf(std::string_view op);
    bool Compare(Comparison op, const CSspValue& right) const
    {
        // Two integers (a loop's counter and its bound, mostly) inline, without the other kinds' tests.
        if (BothIntegers(*this, right)) {
            switch (op) {
            case Comparison::Equal: return m_integer == right.m_integer;
            case Comparison::NotEqual: return m_integer != right.m_integer;
            case Comparison::Less: return m_integer < right.m_integer;
            case Comparison::LessEqual: return m_integer <= right.m_integer;
            case Comparison::Greater: return m_integer > right.m_integer;
            case Comparison::GreaterEqual: return m_integer >= right.m_integer;
            case Comparison::None: return false;
            }
        }
        return CompareOther(op, right);
    }

    // Byte-wise, case-sensitive comparisons of texts (UTF-8 sorts by code point this way).
    static bool StringLess(const std::string& a, const std::string& b) { return a < b; }
    static bool StringGreater(const std::string& a, const std::string& b) { return a > b; }
    static bool StringLessEqual(const std::string& a, const std::string& b) { return a <= b; }
    static bool StringGreaterEqual(const std::string& a, const std::string& b) { return a >= b; }

    int m_type = kUnknown;
    int m_size = 250;  // column size when bound to a database column
    int m_scale = 0;   // decimal places of a decimal
    // The member of the kind; the others alias it and mean nothing.
    union
    {
        std::int64_t m_integer = kIntegerNull;  // integer kinds
        float m_real;                           // real
        double m_double;                        // double kinds
        std::int64_t m_time;                    // date kinds: seconds since 1970 (UTC)
        std::int64_t m_span;                    // time span: seconds
    };
    // The text kinds, the digits of decimals, and the bytes of the binary and long-text kinds (its
    // size is their stored length).
    std::string m_text;

private:
    // Two integers, neither of them null.
    static bool BothIntegers(const CSspValue& a, const CSspValue& b)
    {
        return a.IsInteger() && b.IsInteger() && a.m_integer != kIntegerNull && b.m_integer != kIntegerNull;
    }
    bool CompareOther(Comparison op, const CSspValue& right) const;
    // CopyLongBinary for any text or range of bytes.
    static void AssignLong(std::string& target, std::string_view bytes);
    // The text that ToString gives for the kinds that keep it in m_text, without a copy.
    std::string_view TextOfTextKind() const;
    bool IsNullOfOtherKind() const;
    // The type, and the text, scale and size as SetNull leaves them: what a number's setter needs
    // before it stores its member.
    void ClearForNumber(int type);
    int Add(const CSspValue& left, const CSspValue& right);
    int Subtract(const CSspValue& left, const CSspValue& right);
    int MultiplyOrDivide(const CSspValue& left, char op, const CSspValue& right);
    int Modulo(const CSspValue& left, const CSspValue& right);
    void Concat(const CSspValue& left, const CSspValue& right);
    int NumericCore(const CSspValue& left, char op, const CSspValue& right);
    void SetJoinedText(const CSspValue& left, const CSspValue& right, int type);
    // The ToString text of the value, read in place where the value keeps it, an integer's in
    // digits, else made in storage.
    struct TextRoom
    {
        IntegerDigits digits;
        std::string storage;
    };
    static std::string_view TextOf(const CSspValue& value, TextRoom& room);
    // Whether "+" of a string kind with `right` joins their texts (rather than adding numbers or a
    // span to a date).
    static bool StringAddJoins(const CSspValue& left, const CSspValue& right);
};
