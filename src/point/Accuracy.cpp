#include "point/Accuracy.h"

#include <cmath>

namespace {

// A value that is not a finite, non-negative number of metres (a nonsense GST
// field) makes no accuracy at any confidence.
std::optional<double> Scaled(bool present, double metres, double factor)
{
    if (!present || !std::isfinite(metres) || metres < 0.0)
        return std::nullopt;
    return metres * factor;
}

} // namespace

std::optional<double> HAccuracy95(const GPS_QUALITY& quality)
{
    return Scaled(quality.Has(QUALITY_H_ACCURACY), quality.dfHAccuracy, kHAccuracy95PerDrms);
}

std::optional<double> VAccuracy95(const GPS_QUALITY& quality)
{
    return Scaled(quality.Has(QUALITY_V_ACCURACY), quality.dfVAccuracy, kVAccuracy95PerSigma);
}
