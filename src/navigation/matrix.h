// Small dense-matrix kit for the least-squares solver: row-pointer matrices
// of doubles, products with optional transposition, and in-place inversion
// of a symmetric positive-definite matrix through its Cholesky factor.
//
// A Matrix does not know its own size: every operation takes the dimensions
// it works on. The solver needs at most a 27 x 4 design matrix and a 4 x 4
// normal matrix, so everything here is plain loops without work space.
#pragma once

#include <cstdint>

// Array of row pointers; row i points to cols consecutive doubles.
using Matrix = double **;

// Results of InvertSymmetric. The first failing test decides.
inline constexpr int32_t INV_OK = 0;
// A diagonal element of the input is negative (or not a finite number).
inline constexpr int32_t INV_NOT_POSITIVE_DEFINITE = 1;
// A diagonal element of the input is smaller than 1e-40 in magnitude.
inline constexpr int32_t INV_SINGULAR = 2;
// A reduced diagonal element became negative during the factorisation.
inline constexpr int32_t INV_SQRT_NEGATIVE = 3;
// A diagonal element of the factor is smaller than 1e-40 in magnitude.
inline constexpr int32_t INV_DIVIDE_BY_ZERO = 4;

// Modes of MultiplyMatrices.
inline constexpr int32_t MULTIPLY_AB = 0;  // R = A * B
inline constexpr int32_t MULTIPLY_ATB = 1; // R = transpose(A) * B
inline constexpr int32_t MULTIPLY_ABT = 2; // R = A * transpose(B)

// Allocates the row pointers, then each row (values not initialised).
// Returns nullptr, with nothing left allocated, when any allocation fails
// or a dimension is not positive.
Matrix AllocMatrix(int32_t rows, int32_t cols);
// Releases the rows from the last to the first, then the pointer array.
// A null matrix is ignored.
void FreeMatrix(Matrix m, int32_t rows);
void ZeroMatrix(Matrix m, int32_t rows, int32_t cols);

// R must be a distinct, allocated matrix of the result's size:
// mode 0 rowsA x colsB (colsA == rowsB), mode 1 colsA x colsB
// (rowsA == rowsB), mode 2 rowsA x rowsB (colsA == colsB). R is zeroed and
// accumulated. Dimensions that do not agree, or an unknown mode, leave R
// untouched.
void MultiplyMatrices(Matrix a, int32_t rowsA, int32_t colsA, Matrix b, int32_t rowsB, int32_t colsB, Matrix r,
                      int32_t mode);
// y = M * x; y has rows entries. When cols != length, y is left untouched.
void MultiplyMatrixVector(Matrix m, int32_t rows, int32_t cols, const double *x, int32_t length, double *y);

// Inverts an n x n symmetric positive-definite matrix in place. Only the
// lower triangle of the input is read; on INV_OK the matrix holds the full
// symmetric inverse. On any other code the matrix is partly overwritten.
int32_t InvertSymmetric(Matrix m, int32_t n);

// Fault injection for tests: the allocation countdown-th AllocMatrix
// allocation from now (0 = the very next one; counting the pointer array
// and each row) fails once. A negative value switches it off.
void SetMatrixAllocationFault(int32_t countdown);
