#include "protocol/CvService.hpp"

#include "protocol/HexFields.hpp"
#include "protocol/IStation.hpp"

#include <cstdint>
#include <cstdio>

std::string CvService::Write(const std::string& message) {
    if (message.size() == 8) {
        const std::int32_t cv = ParseHex3(message.data() + 2);
        const std::int32_t value = ParseHex2(message.data() + 6);
        station_.SetLocoConfig(cv, value);
    }
    return "P";
}

std::string CvService::Read(const std::string& message) {
    static const std::string kFailed = "--";
    if (message.size() != 5) return kFailed;
    const std::int32_t cv = ParseHex3(message.data() + 2);
    if (cv < 0) return kFailed;  // "CV%03X" has no room for it
    std::int32_t value = -1;
    if (!station_.GetLocoConfig(cv, value) || value < 0 || value > 0xFF) return kFailed;
    char reply[16];
    std::snprintf(reply, sizeof reply, "CV%03X%02X\rP", static_cast<unsigned>(cv),
                  static_cast<unsigned>(value));
    return reply;
}
