#pragma once
// How the settings file's numbers are read: the leading number of a text, the
// way the classic BASIC Val function reads it, then rounded half to even and
// narrowed to a field's width.

#include <cstdint>
#include <optional>
#include <string_view>

namespace ebbmark {

// The number at the start of `text`: optional blanks, an optional sign, digits
// with at most one decimal point and an optional exponent (E, e, D or d, with
// its own optional sign); or "&H" / "&O" (any case) followed by hexadecimal /
// octal digits. Blanks and tabs inside the number are skipped; whatever follows
// the number is ignored. Text that does not begin with a number gives 0.
// A number too large for a double gives +/- infinity, never a trap; the result
// is never NaN.
double LeadingNumber(std::string_view text);

// Rounds to a whole number, a half going to the even neighbour (2.5 -> 2,
// 3.5 -> 4, -2.5 -> -2). Independent of the floating-point rounding mode.
// Infinities and NaN come back unchanged.
double RoundHalfEven(double value);

// `value` rounded half to even, when the result lies in [lo, hi]; nothing for
// NaN, infinities and anything outside (so the caller can apply its fallback).
std::optional<std::int64_t> RoundToRange(double value, std::int64_t lo, std::int64_t hi);

// The leading number of `text` rounded into a field of the given width, or
// nothing when it does not fit.
std::optional<std::int32_t> TextToInt32(std::string_view text);
std::optional<std::int16_t> TextToInt16(std::string_view text);
std::optional<std::uint8_t> TextToUInt8(std::string_view text);

// A truth value read from text: its leading number, unrounded, is not 0.
bool TextToTruth(std::string_view text);

}  // namespace ebbmark
