#pragma once

#include <string>

class IStation;
class TrackPower;

// The programming-track messages, direct ("R", "P") and in register mode ("Vn", "Sn vv"). Each
// waits for the station and tells the application the truth: a write is confirmed only when the
// station answered it with "200 Ok". Every operation that reaches the station is noted in the
// track power memory (the station switches the track off after it).
class CvService {
public:
    CvService(IStation& station, TrackPower& power) : station_(station), power_(power) {}

    // "P 001 03" (exactly 8 characters) writes CV 0x001 = 0x03: "P" when the station carried the
    // write out, "--" when it did not, and "--" without a write for fields that are not all hex
    // digits or a CV outside 1-1024; any other length writes nothing and is answered "P".
    std::string Write(const std::string& message);
    // "R 001" (exactly 5 characters) reads CV 0x001: "CV%03X%02X\rP" on success, "--" for a
    // wrong length or a CV field that is not three hex digits (the station is not asked), a
    // failed read or a value that does not fit two hex digits.
    std::string Read(const std::string& message);

    // True for a register read: "V" and a register digit 1-8, exactly two characters.
    static bool IsRegisterRead(const std::string& message);
    // "V1": "V", the digit, the value as two hex digits, "\rP"; "--" when the read fails and for
    // register 6 (the page register, not asked for).
    std::string ReadRegister(const std::string& message);
    // True for a register write: "S", a register digit 1-8, a blank, two hex digits.
    static bool IsRegisterWrite(const std::string& message);
    // "S1 05": "O" when the station carried the write out, "--" when not and for register 6.
    std::string WriteRegister(const std::string& message);

private:
    // The CV of register '1'-'8', or 0 for the page register, which has none.
    static int RegisterCv(char digit);
    bool ReadCv(int cv, int& value);
    bool WriteCv(int cv, int value);

    IStation& station_;
    TrackPower& power_;
};
