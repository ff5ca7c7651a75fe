#pragma once
// Number parsing for script texts, form fields, settings and database columns. These replace atoi
// and atof everywhere: they read the leading number of a text the way those functions do, but an
// integer out of the 32-bit range is clamped instead of being undefined, and only plain decimal
// notation counts as a number (no hexadecimal, "inf" or "nan"), so a script text cannot smuggle
// special values in.

#include <cstdint>
#include <string_view>

// Leading white space, an optional sign and decimal digits; the integer of the leading number,
// clamped to INT_MIN..INT_MAX, or 0 when the text does not begin with one ("12abc" is 12).
int ParseInt32(std::string_view text);

// The integer of the leading number as ParseInt32 reads it, in 64 bits. False, with `value`
// clamped to the 64-bit range, when the number lies beyond that range: a caller that must keep it
// exact takes the text as a double instead.
bool ParseInt64(std::string_view text, std::int64_t& value);

// The leading decimal number of a text (sign, digits, fraction, exponent), after leading white space.
// Returns false and leaves `value` alone when there is none. Values beyond the double range become
// +-HUGE_VAL as with strtod.
bool ParseLeadingDouble(std::string_view text, double& value);

// ParseLeadingDouble, or 0 when the text does not begin with a number (as atof).
double ParseDouble(std::string_view text);

// The slice of `text` that holds its leading decimal number, without the white space before it;
// empty when there is none. "-1.50kg" gives "-1.50", "1e" gives "1".
std::string_view LeadingNumber(std::string_view text);

// A double converted toward zero and clamped to INT_MIN..INT_MAX; NaN gives 0.
int ClampToInt32(double value);

// A double converted toward zero and clamped to the 64-bit range; NaN gives 0.
std::int64_t ClampToInt64(double value);
