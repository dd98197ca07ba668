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
// tryOnePass false: the caller knows that the epoch's observations do not
// all map one to one onto slots (PutTsqEpochFromRangecmp said so).
int32_t PutTsqEpoch(Oem4Decoder *dec, ThreadBuf *buf, bool *attached, bool tryOnePass = true);

// For a port without reportAll whose decoded epochs nobody receives: the
// observation file's epoch straight from the port's RANGECMP record (after
// BeginDecodedEpoch), when its observations map one to one onto slots,
// without decoding them into the decoded epoch, which then holds the
// record's header and count only. Returns false, having changed nothing
// PutTsqEpoch reads, for a record that needs the decoded epoch; else *kind
// is what PutTsqEpoch would have returned.
bool PutTsqEpochFromRangecmp(Oem4Decoder *dec, ThreadBuf *buf, int32_t *kind);
