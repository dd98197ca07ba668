// Least-squares receiver position and clock with single-satellite exclusion.
#include "navigation/least_squares.h"

#include <cmath>

#include "api/error_text.h"
#include "navigation/matrix.h"

namespace {

constexpr int32_t DESIGN_ROWS = 27; // 24 satellites plus room for 3 more rows
constexpr int32_t UNKNOWNS = 4;     // X, Y, Z, clock
constexpr int MAX_ITERATIONS = 7;
constexpr double CONVERGED = 0.1;   // metres, every component of a correction
constexpr int32_t MIN_SATS_TO_EXCLUDE = 6;
constexpr int32_t LAST_GPS_PRN = 32;
constexpr int32_t NO_PRN = -1;      // "no extra exclusion"; PRNs are never negative

// Allocated on first use and kept for the library's lifetime.
Matrix Design = nullptr;
Matrix Normal = nullptr;

bool InList(const int32_t *list, int32_t prn) {
    if (list == nullptr) {
        return false;
    }
    for (; *list != 0; ++list) {
        if (*list == prn) {
            return true;
        }
    }
    return false;
}

// A measurement takes part when it is GPS and neither on the list nor the
// extra PRN of a trial exclusion.
bool Skipped(int32_t prn, const int32_t *exclusions, int32_t extra) {
    return prn > LAST_GPS_PRN || prn == extra || InList(exclusions, prn);
}

double GeometricRange(const SatState &sat, double x, double y, double z) {
    const double dx = x - sat.x, dy = y - sat.y, dz = z - sat.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

int32_t Solve(int32_t n, const MeasRecord *meas, const int32_t *exclusions, int32_t extra,
              const SatState *sats, double *x, double *y, double *z, double *clock) {
    if (n < 0 || n > SOLVER_MAX_SATS) {
        FormatErrorText("Error: NumSats is out of range (ns=%d)", n);
        return SOLVE_BAD_COUNT;
    }
    if (Design == nullptr) {
        Design = AllocMatrix(DESIGN_ROWS, UNKNOWNS);
    }
    if (Normal == nullptr) {
        Normal = AllocMatrix(UNKNOWNS, UNKNOWNS);
    }
    if (Design == nullptr || Normal == nullptr) {
        SetErrorText("Error: Not enough memory");
        return SOLVE_BAD_COUNT;
    }

    *clock = 0.0;
    double misclosure[DESIGN_ROWS];
    for (int iteration = 0; iteration < MAX_ITERATIONS; ++iteration) {
        int32_t rows = 0;
        for (int32_t j = 0; j < n; ++j) {
            if (Skipped(meas[j].prn, exclusions, extra)) {
                continue;
            }
            const double dx = *x - sats[j].x, dy = *y - sats[j].y, dz = *z - sats[j].z;
            const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
            Design[rows][0] = dx / rho;
            Design[rows][1] = dy / rho;
            Design[rows][2] = dz / rho;
            Design[rows][3] = 1.0;
            misclosure[rows] = rho + *clock - meas[j].l1Pseudorange; // computed minus observed
            ++rows;
        }
        if (rows < UNKNOWNS) {
            FormatErrorText("Error: Not enough satellites, need at least 4: %d", rows);
            return SOLVE_TOO_FEW_SATS;
        }

        MultiplyMatrices(Design, rows, UNKNOWNS, Design, rows, UNKNOWNS, Normal, MULTIPLY_ATB);
        if (InvertSymmetric(Normal, UNKNOWNS) != INV_OK) {
            SetErrorText("Error: Inversion failure on solving position and clock shift computation");
            return SOLVE_INVERSION_FAILED;
        }
        double u[UNKNOWNS] = {0.0, 0.0, 0.0, 0.0};
        for (int32_t k = 0; k < rows; ++k) {
            for (int32_t i = 0; i < UNKNOWNS; ++i) {
                u[i] += Design[k][i] * misclosure[k];
            }
        }
        double d[UNKNOWNS];
        MultiplyMatrixVector(Normal, UNKNOWNS, UNKNOWNS, u, UNKNOWNS, d);

        *x -= d[0];
        *y -= d[1];
        *z -= d[2];
        *clock -= d[3];
        if (std::fabs(d[0]) < CONVERGED && std::fabs(d[1]) < CONVERGED &&
            std::fabs(d[2]) < CONVERGED && std::fabs(d[3]) < CONVERGED) {
            return SOLVE_OK;
        }
    }
    SetErrorText("Error: Solution did not converge");
    return SOLVE_NO_CONVERGENCE;
}

int32_t WorstResidual(int32_t n, const MeasRecord *meas, const int32_t *exclusions, int32_t extra,
                      const SatState *sats, double limit, double x, double y, double z,
                      double clock, double *largest) {
    *largest = 0.0;
    int32_t worst = -1;
    for (int32_t j = 0; j < n; ++j) {
        if (Skipped(meas[j].prn, exclusions, extra)) {
            continue;
        }
        double residual = std::fabs(GeometricRange(sats[j], x, y, z) + clock - meas[j].l1Pseudorange);
        // A residual that is not a number must not pass as consistent.
        if (std::isnan(residual)) {
            residual = INFINITY;
        }
        if (residual > limit && residual > *largest) {
            *largest = residual;
            worst = meas[j].prn;
        }
    }
    return worst;
}

} // namespace

int32_t SolvePositionClock(int32_t n, const MeasRecord *meas, const int32_t *exclusions,
                           const SatState *sats, double *x, double *y, double *z, double *clock) {
    return Solve(n, meas, exclusions, NO_PRN, sats, x, y, z, clock);
}

int32_t FindWorstResidual(int32_t n, const MeasRecord *meas, const int32_t *exclusions,
                          const SatState *sats, double limit, double *x, double *y, double *z,
                          double *clock, double *largest) {
    return WorstResidual(n, meas, exclusions, NO_PRN, sats, limit, *x, *y, *z, *clock, largest);
}

int32_t SolveWithExclusion(int32_t n, const MeasRecord *meas, const int32_t *exclusions,
                           const SatState *sats, double limit, double *x, double *y, double *z,
                           double *clock) {
    double largest = 0.0;
    if (WorstResidual(n, meas, exclusions, NO_PRN, sats, limit, *x, *y, *z, *clock, &largest) == -1) {
        return EXCLUDE_NONE_NEEDED;
    }
    // Glonass satellites count here although no solution uses them.
    int32_t candidates = 0;
    for (int32_t j = 0; j < n; ++j) {
        if (!InList(exclusions, meas[j].prn)) {
            ++candidates;
        }
    }
    if (candidates < MIN_SATS_TO_EXCLUDE) {
        return EXCLUDE_BAD_DATA;
    }
    // Candidates in measurement order: the first exclusion that leaves every
    // residual within the limit is taken, not necessarily the worst range.
    for (int32_t j = 0; j < n; ++j) {
        const int32_t candidate = meas[j].prn;
        if (InList(exclusions, candidate)) {
            continue;
        }
        const int32_t result = Solve(n, meas, exclusions, candidate, sats, x, y, z, clock);
        if (result == SOLVE_BAD_COUNT) {
            return EXCLUDE_SOLVE_FAILED;
        }
        if (result != SOLVE_OK) {
            continue;
        }
        if (WorstResidual(n, meas, exclusions, candidate, sats, limit, *x, *y, *z, *clock, &largest) == -1) {
            return EXCLUDE_ONE;
        }
    }
    return EXCLUDE_BAD_DATA;
}
