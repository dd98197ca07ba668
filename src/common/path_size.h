// Size of every path buffer of the driver and the writers (255 characters
// and a NUL).
#pragma once

#include <cstddef>

inline constexpr std::size_t kPathBufferSize = 256;
