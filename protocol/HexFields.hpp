#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// Readers for the fixed-position hexadecimal fields of client messages. Each reads its field the
// way strtol in base 16 reads a text (leading white space, a sign, an optional 0x or 0X, digits
// of either case up to the first other character; no digits read as 0) and never looks at a
// character beyond the field. The caller guarantees that the field's characters exist.

// The two characters at field.
std::int32_t ParseHex2(const char* field);
// The three characters at field.
std::int32_t ParseHex3(const char* field);

// The width characters at field when each is a hexadecimal digit (either case): no sign, no
// "0x", no blank. False, with value untouched, for anything else.
bool ReadHexDigits(const char* field, std::size_t width, std::int32_t& value);

// The bytes of text written as hexadecimal pairs separated by single blanks (each pair read
// with ParseHex2, low 8 bits kept); empty when any separator is not a blank. A single character
// left at the end is dropped, a trailing blank is accepted.
std::deque<std::uint8_t> ParseHexBytes(const std::string& text);
