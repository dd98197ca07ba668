// The range records' common ending. Every decoder of a range record (RANGE,
// RANGECMP and the later compressed formats) fills the port's decoded
// epoch with every observation of the record and then calls
// EmitDecodedEpoch, which gives all of them the same rules.
#pragma once

#include <cstdint>

#include "oem4/oem4_decoder.h"
#include "threadbuf/threadbuf.h"

// Computes each observation's loss-of-lock indication (lock-time rule, phase-lock and half-cycle flags of the status
// word), then builds the observation file's epoch from dec->decoded (screening, L2 choice, the 24-observation cut of
// compressed records, the channel cut), attaches position/clock, and puts the records into buf. Returns RK_EPOCH or 0.
int32_t EmitDecodedEpoch(Oem4Decoder *dec, ThreadBuf *buf);

// Starts the port's decoded epoch for the record being decoded: its time,
// week, time status and message id from the record header, no observations.
void BeginDecodedEpoch(Oem4Decoder *dec);
