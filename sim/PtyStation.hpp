#pragma once

#include <string>
#include <vector>

// The master side of a pseudo-terminal pair, non-blocking, a watch on the opens and closes of
// its device side, and an optional symbolic link to the device side. Closing it (or destroying it)
// makes the device vanish as an unplugged USB adapter does: the opener's reads and writes fail, the
// device node and the link are gone.
class PtyStation {
public:
    PtyStation() = default;
    // Closes the master and removes the link.
    ~PtyStation();
    PtyStation(const PtyStation&) = delete;
    PtyStation& operator=(const PtyStation&) = delete;

    // Creates the pair with its device side in raw mode at 115200 baud and, when linkPath is
    // not empty, a link to it (replacing an existing link, never another kind of file).
    bool Open(const std::string& linkPath, std::string& error);
    // Closes the master and removes the link if it still points at this device. Idempotent.
    void Close();

    bool IsOpen() const { return master_ >= 0; }
    int Fd() const { return master_; }
    // Readable when the device side has been opened or closed since the last ReadEvents.
    int EventFd() const { return watch_; }
    const std::string& DeviceName() const { return deviceName_; }

    // What happened to the device side: one Opened or Closed per open file description (a
    // descriptor and its duplicates), Overflow when the system lost some of them.
    enum class Event { Opened, Closed, Overflow };
    // Appends the events since the last call, in order; never blocks.
    void ReadEvents(std::vector<Event>& events) const;

    // True while some process holds the device side open (the master reports no hang-up).
    bool PeerOpen() const;
    // True when opens or closes are waiting to be read by ReadEvents.
    bool EventsPending() const;
    // Discards bytes written to the master that the previous opener never read, so that a new
    // opener does not see them. True when it did, by opening and closing the device side once.
    bool DropUnreadOutput() const;
    // Suspends (or resumes) the output of the device side, so that its opener's writes block as
    // towards a device that takes no bytes. True when it did, by opening and closing the device
    // side once.
    bool SuspendDeviceOutput(bool suspend) const;

private:
    int master_ = -1;
    int watch_ = -1;  // inotify descriptor watching the device side
    std::string deviceName_;
    std::string linkPath_;
};
