// Bytes over time: a smoothed current speed and the time left for what remains.
#pragma once

#include <cstdint>

namespace transfer {

// Counts bytes and turns them into a speed that does not jump with every chunk: the rate
// of each window of at least half a second, blended into the previous value.
class TProgressMeter {
public:
    // Starts counting at NowMs.
    void Reset(std::uint64_t NowMs);
    // Adds Bytes moved by NowMs.
    void Add(std::int64_t Bytes, std::uint64_t NowMs);
    // The smoothed speed in bytes per second (0 until the first window has passed).
    double Speed() const { return FSpeed; }
    // Seconds left for Remaining bytes at the current speed; -1 when not known yet.
    std::int64_t SecondsLeft(std::int64_t Remaining) const;
    // Bytes counted since Reset.
    std::int64_t Total() const { return FTotal; }

private:
    std::uint64_t FWindowStart = 0;
    std::int64_t FWindowBytes = 0;
    std::int64_t FTotal = 0;
    double FSpeed = 0;
};

} // namespace transfer
