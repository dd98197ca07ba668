// Number formatting for the text outputs that must read the same on every
// platform.
//
// The EPP file writes exponents with a sign and at least three digits
// (2.50000000e-005). glibc prints two digits, the Windows runtime three, so
// every exponent-form value goes through FormatExponent instead of a bare
// printf. Non-finite values are spelled one way everywhere ("nan", "inf",
// "-inf"; the runtimes disagree on NaN spellings) and stay readable by a
// free-format number parser.
#pragma once

#include <cstddef>

// Largest text either helper produces for precision up to kMaxPrecision, with NUL.
inline constexpr int kMaxPrecision = 40;
inline constexpr std::size_t kNumberTextSize = 96;

// Like printf "%.<precision>e" with the exponent widened to three digits.
// Writes at most size bytes including the NUL (cut like snprintf) and
// returns the length of the full text. precision is clamped to 0..kMaxPrecision.
int FormatExponent(char *out, std::size_t size, double value, int precision);

// The same with the exponent written with at least `digits` digits (1 to 3)
// after `letter` ('e', 'E' or 'D'): RINEX fields such as D19.12 take two
// digits and a 'D' whatever the runtime would print. Exponents that need
// more digits keep them, so the value is never changed.
int FormatExponentDigits(char *out, std::size_t size, double value, int precision, int digits, char letter);

// Like printf "%.<precision>f" (finite values up to 1e30 in magnitude; larger
// ones fall back to FormatExponent so the text stays bounded), with the same
// non-finite spellings.
int FormatFixed(char *out, std::size_t size, double value, int precision);
