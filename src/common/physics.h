// Physical and mathematical constants shared by the decoders, the
// navigation and the tools.
#pragma once

inline constexpr double kSpeedOfLight = 299792458.0; // m/s

// The interface documents scale the broadcast angles in semicircles with
// this value of pi, which is also the double nearest to pi.
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kDegreesPerRadian = 180.0 / kPi;
inline constexpr double kRadiansPerDegree = kPi / 180.0;
