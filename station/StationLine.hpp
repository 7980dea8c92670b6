#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One line from the station, without its line feed, as the link reads it: a data line ("@" then
// a tag and fields, separated by commas), a status line (a decimal code as its first field,
// fields separated by white space), or other text (no digits where the code would be: the boot
// banner, noise, an empty line). Refers to the text it was read from, which must outlive it.
class StationLine {
public:
    enum class Kind { Status, Data, Text };

    // The status codes the link acts on.
    static constexpr std::int32_t kOk = 200;
    static constexpr std::int32_t kSyntaxError = 301;

    // Reads text, one line without its line feed.
    explicit StationLine(const std::string& text);

    // Which of the three the line is.
    Kind kind() const { return kind_; }
    // A status line's code, read like atoi from the text before the first space, tab, vertical
    // tab, form feed or carriage return (a line that begins with one has no code), held to the
    // 32-bit range; 0 for data lines and text.
    std::int32_t Code() const { return code_; }
    // The station's boot has ended: exactly "100 Ready", with or without the carriage return
    // of its line end. Another line with code 100 ("100k", noise) is no ready notice.
    bool IsReadyNotice() const { return readyNotice_; }
    // The one status line that ends a command's answer: 200-299, or the station's refusal 3xx.
    bool Completes() const { return kind_ == Kind::Status && code_ >= 200 && code_ <= 399; }
    // A data line's tag: the text between "@" and the first comma (case counts); empty otherwise.
    std::string_view Tag() const { return tag_; }
    // A data line's fields after the tag, split at every comma: adjacent commas give an empty
    // field, a trailing comma an empty last one, a carriage return stays in the last. None for a
    // data line without a comma, and for other lines.
    std::vector<std::string> Fields() const;

    // atoi's reading of a number: leading white space, an optional sign, then digits up to the
    // first other character; 0 without digits; held to the 32-bit range instead of overflowing.
    static std::int32_t ReadNumber(std::string_view text);

private:
    Kind kind_ = Kind::Text;
    std::int32_t code_ = 0;
    bool readyNotice_ = false;
    std::string_view tag_;
    std::optional<std::string_view> fields_;  // the text after the tag's comma, if there is one
};
