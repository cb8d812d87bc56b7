#include "gps/GeoDistance.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kInitialLambdaPrev = 6.2831854820251465;
constexpr double kEpsilon = 1e-12;
constexpr int kPassLimit = 20;
} // namespace

double CGeoDistance::HaversineDistance(double lat1, double lat2, double lon1, double lon2, double radius) const
{
    const double dPhi = (lat2 - lat1) * kDegree;
    const double dLambda = (lon2 - lon1) * kDegree;
    const double s1 = std::sin(dPhi / 2.0);
    const double s2 = std::sin(dLambda / 2.0);
    // Near the antipode rounding can carry h a hair past 1, and sqrt(1 - h) would
    // turn the distance into NaN (e.g. 88.173677643054987 to -88.173677676878583).
    const double h =
        std::clamp(s1 * s1 + std::cos(lat1 * kDegree) * std::cos(lat2 * kDegree) * s2 * s2, 0.0, 1.0);
    const double c = 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h));
    return radius * c;
}

double CGeoDistance::VincentyDistance(double lat1, double lat2, double lon1, double lon2, double a, double b) const
{
    const double L = (lon2 - lon1) * kDegree;
    const double f = (a - b) / a;
    const double U1 = std::atan((1.0 - f) * std::tan(lat1 * kDegree));
    const double U2 = std::atan((1.0 - f) * std::tan(lat2 * kDegree));
    const double sinU1 = std::sin(U1), cosU1 = std::cos(U1);
    const double sinU2 = std::sin(U2), cosU2 = std::cos(U2);

    double lambda = L;
    double lambdaPrev = kInitialLambdaPrev;
    double sinSigma = 0.0, cosSigma = 0.0, sigma = 0.0;
    double sinAlpha = 0.0, cos2Alpha = 0.0, cos2SigmaM = 0.0;
    int passes = 0;

    while (std::fabs(lambda - lambdaPrev) > kEpsilon) {
        if (passes >= kPassLimit - 1)
            return 0.0; // no convergence: nearly antipodal points
        ++passes;
        const double sinLambda = std::sin(lambda), cosLambda = std::cos(lambda);
        const double t1 = cosU2 * sinLambda;
        const double t2 = cosU1 * sinU2 - sinU1 * cosU2 * cosLambda;
        sinSigma = std::sqrt(t1 * t1 + t2 * t2);
        cosSigma = sinU1 * sinU2 + cosU1 * cosU2 * cosLambda;
        sigma = std::atan2(sinSigma, cosSigma);
        if (sinSigma < kEpsilon) {
            // Coincident points.
            sinAlpha = 0.0;
            cos2Alpha = 1.0;
            cos2SigmaM = 0.0;
        } else {
            sinAlpha = cosU1 * cosU2 * sinLambda / sinSigma;
            cos2Alpha = 1.0 - sinAlpha * sinAlpha;
            // Along the equator cos^2(alpha) is 0 and the published convention takes
            // cos(2 sigma_m) = 0; dividing would give NaN (0/0) or a one-way result.
            cos2SigmaM = (cos2Alpha != 0.0) ? cosSigma - 2.0 * sinU1 * sinU2 / cos2Alpha : 0.0;
        }
        const double C = f / 16.0 * cos2Alpha * (4.0 + f * (4.0 - 3.0 * cos2Alpha));
        lambdaPrev = lambda;
        lambda = L + (1.0 - C) * f * sinAlpha *
                         (sigma + C * sinSigma * (cos2SigmaM + C * cosSigma * (-1.0 + 2.0 * cos2SigmaM * cos2SigmaM)));
    }

    const double uSq = cos2Alpha * (a * a - b * b) / (b * b);
    const double A = 1.0 + uSq / 16384.0 * (4096.0 + uSq * (-768.0 + uSq * (320.0 - 175.0 * uSq)));
    const double B = uSq / 1024.0 * (256.0 + uSq * (-128.0 + uSq * (74.0 - 47.0 * uSq)));
    const double deltaSigma =
        B * sinSigma *
        (cos2SigmaM + B / 4.0 *
                          (cosSigma * (-1.0 + 2.0 * cos2SigmaM * cos2SigmaM) -
                           B / 6.0 * cos2SigmaM * (-3.0 + 4.0 * sinSigma * sinSigma) *
                               (-3.0 + 4.0 * cos2SigmaM * cos2SigmaM)));
    return b * A * (sigma - deltaSigma);
}
