#pragma once

#include <string>

// Moves the calling thread into a network namespace of its own, whose only interface is the
// loopback (up), for as long as it lives: sockets the thread opens and programs it starts
// meanwhile belong to that namespace. The namespace goes away with the last process and socket
// in it, so nothing is left on the machine. Needs the privilege to create one (root).
class PrivateNetwork {
public:
    PrivateNetwork();
    // Returns the thread to the namespace it came from.
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    // Empty when the namespace is in place; otherwise why it is not.
    const std::string& Failure() const { return failure_; }

    // Sets the interface's flags to up; false with the reason in failure otherwise.
    static bool BringUp(const char* interface, std::string& failure);

private:
    int original_ = -1;
    bool entered_ = false;
    std::string failure_;
};
