#include "toolkit/common/FloatText.hpp"

#include <charconv>

char* toolkit::common::formatFloat(char* first, char* last, float value)
{
    // The shortest-round-trip machinery of to_chars with an explicit
    // precision gives exactly the %g text, NaN and infinities included.
    return std::to_chars(first, last, static_cast<double>(value), std::chars_format::general, 6)
        .ptr;
}
