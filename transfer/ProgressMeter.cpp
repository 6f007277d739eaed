// Smoothed speed and time left.
#include "transfer/ProgressMeter.h"

#include <cmath>

namespace transfer {

namespace {
constexpr std::uint64_t kWindowMs = 500;
constexpr double kWeight = 0.3;   // share of the newest window in the speed shown
} // namespace

void TProgressMeter::Reset(std::uint64_t NowMs)
{
    FWindowStart = NowMs;
    FWindowBytes = 0;
    FTotal = 0;
    FSpeed = 0;
}

void TProgressMeter::Add(std::int64_t Bytes, std::uint64_t NowMs)
{
    FWindowBytes += Bytes;
    FTotal += Bytes;
    if (NowMs < FWindowStart + kWindowMs)
        return;
    double rate = double(FWindowBytes) * 1000.0 / double(NowMs - FWindowStart);
    FSpeed = FSpeed <= 0 ? rate : kWeight * rate + (1 - kWeight) * FSpeed;
    FWindowStart = NowMs;
    FWindowBytes = 0;
}

std::int64_t TProgressMeter::SecondsLeft(std::int64_t Remaining) const
{
    if (FSpeed <= 0)
        return -1;
    if (Remaining <= 0)
        return 0;
    return std::int64_t(std::ceil(double(Remaining) / FSpeed));
}

} // namespace transfer
