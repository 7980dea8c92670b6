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
