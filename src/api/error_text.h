// The message buffer of every layer, and the abort request counter that the
// exported Abort raises and the conversion driver reads once per block.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/error_text.h"

extern std::atomic<int32_t> AbortCount;
