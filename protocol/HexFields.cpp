#include "protocol/HexFields.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// strtol on a NUL-terminated copy, so that the conversion cannot run past the field.
template <std::size_t Width>
std::int32_t ParseField(const char* field) {
    char copy[Width + 1];
    std::memcpy(copy, field, Width);
    copy[Width] = '\0';
    return static_cast<std::int32_t>(std::strtol(copy, nullptr, 16));
}

}  // namespace

std::int32_t ParseHex2(const char* field) {
    return ParseField<2>(field);
}

std::int32_t ParseHex3(const char* field) {
    return ParseField<3>(field);
}

bool ReadHexDigits(const char* field, std::size_t width, std::int32_t& value) {
    std::int32_t read = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = field[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        read = read * 16 + digit;
    }
    value = read;
    return true;
}

std::deque<std::uint8_t> ParseHexBytes(const std::string& text) {
    enum class Expect { First, Second, Separator };
    std::deque<std::uint8_t> bytes;
    Expect expect = Expect::First;
    char pair[2] = {};
    for (char c : text) {
        switch (expect) {
            case Expect::First:
                pair[0] = c;
                expect = Expect::Second;
                break;
            case Expect::Second:
                pair[1] = c;
                bytes.push_back(static_cast<std::uint8_t>(ParseHex2(pair) & 0xFF));
                expect = Expect::Separator;
                break;
            case Expect::Separator:
                if (c != ' ') {
                    bytes.clear();  // the same object on every path, so it is returned in place
                    return bytes;
                }
                expect = Expect::First;
                break;
        }
    }
    return bytes;
}
