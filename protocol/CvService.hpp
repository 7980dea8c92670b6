#pragma once

#include <string>

class IStation;

// The programming-track messages: "P" writes one CV, "R" reads one. Both wait for the station.
class CvService {
public:
    explicit CvService(IStation& station) : station_(station) {}

    // "P 001 03" (exactly 8 characters) writes CV 0x001 = 0x03; the reply is "P" whatever the
    // form or the station's answer.
    std::string Write(const std::string& message);
    // "R 001" (exactly 5 characters) reads CV 0x001: "CV%03X%02X\rP" on success, "--" for a
    // wrong length, a negative CV field (the station is not asked), a failed read or a value
    // that does not fit two hex digits.
    std::string Read(const std::string& message);

private:
    IStation& station_;
};
