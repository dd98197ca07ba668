#include "common/lasting_state.h"

FixState PreviousFix = {};

namespace {

uint32_t g_markCounter = 0;

} // namespace

uint32_t NextMarkNumber() { return ++g_markCounter; }

void StartNewSession() {
    PreviousFix = {};
    g_markCounter = 0;
}
