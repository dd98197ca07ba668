#include "common/lasting_state.h"

FixState PreviousFix = {};
uint32_t g_markCounter = 0;
