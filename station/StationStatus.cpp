#include "station/StationStatus.hpp"

#include <cstddef>
#include <string_view>

namespace {

constexpr std::string_view kPrefix = "@DSS,";
constexpr std::size_t kLength = 265;
// Where the station puts its separators; a line with one elsewhere is read out of place.
constexpr std::size_t kCommas[] = {1, 3, 5, 7, 11, 14, 16, 19};
constexpr std::size_t kSemicolons[] = {31, 47, 112};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The digits from..to (inclusive) as a number; -1 when one of them is not a digit.
int Digits(std::string_view text, std::size_t from, std::size_t to) {
    int value = 0;
    for (std::size_t i = from; i <= to; ++i) {
        if (!IsDigit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<StationStatus> StationStatus::Parse(std::string_view line) {
    if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    std::string_view body = line.substr(kPrefix.size());
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    if (body.size() != kLength) return std::nullopt;
    for (const std::size_t at : kCommas) {
        if (body[at] != ',') return std::nullopt;
    }
    for (const std::size_t at : kSemicolons) {
        if (body[at] != ';') return std::nullopt;
    }
    if (body[0] != 'Y' && body[0] != 'N') return std::nullopt;

    StationStatus status;
    status.trackOn_ = body[0] == 'Y';
    status.error_ = Digits(body, 2, 2);
    status.firmware_ = body[4];
    status.supplyTenths_ = Digits(body, 8, 10);
    status.hardware_ = body[15];
    status.counter_ = Digits(body, 17, 18);
    if (status.error_ < 0 || status.supplyTenths_ < 0 || status.counter_ < 0 ||
        !IsAlnum(status.firmware_) || !IsAlnum(status.hardware_)) {
        return std::nullopt;
    }
    return status;
}

bool StationStatus::Fault() const {
    return error_ == kSupplyTooLow || error_ == kSupplyTooHigh || error_ == kOverload;
}
