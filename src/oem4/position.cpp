// Placeholder until the decoder lands: produces nothing.
#include "oem4/decoders.h"

int32_t DecodeBestpos(int32_t, ThreadBuf *) { return 0; }
int32_t DecodeClockModel(int32_t, ThreadBuf *) { return 0; }
int32_t DecodeMarktime(int32_t, ThreadBuf *) { return 0; }
