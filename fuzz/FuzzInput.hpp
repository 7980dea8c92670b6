#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One fuzz input cut into two streams: payload bytes taken from the front, control bytes (chunk
// sizes, station answers) taken from the back. The first byte of the input says how many bytes
// at its end are control, so a seed that is plain text after one zero byte means exactly that
// text with default control.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) {
        if (size == 0) return;
        const std::size_t control = data[0] < size - 1 ? data[0] : size - 1;
        front_ = data + 1;
        back_ = data + size;
        controlEnd_ = back_ - control;
    }

    // The next control byte, or fallback once the control bytes are used up.
    std::uint8_t Control(std::uint8_t fallback) {
        if (back_ == controlEnd_) return fallback;
        return *--back_;
    }
    bool HasControl() const { return back_ != controlEnd_; }

    // Up to n payload bytes.
    std::string Take(std::size_t n) {
        const std::size_t left = PayloadLeft();
        if (n > left) n = left;
        std::string bytes(reinterpret_cast<const char*>(front_), n);
        front_ += n;
        return bytes;
    }
    std::size_t PayloadLeft() const { return static_cast<std::size_t>(controlEnd_ - front_); }

private:
    const std::uint8_t* front_ = nullptr;
    const std::uint8_t* controlEnd_ = nullptr;  // payload ends here, control begins
    const std::uint8_t* back_ = nullptr;        // control is read backwards from here
};
