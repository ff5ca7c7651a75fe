#include "foundation/ssp_value.h"

#include "foundation/format_text.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_date_time.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {

// Decimal places beyond any database's precision only cost memory: "%.*f" with a scale taken from
// a script text could otherwise ask for gigabytes.
constexpr int kMaxScale = 1000;

// The "%d" text of an integer without the cost of a formatted print: numbers written into pages
// are the commonest output of a script.
std::string IntegerText(std::int64_t value)
{
    char digits[24];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string FormatFixed(double value, int scale)
{
    return FormatText("%.*f", std::clamp(scale, 0, kMaxScale), value);
}

// Time arithmetic wraps around in 64 bits; doing it in unsigned types makes that wrap defined
// instead of undefined signed overflow.
std::int64_t WrapAdd64(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t WrapSubtract64(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// A time moved by a span; no date (a text that is none) stays no date.
std::int64_t ShiftTime(std::int64_t time, std::int64_t span)
{
    return time == kNoDateTime ? kNoDateTime : WrapAdd64(time, span);
}

// Floating division whose zero divisor gives the infinity of the dividend's sign (NaN for 0/0),
// spelled out rather than left to the hardware so that no sanitizer setting can object to it.
template <typename Float>
Float DivideFloating(Float x, Float y)
{
    if (y != 0)
        return x / y;
    if (x == 0 || std::isnan(x))
        return std::numeric_limits<Float>::quiet_NaN();
    const bool negative = std::signbit(x) != std::signbit(y);
    return negative ? -std::numeric_limits<Float>::infinity() : std::numeric_limits<Float>::infinity();
}

template <typename Number>
Number Arithmetic(Number x, char op, Number y)
{
    switch (op) {
    case '+': return x + y;
    case '-': return x - y;
    case '*': return x * y;
    default: return DivideFloating(x, y);
    }
}

enum class IntegerOutcome
{
    Exact,
    BeyondRange,  // the exact result lies outside 64 bits
    Undefined,    // a division by 0
};

// 64-bit integer arithmetic that never overflows: a result that does not fit is reported, not
// wrapped (nor left to undefined behaviour).
IntegerOutcome IntegerArithmetic(std::int64_t x, char op, std::int64_t y, std::int64_t& result)
{
    bool beyond = false;
    switch (op) {
    case '+': beyond = __builtin_add_overflow(x, y, &result); break;
    case '-': beyond = __builtin_sub_overflow(x, y, &result); break;
    case '*': beyond = __builtin_mul_overflow(x, y, &result); break;
    default:
        if (y == 0)
            return IntegerOutcome::Undefined;
        beyond = x == INT64_MIN && y == -1;
        if (!beyond)
            result = x / y;
    }
    return beyond ? IntegerOutcome::BeyondRange : IntegerOutcome::Exact;
}

// Stores x op y into `target`: an integer of `type` when it fits 64 bits, else the nearest double.
// False for a division by 0.
bool StoreIntegerArithmetic(CSspValue& target, std::int64_t x, char op, std::int64_t y, int type)
{
    std::int64_t value = 0;
    switch (IntegerArithmetic(x, op, y, value)) {
    case IntegerOutcome::Exact: target.SetInteger(value, type); return true;
    case IntegerOutcome::BeyondRange:
        target.SetDouble(Arithmetic(static_cast<double>(x), op, static_cast<double>(y)));
        return true;
    default: return false;
    }
}

// A double out of the float range becomes the float infinity of its sign, as the hardware would
// round it, instead of an undefined conversion.
float ToFloat(double value)
{
    if (value > FLT_MAX)
        return std::numeric_limits<float>::infinity();
    if (value < -FLT_MAX)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// Width order of the numeric kinds: integer, decimal, real, double.
int NumericRank(const CSspValue& v)
{
    return v.IsInteger() ? 0 : v.IsDecimal() ? 1 : v.IsReal() ? 2 : 3;
}

template <typename T>
bool Decide(CSspValue::Comparison comparison, const T& a, const T& b)
{
    using enum CSspValue::Comparison;
    switch (comparison) {
    case Equal: return a == b;
    case NotEqual: return a != b;
    case Less: return a < b;
    case LessEqual: return a <= b;
    case Greater: return a > b;
    case GreaterEqual: return a >= b;
    default: return false;
    }
}

// A number as a comparison takes it: exact while it is a whole number within 64 bits, so that two
// integers beyond 2^53 that doubles would take for equal still differ.
struct ComparedNumber
{
    bool exact = false;
    std::int64_t integer = 0;
    double real = 0.0;
};

ComparedNumber NumberToCompare(const CSspValue& value)
{
    if (value.IsInteger())
        return {true, value.m_integer};
    if (value.IsTimeSpan())
        return {true, value.m_span};
    if (const std::string* text = value.PlainText()) {
        // A text or a decimal's digits: exact when its leading number has neither point nor exponent.
        const std::string_view number = LeadingNumber(*text);
        std::int64_t integer = 0;
        if (!number.empty() && number.find_first_of(".eE") == std::string_view::npos && ParseInt64(number, integer))
            return {true, integer};
    }
    return {false, 0, value.ToDouble()};
}

// -1, 0 or 1 as the integer lies below, at or above the double (which is not NaN), exactly: as
// doubles, 2^63 - 1 and 2^63 would be equal.
int OrderIntegerAndDouble(std::int64_t integer, double real)
{
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (real >= kTwoTo63)
        return -1;
    if (real < -kTwoTo63)
        return 1;
    const double whole = std::trunc(real);
    const auto wholeInteger = static_cast<std::int64_t>(whole);
    if (integer != wholeInteger)
        return integer < wholeInteger ? -1 : 1;
    return whole < real ? -1 : whole > real ? 1 : 0;
}

bool DecideNumbers(CSspValue::Comparison op, const ComparedNumber& a, const ComparedNumber& b)
{
    if (a.exact && b.exact)
        return Decide(op, a.integer, b.integer);
    const double x = a.exact ? static_cast<double>(a.integer) : a.real;
    const double y = b.exact ? static_cast<double>(b.integer) : b.real;
    if (a.exact == b.exact || std::isnan(x) || std::isnan(y))
        return Decide(op, x, y);
    const int order = a.exact ? OrderIntegerAndDouble(a.integer, b.real) : -OrderIntegerAndDouble(b.integer, a.real);
    return Decide(op, order, 0);
}

std::string QuotedSqlText(std::string text)
{
    CSspValue::EscapeSqlQuotes(text);
    return "'" + text + "'";
}

}  // namespace

CSspValue& CSspValue::operator=(const CSspValue& other)
{
    if (this == &other)
        return *this;
    // The bytes first: when their memory can't be had, the error leaves this value as it was. A
    // number has none: nothing to copy.
    if (other.m_text.empty())
        m_text.clear();
    else
        AssignLong(m_text, other.m_text);
    m_type = other.m_type;
    m_size = other.m_size;
    m_scale = other.m_scale;
    // The member of the kind, whichever it is.
    std::memcpy(static_cast<void*>(&m_integer), &other.m_integer, sizeof m_integer);
    return *this;
}

void CSspValue::SetNull()
{
    m_text.clear();
    m_scale = 0;
    m_size = 250;
    if (IsReal())
        m_real = kRealNull;
    else if (IsDouble())
        m_double = kDoubleNull;
    else if (IsDate())
        m_time = kNoDateTime;
    else if (IsTimeSpan())
        m_span = 0;
    else
        m_integer = kIntegerNull;
}

void CSspValue::ClearForNumber(int type)
{
    m_type = type;
    m_text.clear();
    m_scale = 0;
    m_size = 250;
}

void CSspValue::SetInteger(std::int64_t value, int type)
{
    ClearForNumber(type);
    m_integer = value;
}

void CSspValue::SetReal(float value)
{
    ClearForNumber(kReal);
    m_real = value;
}

void CSspValue::SetDouble(double value, int type)
{
    ClearForNumber(type);
    m_double = value;
}

void CSspValue::SetString(std::string text, int type)
{
    m_type = type;
    SetNull();
    m_text = std::move(text);
}

void CSspValue::SetDecimal(std::string digits, int scale, int type)
{
    m_type = type;
    SetNull();
    m_text = std::move(digits);
    m_scale = scale;
}

void CSspValue::SetTime(std::int64_t time, int type)
{
    ClearForNumber(type);
    m_time = time;
}

void CSspValue::SetTimeSpan(std::int64_t seconds)
{
    ClearForNumber(kTimeSpan);
    m_span = seconds;
}

void CSspValue::SetBinary(const void* bytes, size_t length, int type)
{
    m_type = type;
    SetNull();
    if (length > 0)
        AssignLong(m_text, std::string_view(static_cast<const char*>(bytes), length));
}

void CSspValue::CopyLongBinary(std::string& target, const std::string& source)
{
    AssignLong(target, source);
}

void CSspValue::AssignLong(std::string& target, std::string_view bytes)
{
    try {
        // assign reuses the block when it is large enough; when it must grow and cannot, the target
        // is left as it was.
        target.assign(bytes);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, kNoPosition);
    }
}

void CSspValue::TakeBinary(std::string& source)
{
    m_text = std::exchange(source, {});
}

void CSspValue::EscapeSqlQuotes(std::string& text)
{
    for (size_t i = text.find('\''); i != std::string::npos; i = text.find('\'', i + 2))
        text.insert(i, 1, '\'');
}

bool CSspValue::IsNumericText() const
{
    if (IsNumeric())
        return true;
    if (!IsString() || m_text.empty())
        return false;
    const size_t start = m_text[0] == '-' ? 1 : 0;
    return m_text.find_first_not_of("0123456789.,", start) == std::string::npos;
}

bool CSspValue::IsDateLike() const
{
    return IsDate() || (IsString() && CSspDateTime(m_text).IsValid());
}

bool CSspValue::IsNullOfOtherKind() const
{
    if (IsReal())
        return std::bit_cast<std::uint32_t>(m_real) == std::bit_cast<std::uint32_t>(kRealNull);
    if (IsDouble())
        return std::bit_cast<std::uint64_t>(m_double) == std::bit_cast<std::uint64_t>(kDoubleNull);
    if (IsDate())
        return m_time == kNoDateTime;
    if (IsTimeSpan())
        return false;
    return m_text.empty();
}

const std::string* CSspValue::PlainText() const
{
    if (IsInteger() || IsReal() || IsDouble() || IsDate() || IsTimeSpan())
        return nullptr;
    // Some drivers hand back a single blank for an empty long column.
    if ((IsLongText() || IsBinary()) && m_text == " ")
        return nullptr;
    return &m_text;
}

std::string_view CSspValue::TextOfTextKind() const
{
    const std::string* text = PlainText();
    return text != nullptr ? std::string_view(*text) : std::string_view();
}

std::string CSspValue::ToString() const
{
    if (const std::string* text = PlainText())
        return *text;
    if (IsInteger())
        return IsNull() ? std::string() : IntegerText(m_integer);
    if (IsReal())
        return IsNull() ? std::string() : FormatText("%f", static_cast<double>(m_real));
    if (IsDouble())
        return IsNull() ? std::string() : FormatText("%f", m_double);
    if (IsDate())
        return IsNull() ? std::string() : CSspDateTime(m_time).GetDateTimeStr();
    if (IsTimeSpan()) {
        return FormatText("%lld %lld:%lld:%lld", static_cast<long long>(m_span / 86400),
                          static_cast<long long>(m_span / 3600 % 24), static_cast<long long>(m_span / 60 % 60),
                          static_cast<long long>(m_span % 60));
    }
    // A long value of one blank.
    return std::string();
}

double CSspValue::ToDouble() const
{
    if (IsInteger())
        return static_cast<double>(m_integer);
    if (IsReal())
        return m_real;
    if (IsDouble())
        return m_double;
    // A span's number is its seconds; its text member is always empty, which would make every span
    // compare below every number.
    if (IsTimeSpan())
        return static_cast<double>(m_span);
    const std::string_view text = TextOfTextKind();
    return text.empty() ? kDoubleNull : ParseDouble(text);
}

std::int64_t CSspValue::ToInt64() const
{
    if (IsInteger())
        return m_integer;
    if (IsReal())
        return ClampToInt64(m_real);
    if (IsDouble())
        return ClampToInt64(m_double);
    if (IsTimeSpan())
        return m_span;
    const std::string_view text = TextOfTextKind();
    if (text.empty())
        return kIntegerNull;
    std::int64_t value = 0;
    ParseInt64(text, value);
    return value;
}

std::int64_t CSspValue::ToTime() const
{
    if (IsDate())
        return m_time;
    if (IsString())
        return CSspDateTime(m_text).GetTime();
    return kNoDateTime;
}

int CSspValue::CountDecimals(std::string_view text)
{
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos)
        return 0;
    const size_t count = text.size() - dot - 1;
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

void CSspValue::SetFromText(std::string_view text)
{
    if (IsInteger()) {
        m_integer = kIntegerNull;
        if (!text.empty())
            ParseInt64(text, m_integer);
    } else if (IsReal() || IsDouble()) {
        // Only a text without a number is null: a stored 0 must stay 0, or writing it to a REAL
        // column would store NULL and "= 0" would turn into "IS NULL".
        double value = 0.0;
        const bool isNumber = ParseLeadingDouble(text, value);
        if (IsReal())
            m_real = isNumber ? ToFloat(value) : kRealNull;
        else
            m_double = isNumber ? value : kDoubleNull;
    } else if (IsDate()) {
        m_time = CSspDateTime(text).GetTime();
    } else if (IsLongText() || IsBinary()) {
        AssignLong(m_text, text);
    } else if (IsDecimal()) {
        m_scale = CountDecimals(text);
        m_text.assign(text);
    } else {
        m_text.assign(text);
    }
}

void CSspValue::SetNumberText(std::string_view text, std::optional<std::string_view> scaleText)
{
    const int scale = scaleText ? ParseInt32(*scaleText) : CountDecimals(text);
    if (scale > 0) {
        SetDecimal(FormatFixed(ParseDouble(text), scale), std::min(scale, kMaxScale), kNumeric);
        return;
    }
    // An integer too large for 64 bits is kept as the number it is, not cut to the range.
    std::int64_t integer = 0;
    if (ParseInt64(text, integer))
        SetInteger(integer, kInteger);
    else
        SetDouble(ParseDouble(text));
}

std::string CSspValue::ToSqlLiteral() const
{
    if (IsString())
        return m_text.empty() ? "NULL" : QuotedSqlText(m_text);
    if (IsInteger())
        return IsNull() ? "NULL" : IntegerText(m_integer);
    if (IsDecimal()) {
        // A decimal is pasted unquoted, so only a well-formed number may reach the statement.
        std::string_view number = LeadingNumber(m_text);
        if (!number.empty() && number[0] == '+')
            number.remove_prefix(1);
        return number.empty() ? "NULL" : std::string(number);
    }
    if (IsReal() || IsDouble()) {
        const double value = IsReal() ? static_cast<double>(m_real) : m_double;
        // "inf" or "nan" pasted into a statement would read as a column name or a syntax error.
        return IsNull() || !std::isfinite(value) ? "NULL" : FormatText("%f", value);
    }
    if (IsDate()) {
        // A time stamp keeps its time: cut to the date it would match only rows at midnight.
        if (IsNull())
            return "NULL";
        return m_type == kTimestamp ? CSspDateTime(m_time).GetOdbcDateTimeStr() : CSspDateTime(m_time).GetOdbcDateStr();
    }
    const std::string text = ToString();
    return text.empty() ? "NULL" : QuotedSqlText(text);
}

CSspValue::Operator CSspValue::OperatorOf(std::string_view op)
{
    using enum Operator;
    if (op == "||")
        return Concat;
    if (op.size() != 1)
        return None;
    switch (op[0]) {
    case '+': return Add;
    case '-': return Subtract;
    case '*': return Multiply;
    case '/': return Divide;
    case '%': return Modulo;
    default: return None;
    }
}

int CSspValue::ApplyOperator(const CSspValue& left, std::string_view op, const CSspValue& right)
{
    return ApplyOperator(left, OperatorOf(op), right);
}

int CSspValue::ApplyOperator(const CSspValue& left, Operator op, const CSspValue& right)
{
    using enum Operator;
    // Two integers (loop counters, mostly) added, subtracted or multiplied: what the general path
    // below comes to for them, an integer of the right operand's kind, without its conversions.
    if (op <= Multiply && BothIntegers(left, right)) {
        const char symbol = op == Add ? '+' : op == Subtract ? '-' : '*';
        StoreIntegerArithmetic(*this, left.m_integer, symbol, right.m_integer, right.m_type);
        return 0;
    }
    if (&left == this && AppendInPlace(op, right))
        return 0;
    // The result is built apart and stored at the end, so this value may be one of the operands.
    CSspValue result;
    int code = 0;
    switch (op) {
    case Add: code = result.Add(left, right); break;
    case Subtract: code = result.Subtract(left, right); break;
    case Multiply: code = result.MultiplyOrDivide(left, '*', right); break;
    case Divide: code = result.MultiplyOrDivide(left, '/', right); break;
    case Modulo: code = result.Modulo(left, right); break;
    case Concat: result.Concat(left, right); break;
    case None: return 0;
    }
    // A failed operator leaves its target as it was: the target may be the variable that is
    // assigned, such as a session's, which must not lose its value to a refused operation.
    if (code >= 0)
        *this = std::move(result);
    return code;
}

void CSspValue::SetJoinedText(const CSspValue& left, const CSspValue& right, int type)
{
    // Each text is copied once, straight into a result made large enough for both: appending the
    // right text to a result the size of the left one would copy the left one again.
    TextRoom leftRoom;
    TextRoom rightRoom;
    const std::string_view leftText = TextOf(left, leftRoom);
    const std::string_view rightText = TextOf(right, rightRoom);
    std::string joined;
    joined.reserve(leftText.size() + rightText.size());
    joined.append(leftText).append(rightText);
    SetString(std::move(joined), type);
}

std::string_view CSspValue::TextOf(const CSspValue& value, TextRoom& room)
{
    if (const std::optional<std::string_view> text = value.TextAtHand(room.digits))
        return *text;
    room.storage = value.ToString();
    return room.storage;
}

bool CSspValue::StringAddJoins(const CSspValue& left, const CSspValue& right)
{
    // The right operand first: appending a word to a long text must not scan the text each time.
    return !(right.IsNumericText() && left.IsNumericText()) && !(right.IsTimeSpan() && left.IsDateLike());
}

bool CSspValue::AppendInPlace(Operator op, const CSspValue& right)
{
    if (IsNull() || right.IsNull())
        return false;
    bool joins = false;
    if (op == Operator::Add)
        joins = IsString() && StringAddJoins(*this, right);
    else if (op == Operator::Concat)
        joins = m_type == kVarChar;
    if (!joins)
        return false;
    TextRoom room;
    m_text.append(TextOf(right, room));
    // What SetString leaves besides the text.
    m_scale = 0;
    m_size = 250;
    m_integer = kIntegerNull;
    return true;
}

int CSspValue::NumericCore(const CSspValue& left, char op, const CSspValue& right)
{
    // Operands that are not numbers yet become one: a text with decimals a decimal, else an integer.
    // Numbers are used as they are (this value is never one of the operands: ApplyOperator builds
    // its result apart).
    auto asNumber = [](const CSspValue& operand, std::optional<CSspValue>& converted) -> const CSspValue& {
        if (operand.IsNumeric())
            return operand;
        converted.emplace().SetNumberText(operand.ToString());
        return *converted;
    };
    std::optional<CSspValue> convertedA;
    std::optional<CSspValue> convertedB;
    const CSspValue& a = asNumber(left, convertedA);
    const CSspValue& b = asNumber(right, convertedB);

    const int rankA = NumericRank(a);
    const int rankB = NumericRank(b);
    const int rank = std::max(rankA, rankB);
    int type = rankA > rankB ? a.m_type : b.m_type;
    if (rankA == rankB && rank == 1)
        type = a.m_type;

    switch (rank) {
    case 0: return StoreIntegerArithmetic(*this, a.m_integer, op, b.m_integer, type) ? 0 : kOperationNotAllowed;
    case 1: {
        const int scale = rankA == rankB ? std::max(a.m_scale, b.m_scale) : (rankA == 1 ? a.m_scale : b.m_scale);
        if (scale <= 0) {
            const std::int64_t x = a.ToInt64();
            const std::int64_t y = b.ToInt64();
            std::int64_t value = 0;
            switch (IntegerArithmetic(x, op, y, value)) {
            case IntegerOutcome::Undefined: return kOperationNotAllowed;
            case IntegerOutcome::BeyondRange:
                SetDecimal(FormatFixed(Arithmetic(static_cast<double>(x), op, static_cast<double>(y)), 0), scale, type);
                break;
            case IntegerOutcome::Exact: SetDecimal(IntegerText(value), scale, type); break;
            }
        } else {
            SetDecimal(FormatFixed(Arithmetic(a.ToDouble(), op, b.ToDouble()), scale), scale, type);
        }
        return 0;
    }
    case 2:
        m_type = type;
        SetNull();
        m_real = Arithmetic(ToFloat(a.ToDouble()), op, ToFloat(b.ToDouble()));
        return 0;
    default: SetDouble(Arithmetic(a.ToDouble(), op, b.ToDouble()), type); return 0;
    }
}

int CSspValue::Add(const CSspValue& left, const CSspValue& right)
{
    if (left.IsNull()) {
        *this = right;
        return 0;
    }
    if (right.IsNull()) {
        *this = left;
        return 0;
    }
    const bool rightIsText = right.IsString() || right.IsLongText();
    if (left.IsString()) {
        if (StringAddJoins(left, right))
            SetJoinedText(left, right, left.m_type);
        else if (right.IsTimeSpan())
            SetTime(ShiftTime(left.ToTime(), right.m_span), kDate);
        else
            return NumericCore(left, '+', right);
        return 0;
    }
    if (left.IsLongText()) {
        SetJoinedText(left, right, kVarChar);
        return 0;
    }
    if (left.IsNumeric()) {
        if (right.IsNumericText())
            return NumericCore(left, '+', right);
        if (!rightIsText)
            return kOperationNotAllowed;
        SetJoinedText(left, right, right.IsString() ? right.m_type : kVarChar);
        return 0;
    }
    if (left.IsDate()) {
        if (right.IsTimeSpan())
            SetTime(WrapAdd64(left.m_time, right.m_span), left.m_type);
        else if (rightIsText)
            SetJoinedText(left, right, kVarChar);
        else
            return kNeedsTimeSpan;
        return 0;
    }
    if (left.IsTimeSpan()) {
        if (right.IsDate())
            SetTime(WrapAdd64(right.m_time, left.m_span), right.m_type);
        else if (right.IsTimeSpan())
            SetTimeSpan(WrapAdd64(left.m_span, right.m_span));
        else if (rightIsText)
            SetJoinedText(left, right, kVarChar);
        else
            return kNeedsDateTime;
        return 0;
    }
    return kOperationNotAllowed;
}

int CSspValue::Subtract(const CSspValue& left, const CSspValue& right)
{
    SetString(std::string());
    if (left.IsNull()) {
        // Nothing minus a number is its negation; nothing minus nothing stays nothing (the integer
        // null marker is no number to negate).
        if (!right.IsNull() && right.IsNumericText()) {
            CSspValue zero;
            zero.SetInteger(0);
            return NumericCore(zero, '-', right);
        }
        if (right.IsTimeSpan())
            SetTimeSpan(WrapSubtract64(0, right.m_span));
        return 0;
    }
    if (right.IsNull()) {
        *this = left;
        return 0;
    }
    if (left.IsNumericText())
        return right.IsNumericText() ? NumericCore(left, '-', right) : kOperationNotAllowed;
    if (!left.IsDateLike()) {
        if (!left.IsTimeSpan())
            return kOperationNotAllowed;
        if (!right.IsTimeSpan())
            return kNeedsTimeSpan;
        SetTimeSpan(WrapSubtract64(left.m_span, right.m_span));
        return 0;
    }
    if (right.IsTimeSpan()) {
        SetTime(WrapSubtract64(left.ToTime(), right.m_span), kDate);
        return 0;
    }
    if (!right.IsDateLike())
        return kNeedsTimeSpanOrDate;
    SetTimeSpan(WrapSubtract64(left.ToTime(), right.ToTime()));
    return 0;
}

int CSspValue::MultiplyOrDivide(const CSspValue& left, char op, const CSspValue& right)
{
    SetString(std::string());
    if (left.IsNull() || right.IsNull())
        return 0;
    if (!left.IsNumericText() && !right.IsNumericText())
        return kOperationNotAllowed;
    return NumericCore(left, op, right);
}

int CSspValue::Modulo(const CSspValue& left, const CSspValue& right)
{
    SetString(std::string());
    if (left.IsNull() || right.IsNull())
        return 0;
    if (!left.IsNumericText() && !right.IsNumericText())
        return kOperationNotAllowed;
    const std::int64_t x = left.ToInt64();
    const std::int64_t y = right.ToInt64();
    if (y == 0)
        return kOperationNotAllowed;
    // The remainder of a division by -1 is 0; INT64_MIN % -1 would overflow in the hardware.
    SetInteger(y == -1 ? 0 : x % y);
    return 0;
}

void CSspValue::Concat(const CSspValue& left, const CSspValue& right)
{
    if (left.IsNull())
        *this = right;
    else if (right.IsNull())
        *this = left;
    else
        SetJoinedText(left, right, kVarChar);
}

CSspValue::Comparison CSspValue::ComparisonOf(std::string_view op)
{
    using enum Comparison;
    if (op.size() == 1)
        return op[0] == '=' ? Equal : op[0] == '<' ? Less : op[0] == '>' ? Greater : None;
    if (op == "==")
        return Equal;
    if (op == "<>" || op == "!=")
        return NotEqual;
    if (op == "<=")
        return LessEqual;
    return op == ">=" ? GreaterEqual : None;
}

bool CSspValue::Compare(std::string_view op, const CSspValue& right) const
{
    return Compare(ComparisonOf(op), right);
}

bool CSspValue::CompareOther(Comparison op, const CSspValue& right) const
{
    const bool leftNull = IsNull();
    const bool rightNull = right.IsNull();
    if (leftNull && rightNull)
        return op == Comparison::Equal;
    if (leftNull || rightNull)
        return op == Comparison::NotEqual;
    if (IsInteger() && right.IsInteger())
        return Decide(op, m_integer, right.m_integer);
    if (IsNumeric() || right.IsNumeric())
        return DecideNumbers(op, NumberToCompare(*this), NumberToCompare(right));
    if (IsString()) {
        std::string converted;
        const std::string* text = right.PlainText();
        if (text == nullptr)
            text = &(converted = right.ToString());
        return Decide(op, m_text, *text);
    }
    if (IsDate())
        return Decide(op, m_time, right.ToTime());
    if (IsTimeSpan())
        return Decide(op, m_span, right.IsTimeSpan() ? right.m_span : std::int64_t{0});
    return Decide(op, ToString(), right.ToString());
}
