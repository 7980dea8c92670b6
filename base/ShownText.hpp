#pragma once

#include <string>

// Client or station text as the console shows it: bytes below 0x20 other than the tab, a carriage
// return anywhere but at the very end, 0x7F and bytes above 0x7F are written as \xNN (two
// upper-case hex digits), so that a peer cannot steer the operator's terminal or overwrite its
// line, and a NUL byte does not cut the line short. Everything else, ordinary traffic and the
// carriage return that ends a station's line included, is shown byte for byte and is not
// copied.
class ShownText {
public:
    // Refers to text, which must outlive this object.
    explicit ShownText(const std::string& text);

    // The text to print, NUL-terminated; valid while this object lives.
    const char* c_str() const { return escaped_ ? shown_.c_str() : text_.c_str(); }

private:
    const std::string& text_;
    bool escaped_ = false;
    std::string shown_;
};
