// SPDX-License-Identifier: MIT
#include "port_number.h"

#include <charconv>
#include <cmath>
#include <string>

namespace PortNumber {

namespace {
bool isSkipped(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

double radixNumber(const std::string &s, std::size_t pos, int radix)
{
    double value = 0;
    for (; pos < s.size(); ++pos) {
        const int d = digitValue(s[pos]);
        if (d < 0 || d >= radix)
            break;
        value = value * radix + d;
    }
    return value;
}
}

double leadingNumber(std::string_view text)
{
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (!isSkipped(c))
            s.push_back(c);
    }

    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'h' || s[1] == 'H')
            return radixNumber(s, 2, 16);
        if (s[1] == 'o' || s[1] == 'O')
            return radixNumber(s, 2, 8);
    }

    // Copy the longest leading number into a plain C form for strtod, so that
    // locale, "inf", "nan" and hex floats cannot sneak in.
    std::string number;
    std::size_t i = 0;
    auto isDigit = [&](std::size_t at) { return at < s.size() && s[at] >= '0' && s[at] <= '9'; };
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        number.push_back(s[i++]);
    bool anyDigit = false;
    while (isDigit(i)) {
        number.push_back(s[i++]);
        anyDigit = true;
    }
    if (i < s.size() && s[i] == '.') {
        number.push_back(s[i++]);
        while (isDigit(i)) {
            number.push_back(s[i++]);
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0;
    // BASIC also writes the exponent of a double with D.
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            exponent.push_back(s[j++]);
        if (isDigit(j)) {
            while (isDigit(j))
                exponent.push_back(s[j++]);
            number += exponent;
        }
    }
    // from_chars ignores the locale (a German desktop must still read "2.5").
    const bool negative = number[0] == '-';
    const std::size_t start = (number[0] == '-' || number[0] == '+') ? 1 : 0;
    double value = 0;
    const auto [end, error] = std::from_chars(number.data() + start, number.data() + number.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        const bool tiny = number.find("e-") != std::string::npos;
        value = tiny ? 0.0 : HUGE_VAL;
    }
    return negative ? -value : value;
}

bool roundToInt16(double value, std::int16_t *result)
{
    if (!std::isfinite(value))
        return false;
    // Round half to even, whatever the floating-point environment says.
    double rounded = std::floor(value);
    const double fraction = value - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0))
        rounded += 1;
    if (rounded < -32768 || rounded > 32767)
        return false;
    *result = static_cast<std::int16_t>(rounded);
    return true;
}

}
