#include "base/ShownText.hpp"

namespace {

bool Shown(unsigned char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r';
}

}  // namespace

ShownText::ShownText(const std::string& text) : text_(text) {
    std::size_t first = 0;
    while (first < text.size() && Shown(static_cast<unsigned char>(text[first])))
        ++first;
    if (first == text.size()) return;

    static const char kHex[] = "0123456789ABCDEF";
    escaped_ = true;
    shown_.reserve(text.size() + 16);
    shown_.assign(text, 0, first);
    for (std::size_t i = first; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (Shown(c)) {
            shown_ += static_cast<char>(c);
        } else {
            const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
            shown_.append(escape, sizeof escape);
        }
    }
}
