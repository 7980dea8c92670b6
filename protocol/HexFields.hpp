#pragma once

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

// The bytes of text written as hexadecimal pairs separated by single blanks (each pair read
// with ParseHex2, low 8 bits kept); empty when any separator is not a blank. A single character
// left at the end is dropped, a trailing blank is accepted.
std::deque<std::uint8_t> ParseHexBytes(const std::string& text);
