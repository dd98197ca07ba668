// Iterated, unweighted least-squares solution of the receiver position and
// clock offset from corrected L1 pseudoranges, with single-satellite
// exclusion when one range is inconsistent.
//
// Only GPS satellites (PRN 1 to 32) enter a solution. Measurements and
// satellites are parallel arrays of n entries; a measurement whose PRN
// stands in the 0-terminated exclusion list is skipped. Positions are
// Earth-fixed metres, the clock offset is in metres.
#pragma once

#include <cstdint>

#include "common/oem4_format.h"
#include "common/sat_state.h"
#include "threadbuf/payloads.h"

// Most satellites in one solution: MAXCHAN, the most an epoch can hold.

// Results of SolvePositionClock; every non-zero one leaves its message in
// ErrorText.
inline constexpr int32_t SOLVE_OK = 0;
inline constexpr int32_t SOLVE_BAD_COUNT = 1; // n out of range, or no memory
inline constexpr int32_t SOLVE_NO_CONVERGENCE = 2;
inline constexpr int32_t SOLVE_INVERSION_FAILED = 3;
inline constexpr int32_t SOLVE_TOO_FEW_SATS = 4; // fewer than 4 usable GPS satellites

// Results of SolveWithExclusion.
inline constexpr int32_t EXCLUDE_NONE_NEEDED = 0;   // every residual within the limit
inline constexpr int32_t EXCLUDE_ONE = -1;          // solved without one satellite
inline constexpr int32_t EXCLUDE_BAD_DATA = 60;     // no consistent set found
inline constexpr int32_t EXCLUDE_SOLVE_FAILED = 61; // a re-solve returned SOLVE_BAD_COUNT

// Starts from the given X, Y, Z and clock 0; at most 7 iterations, stopping
// once every correction is below 0.1 m. On results 2, 3 and 4 the position
// and clock hold the last update made.
int32_t SolvePositionClock(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                           double *x, double *y, double *z, double *clock);

// PRN of the satellite with the largest residual above limit (the earlier
// one on a tie), or -1 when none exceeds it; largest receives that residual
// (0.0 when none). A residual that is not a number counts as infinitely large.
int32_t FindWorstResidual(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                          double limit, double *x, double *y, double *z, double *clock, double *largest);

// Call after SolvePositionClock returned 0. When some residual exceeds the
// limit and at least 6 satellites are not excluded, re-solves without each
// one in measurement order and keeps the first solution whose residuals are
// all within the limit.
int32_t SolveWithExclusion(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                           double limit, double *x, double *y, double *z, double *clock);
