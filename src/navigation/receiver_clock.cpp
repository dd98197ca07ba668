// Placeholder until the navigation code lands: recomputation is refused.
#include "navigation/receiver_clock.h"

#include "api/error_text.h"

int32_t RecomputeReceiverClock(EpochRecord *, MeasRecord *, int32_t, double, double, double,
                               double *) {
    SetErrorText("Error: Receiver clock recomputation is not available");
    return 1;
}
