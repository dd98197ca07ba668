// The observation file's rules over a decoded epoch: which observations the
// .tsq file takes and how its epoch is built from them.
#pragma once

#include <cstdint>

#include "oem4/oem4_decoder.h"
#include "threadbuf/threadbuf.h"

// Builds the observation file's epoch from the port's decoded epoch (its
// observations' loss-of-lock indications already computed), attaches
// position and clock, and puts the epoch, measurement and tracking records
// into buf. Returns RK_EPOCH, or 0 when the epoch gives the file nothing.
// When the file's epoch was built, its clock offset and position are copied
// into the decoded epoch and *attached is set.
int32_t PutTsqEpoch(Oem4Decoder *dec, ThreadBuf *buf, bool *attached);
