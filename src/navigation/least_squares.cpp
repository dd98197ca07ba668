// Least-squares receiver position and clock with single-satellite exclusion.
#include "navigation/least_squares.h"

#include <cmath>

#include "common/error_text.h"
#include "navigation/matrix.h"

namespace {

constexpr int32_t kDesignRows = static_cast<int32_t>(MAXCHAN) + 3; // room for 3 more rows
constexpr int32_t kUnknowns = 4;                                   // X, Y, Z, clock
constexpr int kMaxIterations = 7;
constexpr double kConverged = 0.1; // metres, every component of a correction
constexpr int32_t kMinSatsToExclude = 6;
constexpr int32_t kLastGpsPrn = 32;
constexpr int32_t kNoPrn = -1; // "no extra exclusion"; PRNs are never negative

// Allocated on first use and kept for the library's lifetime.
Matrix g_design = nullptr;
Matrix g_normal = nullptr;

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
    return prn > kLastGpsPrn || prn == extra || InList(exclusions, prn);
}

double GeometricRange(const SatState &sat, double x, double y, double z) {
    const double dx = x - sat.x, dy = y - sat.y, dz = z - sat.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// N = A^T A over the first rows rows of A, the lower triangle only: that is
// all InvertSymmetric reads, and it mirrors the inverse itself. Each element
// is summed as MultiplyMatrices sums it (from 0, row by row, in the matrix),
// so it is the same number; the upper triangle's six sums are skipped.
void NormalMatrix(Matrix a, int32_t rows, Matrix n) {
    for (int32_t i = 0; i < kUnknowns; ++i) {
        for (int32_t j = 0; j <= i; ++j) {
            n[i][j] = 0.0;
            for (int32_t k = 0; k < rows; ++k) n[i][j] += a[k][i] * a[k][j];
        }
    }
}

// Over 60 lines: the iterated least squares as one piece (design rows,
// normal matrix, inversion, update, convergence test), each step a few
// lines that share the iteration's arrays.
int32_t Solve(int32_t n, const MeasRecord *meas, const int32_t *exclusions, int32_t extra, const SatState *sats,
              double *x, double *y, double *z, double *clock) {
    if (n < 0 || n > static_cast<int32_t>(MAXCHAN)) {
        FormatErrorText("Error: NumSats is out of range (ns=%d)", n);
        return SOLVE_BAD_COUNT;
    }
    if (g_design == nullptr) {
        g_design = AllocMatrix(kDesignRows, kUnknowns);
    }
    if (g_normal == nullptr) {
        g_normal = AllocMatrix(kUnknowns, kUnknowns);
    }
    if (g_design == nullptr || g_normal == nullptr) {
        SetErrorText("Error: Not enough memory");
        return SOLVE_BAD_COUNT;
    }

    // The satellites that take part are the same in every iteration.
    bool takesPart[MAXCHAN];
    for (int32_t j = 0; j < n; ++j) takesPart[j] = !Skipped(meas[j].prn, exclusions, extra);

    *clock = 0.0;
    double misclosure[kDesignRows];
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        int32_t rows = 0;
        for (int32_t j = 0; j < n; ++j) {
            if (!takesPart[j]) {
                continue;
            }
            const double dx = *x - sats[j].x, dy = *y - sats[j].y, dz = *z - sats[j].z;
            const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
            g_design[rows][0] = dx / rho;
            g_design[rows][1] = dy / rho;
            g_design[rows][2] = dz / rho;
            g_design[rows][3] = 1.0;
            misclosure[rows] = rho + *clock - meas[j].l1Pseudorange; // computed minus observed
            ++rows;
        }
        if (rows < kUnknowns) {
            FormatErrorText("Error: Not enough satellites, need at least 4: %d", rows);
            return SOLVE_TOO_FEW_SATS;
        }

        NormalMatrix(g_design, rows, g_normal);
        if (InvertSymmetric(g_normal, kUnknowns) != INV_OK) {
            SetErrorText("Error: Inversion failure on solving position and clock shift computation");
            return SOLVE_INVERSION_FAILED;
        }
        double u[kUnknowns] = {0.0, 0.0, 0.0, 0.0};
        for (int32_t k = 0; k < rows; ++k) {
            for (int32_t i = 0; i < kUnknowns; ++i) {
                u[i] += g_design[k][i] * misclosure[k];
            }
        }
        double d[kUnknowns];
        MultiplyMatrixVector(g_normal, kUnknowns, kUnknowns, u, kUnknowns, d);

        *x -= d[0];
        *y -= d[1];
        *z -= d[2];
        *clock -= d[3];
        if (std::fabs(d[0]) < kConverged && std::fabs(d[1]) < kConverged && std::fabs(d[2]) < kConverged &&
            std::fabs(d[3]) < kConverged) {
            return SOLVE_OK;
        }
    }
    SetErrorText("Error: Solution did not converge");
    return SOLVE_NO_CONVERGENCE;
}

int32_t WorstResidual(int32_t n, const MeasRecord *meas, const int32_t *exclusions, int32_t extra, const SatState *sats,
                      double limit, double x, double y, double z, double clock, double *largest) {
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

int32_t SolvePositionClock(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                           double *x, double *y, double *z, double *clock) {
    return Solve(n, meas, exclusions, kNoPrn, sats, x, y, z, clock);
}

int32_t FindWorstResidual(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                          double limit, double *x, double *y, double *z, double *clock, double *largest) {
    return WorstResidual(n, meas, exclusions, kNoPrn, sats, limit, *x, *y, *z, *clock, largest);
}

int32_t SolveWithExclusion(int32_t n, const MeasRecord *meas, const int32_t *exclusions, const SatState *sats,
                           double limit, double *x, double *y, double *z, double *clock) {
    double largest = 0.0;
    if (WorstResidual(n, meas, exclusions, kNoPrn, sats, limit, *x, *y, *z, *clock, &largest) == -1) {
        return EXCLUDE_NONE_NEEDED;
    }
    // Glonass satellites count here although no solution uses them.
    int32_t candidates = 0;
    for (int32_t j = 0; j < n; ++j) {
        if (!InList(exclusions, meas[j].prn)) {
            ++candidates;
        }
    }
    if (candidates < kMinSatsToExclude) {
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
