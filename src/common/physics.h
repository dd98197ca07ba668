// Physical constants shared by the decoders, the navigation and the tools.
#pragma once

inline constexpr double kSpeedOfLight = 299792458.0; // m/s
