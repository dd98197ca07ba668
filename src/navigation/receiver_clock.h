// Recomputation of an epoch's receiver clock offset (and position) from a
// single-frequency least-squares point position.
#pragma once

#include <cstdint>

#include "threadbuf/payloads.h"

// epoch and meas are the staged records of one epoch (meas holds
// epoch->satCount records). Returns 0 on success with the clock offset
// (metres) in clockOffset; 1 on failure with the text to report in
// ErrorText. In mode 3 a success has already written the epoch's position,
// flag bit 0, clock offset and corrected time.
int32_t RecomputeReceiverClock(EpochRecord *epoch, MeasRecord *meas, int32_t mode,
                               double latitude, double longitude, double height,
                               double *clockOffset);
