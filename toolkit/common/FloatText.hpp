// Fast text of floats, identical to what a standard stream prints for a float
// with its default formatting.
#pragma once

#include <cstddef>

namespace toolkit {
namespace common {

// Room for the longest text formatFloat writes, with a newline after it.
constexpr std::size_t kFloatTextMax = 32;

// Writes the text `std::cout << value` gives by default (the float widened to
// double, %g with six significant digits: "0.464159", "1e-05", "100000",
// "1e+06", "nan", "-nan", "inf", "-inf") at `first` and returns its end.
// [first, last) must hold at least kFloatTextMax characters.
char* formatFloat(char* first, char* last, float value);

} // namespace common
} // namespace toolkit
