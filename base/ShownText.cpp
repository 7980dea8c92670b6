#include "base/ShownText.hpp"

namespace {

// A carriage return only where it ends the text: a station line keeps the one before its line
// feed, and none inside can send the terminal's cursor back over the line.
bool Shown(const std::string& text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    return (c >= 0x20 && c < 0x7F) || c == '\t' || (c == '\r' && i + 1 == text.size());
}

}  // namespace

ShownText::ShownText(const std::string& text) : text_(text) {
    std::size_t first = 0;
    while (first < text.size() && Shown(text, first))
        ++first;
    if (first == text.size()) return;

    static const char kHex[] = "0123456789ABCDEF";
    escaped_ = true;
    shown_.reserve(text.size() + 16);
    shown_.assign(text, 0, first);
    for (std::size_t i = first; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (Shown(text, i)) {
            shown_ += static_cast<char>(c);
        } else {
            const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
            shown_.append(escape, sizeof escape);
        }
    }
}
