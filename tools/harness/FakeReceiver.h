#pragma once

// Thread guarantees: `write` may be called from any one thread at a time; the rest is
// immutable after construction.

#include <string>

namespace lumvex::harness {

/// A pseudo-terminal in raw mode that gpsd reads as a GPS receiver; what is written into it
/// is the receiver's output.
class FakeReceiver {
public:
    FakeReceiver();
    ~FakeReceiver();
    FakeReceiver(const FakeReceiver&) = delete;
    FakeReceiver& operator=(const FakeReceiver&) = delete;

    /// The device path to give gpsd; empty when the terminal could not be opened.
    const std::string& devicePath() const { return path_; }
    /// Why the terminal could not be opened; empty when it was.
    const std::string& error() const { return error_; }
    /// Writes `nmea` as the receiver's output. Returns whether all of it was written.
    bool write(const std::string& nmea);

private:
    int master_ = -1;
    int slave_ = -1;  // held open so that the terminal outlives gpsd closing and reopening it
    std::string path_;
    std::string error_;
};

}  // namespace lumvex::harness
