// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string_view>

// How the text of the port box becomes a port number: the classic BASIC
// leading-number rule, then rounding to a 16-bit integer.
namespace PortNumber {

// Blanks, tabs and line feeds anywhere are skipped. "&H"/"&O" read hex/octal
// digits; otherwise sign, digits, decimal part and exponent are read up to the
// first other character. No number at all gives 0.
double leadingNumber(std::string_view text);

// Nearest integer, halves to the even neighbour. Returns false when the result
// lies outside -32768..32767 (or is not a number at all).
bool roundToInt16(double value, std::int16_t *result);

}
