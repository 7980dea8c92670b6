#include "protocol/CvService.hpp"

#include "protocol/HexFields.hpp"
#include "protocol/IStation.hpp"
#include "protocol/TrackPower.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace {

const char kFailed[] = "--";
// The CVs a decoder has.
constexpr std::int32_t kFirstCv = 1;
constexpr std::int32_t kLastCv = 1024;

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

int CvService::RegisterCv(char digit) {
    // Registers 1-4 are CVs 1-4, 5 is CV 29 (configuration), 7 and 8 are CVs 7 and 8.
    static const int kCvs[] = {1, 2, 3, 4, 29, 0, 7, 8};
    return kCvs[digit - '1'];
}

bool CvService::ReadCv(int cv, int& value) {
    std::int32_t read = -1;
    const bool ok = station_.GetLocoConfig(cv, read) == CommandOutcome::Done;
    power_.Programmed();
    if (!ok || read < 0 || read > 0xFF) return false;
    value = read;
    return true;
}

bool CvService::WriteCv(int cv, int value) {
    const bool ok = station_.SetLocoConfig(cv, value) == CommandOutcome::Done;
    power_.Programmed();
    return ok;
}

std::string CvService::Write(const std::string& message) {
    if (message.size() != 8) return "P";
    // A service-mode write reaches every decoder on the track: only well-formed fields, and
    // only a CV that exists.
    std::int32_t cv = 0;
    std::int32_t value = 0;
    if (!ReadHexDigits(message.data() + 2, 3, cv) || !ReadHexDigits(message.data() + 6, 2, value) ||
        cv < kFirstCv || cv > kLastCv) {
        return kFailed;
    }
    return WriteCv(cv, value) ? "P" : kFailed;
}

std::string CvService::Read(const std::string& message) {
    std::int32_t cv = 0;
    if (message.size() != 5 || !ReadHexDigits(message.data() + 2, 3, cv)) return kFailed;
    int value = 0;
    if (!ReadCv(cv, value)) return kFailed;
    char reply[16];
    std::snprintf(reply, sizeof reply, "CV%03X%02X\rP", static_cast<unsigned>(cv),
                  static_cast<unsigned>(value));
    return reply;
}

bool CvService::IsRegisterRead(const std::string& message) {
    return message.size() == 2 && message[0] == 'V' && message[1] >= '1' && message[1] <= '8';
}

std::string CvService::ReadRegister(const std::string& message) {
    const int cv = RegisterCv(message[1]);
    int value = 0;
    if (cv == 0 || !ReadCv(cv, value)) return kFailed;
    char reply[8];
    std::snprintf(reply, sizeof reply, "V%c%02X\rP", message[1], static_cast<unsigned>(value));
    return reply;
}

bool CvService::IsRegisterWrite(const std::string& message) {
    return message.size() == 5 && message[0] == 'S' && message[1] >= '1' && message[1] <= '8' &&
           message[2] == ' ' && IsHexDigit(message[3]) && IsHexDigit(message[4]);
}

std::string CvService::WriteRegister(const std::string& message) {
    const int cv = RegisterCv(message[1]);
    if (cv == 0) return kFailed;
    return WriteCv(cv, ParseHex2(message.data() + 3)) ? "O" : kFailed;
}
