#include "station/StationLine.hpp"

#include <algorithm>
#include <limits>

namespace {

// The "C" locale's white space, as a fixed set rather than a locale lookup per character.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const std::string_view kReadyNotice = "100 Ready";

}  // namespace

StationLine::StationLine(const std::string& text) {
    const std::string_view line(text);
    if (!line.empty() && line[0] == '@') {
        kind_ = Kind::Data;
        const std::string_view rest = line.substr(1);
        const std::size_t comma = rest.find(',');
        tag_ = rest.substr(0, comma);
        if (comma != std::string_view::npos) fields_ = rest.substr(comma + 1);
        return;
    }
    const std::string_view field = line.substr(
        0,
        static_cast<std::size_t>(std::find_if(line.begin(), line.end(), IsSpace) - line.begin()));
    const std::size_t sign = !field.empty() && (field[0] == '+' || field[0] == '-') ? 1 : 0;
    kind_ = sign < field.size() && IsDigit(field[sign]) ? Kind::Status : Kind::Text;
    code_ = ReadNumber(field);
    // The station's line end is CR LF; the framer leaves the CR.
    const std::string_view bare =
        !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
    readyNotice_ = bare == kReadyNotice;
}

std::vector<std::string> StationLine::Fields() const {
    std::vector<std::string> fields;
    if (!fields_) return fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = fields_->find(',', from);
        fields.emplace_back(fields_->substr(from, comma - from));
        if (comma == std::string_view::npos) return fields;
        from = comma + 1;
    }
}

std::int32_t StationLine::ReadNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), limit);
    return static_cast<std::int32_t>(negative ? -value : value);
}
