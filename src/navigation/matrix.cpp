// Dense-matrix kit with Cholesky inversion for the least-squares solver.
#include "navigation/matrix.h"

#include <cmath>
#include <new>

namespace {

// Pivots smaller than this are treated as zero.
constexpr double kTiny = 1e-40;

// Test hook: allocations left before one is made to fail; -1 = off.
int32_t g_allocationFaultCountdown = -1;

bool InjectedAllocationFailure() {
    if (g_allocationFaultCountdown < 0) return false;
    if (g_allocationFaultCountdown-- == 0) return true;
    return false;
}

template <typename T> T *Allocate(size_t count) {
    if (InjectedAllocationFailure()) return nullptr;
    return new (std::nothrow) T[count];
}

} // namespace

void SetMatrixAllocationFault(int32_t countdown) { g_allocationFaultCountdown = countdown < 0 ? -1 : countdown; }

Matrix AllocMatrix(int32_t rows, int32_t cols) {
    if (rows <= 0 || cols <= 0) return nullptr;
    Matrix m = Allocate<double *>(static_cast<size_t>(rows));
    if (m == nullptr) return nullptr;
    for (int32_t i = 0; i < rows; ++i) {
        m[i] = Allocate<double>(static_cast<size_t>(cols));
        if (m[i] == nullptr) {
            // Nothing may stay allocated after a failure.
            FreeMatrix(m, i);
            return nullptr;
        }
    }
    return m;
}

void FreeMatrix(Matrix m, int32_t rows) {
    if (m == nullptr) return;
    for (int32_t i = rows - 1; i >= 0; --i) delete[] m[i];
    delete[] m;
}

void ZeroMatrix(Matrix m, int32_t rows, int32_t cols) {
    if (m == nullptr) return;
    for (int32_t i = 0; i < rows; ++i)
        for (int32_t j = 0; j < cols; ++j) m[i][j] = 0.0;
}

void MultiplyMatrices(Matrix a, int32_t rowsA, int32_t colsA, Matrix b, int32_t rowsB, int32_t colsB, Matrix r,
                      int32_t mode) {
    if (a == nullptr || b == nullptr || r == nullptr) return;
    if (rowsA < 0 || colsA < 0 || rowsB < 0 || colsB < 0) return;
    switch (mode) {
    case MULTIPLY_AB:
        if (colsA != rowsB) return;
        ZeroMatrix(r, rowsA, colsB);
        for (int32_t i = 0; i < rowsA; ++i)
            for (int32_t j = 0; j < colsB; ++j)
                for (int32_t k = 0; k < colsA; ++k) r[i][j] += a[i][k] * b[k][j];
        break;
    case MULTIPLY_ATB:
        if (rowsA != rowsB) return;
        ZeroMatrix(r, colsA, colsB);
        for (int32_t i = 0; i < colsA; ++i)
            for (int32_t j = 0; j < colsB; ++j)
                for (int32_t k = 0; k < rowsA; ++k) r[i][j] += a[k][i] * b[k][j];
        break;
    case MULTIPLY_ABT:
        if (colsA != colsB) return;
        ZeroMatrix(r, rowsA, rowsB);
        for (int32_t i = 0; i < rowsA; ++i)
            for (int32_t j = 0; j < rowsB; ++j)
                for (int32_t k = 0; k < colsA; ++k) r[i][j] += a[i][k] * b[j][k];
        break;
    default: break;
    }
}

void MultiplyMatrixVector(Matrix m, int32_t rows, int32_t cols, const double *x, int32_t length, double *y) {
    if (m == nullptr || x == nullptr || y == nullptr || cols != length || rows < 0) return;
    for (int32_t i = 0; i < rows; ++i) {
        y[i] = 0.0;
        for (int32_t j = 0; j < cols; ++j) y[i] += m[i][j] * x[j];
    }
}

int32_t InvertSymmetric(Matrix m, int32_t n) {
    if (m == nullptr || n <= 0) return INV_OK;

    // Screening of the input diagonal. The negated comparisons also turn
    // away NaN, which would otherwise slip through every test below and
    // come out as an "inverse" full of NaN.
    for (int32_t i = 0; i < n; ++i) {
        if (!(m[i][i] >= 0.0) || std::isinf(m[i][i])) return INV_NOT_POSITIVE_DEFINITE;
        if (std::fabs(m[i][i]) < kTiny) return INV_SINGULAR;
    }

    // Cholesky factor L (M = L * L^T) into the lower triangle.
    for (int32_t j = 0; j < n; ++j) {
        double d = m[j][j];
        for (int32_t k = 0; k < j; ++k) d -= m[j][k] * m[j][k];
        if (!(d >= 0.0)) return INV_SQRT_NEGATIVE;
        m[j][j] = std::sqrt(d);
        // The pivot is tested for every column, the last one included: a
        // singular matrix whose last reduced diagonal cancels to zero would
        // otherwise be "inverted" into infinities and reported as success.
        if (std::fabs(m[j][j]) < kTiny) return INV_DIVIDE_BY_ZERO;
        for (int32_t k = j + 1; k < n; ++k) {
            double s = m[k][j];
            for (int32_t l = 0; l < j; ++l) s -= m[k][l] * m[j][l];
            m[k][j] = s / m[j][j];
        }
    }

    // L^-1 in place. Row k's diagonal is still L's when column j < k is
    // processed, because it is inverted only when j reaches k.
    for (int32_t j = 0; j < n; ++j) {
        m[j][j] = 1.0 / m[j][j];
        for (int32_t k = j + 1; k < n; ++k) {
            m[k][j] = -m[k][j] * m[j][j] / m[k][k];
            for (int32_t l = j + 1; l < k; ++l) m[k][j] -= m[k][l] * m[l][j] / m[k][k];
        }
    }

    // (L^-1)^T * L^-1 into the lower triangle; each element reads only
    // elements not yet overwritten in this order.
    for (int32_t j = 0; j < n; ++j) {
        for (int32_t k = j; k < n; ++k) {
            double s = m[k][k] * m[k][j];
            for (int32_t l = k + 1; l < n; ++l) s += m[l][k] * m[l][j];
            m[k][j] = s;
        }
    }

    for (int32_t i = 1; i < n; ++i)
        for (int32_t j = 0; j < i; ++j) m[j][i] = m[i][j];
    return INV_OK;
}
