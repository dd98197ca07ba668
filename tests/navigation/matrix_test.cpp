#include "navigation/matrix.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Owns an AllocMatrix matrix for the length of a test.
struct TestMatrix {
    TestMatrix(int32_t r, int32_t c) : rows(r), cols(c), m(AllocMatrix(r, c)) {}
    TestMatrix(std::initializer_list<std::vector<double>> values)
        : TestMatrix(static_cast<int32_t>(values.size()),
                     static_cast<int32_t>(values.begin()->size())) {
        int32_t i = 0;
        for (const auto &row : values) {
            for (int32_t j = 0; j < cols; ++j) m[i][j] = row[j];
            ++i;
        }
    }
    ~TestMatrix() { FreeMatrix(m, rows); }
    TestMatrix(const TestMatrix &) = delete;
    TestMatrix &operator=(const TestMatrix &) = delete;
    int32_t rows, cols;
    Matrix m;
};

void ExpectMatrix(const TestMatrix &t, std::initializer_list<std::vector<double>> expected,
                  double tolerance) {
    int32_t i = 0;
    for (const auto &row : expected) {
        for (int32_t j = 0; j < t.cols; ++j)
            EXPECT_NEAR(t.m[i][j], row[j], tolerance) << "element " << i << "," << j;
        ++i;
    }
}

TEST(InvertSymmetric, InvertsKnownMatricesUsingOnlyTheLowerTriangle) {
    TestMatrix identity(4, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) identity.m[i][j] = i == j ? 1.0 : 0.0;
    ASSERT_EQ(InvertSymmetric(identity.m, 4), INV_OK);
    ExpectMatrix(identity, {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}, 0.0);

    TestMatrix small{{4, 2}, {2, 3}};
    ASSERT_EQ(InvertSymmetric(small.m, 2), INV_OK);
    ExpectMatrix(small, {{0.375, -0.25}, {-0.25, 0.5}}, 1e-15);

    // The upper triangle is never read; the result is mirrored from below.
    TestMatrix junkAbove{{4, 99}, {2, 3}};
    ASSERT_EQ(InvertSymmetric(junkAbove.m, 2), INV_OK);
    ExpectMatrix(junkAbove, {{0.375, -0.25}, {-0.25, 0.5}}, 1e-15);
}

TEST(InvertSymmetric, NormalMatrixTimesItsInverseIsIdentity) {
    // A design matrix like the solver's: unit line-of-sight vectors and a
    // clock column.
    TestMatrix a{{0.31, -0.72, 0.62, 1},
                 {-0.55, 0.12, 0.83, 1},
                 {0.70, 0.40, 0.59, 1},
                 {-0.20, -0.90, 0.39, 1},
                 {0.05, 0.66, 0.75, 1}};
    TestMatrix normal(4, 4), inverse(4, 4), product(4, 4);
    MultiplyMatrices(a.m, 5, 4, a.m, 5, 4, normal.m, MULTIPLY_ATB);
    // A^T A by hand for one element, so that mode 1 is not checked against itself.
    double n01 = 0;
    for (int k = 0; k < 5; ++k) n01 += a.m[k][0] * a.m[k][1];
    EXPECT_DOUBLE_EQ(normal.m[0][1], n01);
    EXPECT_DOUBLE_EQ(normal.m[3][3], 5.0);

    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) inverse.m[i][j] = normal.m[i][j];
    ASSERT_EQ(InvertSymmetric(inverse.m, 4), INV_OK);
    MultiplyMatrices(normal.m, 4, 4, inverse.m, 4, 4, product.m, MULTIPLY_AB);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_NEAR(product.m[i][j], i == j ? 1.0 : 0.0, 1e-12);
            EXPECT_EQ(inverse.m[i][j], inverse.m[j][i]);
        }
}

TEST(InvertSymmetric, FailureCodesInTheOrderOfTheTests) {
    TestMatrix negative{{2, 0}, {0.5, -1}};
    EXPECT_EQ(InvertSymmetric(negative.m, 2), INV_NOT_POSITIVE_DEFINITE);
    ExpectMatrix(negative, {{2, 0}, {0.5, -1}}, 0.0); // refused before factorising

    TestMatrix zero{{0, 0}, {0, -1}}; // the zero comes first and decides
    EXPECT_EQ(InvertSymmetric(zero.m, 2), INV_SINGULAR);
    TestMatrix tiny{{1e-41}};
    EXPECT_EQ(InvertSymmetric(tiny.m, 1), INV_SINGULAR);

    TestMatrix indefinite{{1, 2}, {2, 1}}; // 1 - 4 < 0
    EXPECT_EQ(InvertSymmetric(indefinite.m, 2), INV_SQRT_NEGATIVE);

    TestMatrix singularInside{{1, 0, 0}, {1, 1, 0}, {0, 0, 1}};
    EXPECT_EQ(InvertSymmetric(singularInside.m, 3), INV_DIVIDE_BY_ZERO);
}

TEST(InvertSymmetric, SingularOrNonFiniteInputIsNeverReportedAsInverted) {
    // The last reduced diagonal cancels to exactly zero: there is no row
    // below it to divide, but inverting it would give infinities.
    TestMatrix lastPivotZero{{1, 1}, {1, 1}};
    EXPECT_EQ(InvertSymmetric(lastPivotZero.m, 2), INV_DIVIDE_BY_ZERO);

    // Solver-shaped rows whose first column equals the clock column: the
    // normal matrix has a non-zero diagonal but its last pivot cancels.
    TestMatrix a{{1, 0.5, 0.25, 1}, {1, -0.5, 0.75, 1}, {1, 0.25, -0.5, 1}, {1, 0, 0.5, 1}};
    TestMatrix normal(4, 4);
    MultiplyMatrices(a.m, 4, 4, a.m, 4, 4, normal.m, MULTIPLY_ATB);
    EXPECT_EQ(InvertSymmetric(normal.m, 4), INV_DIVIDE_BY_ZERO);

    TestMatrix nanDiagonal{{NAN, 0}, {0, 1}};
    EXPECT_EQ(InvertSymmetric(nanDiagonal.m, 2), INV_NOT_POSITIVE_DEFINITE);
    TestMatrix infDiagonal{{INFINITY, 0}, {0, 1}};
    EXPECT_EQ(InvertSymmetric(infDiagonal.m, 2), INV_NOT_POSITIVE_DEFINITE);
    TestMatrix nanBelow{{1, 0}, {NAN, 1}};
    EXPECT_EQ(InvertSymmetric(nanBelow.m, 2), INV_SQRT_NEGATIVE);
}

TEST(MultiplyMatrices, ModesAndMismatchedDimensions) {
    TestMatrix a{{1, 2, 3}, {4, 5, 6}};      // 2 x 3
    TestMatrix b{{1, 0}, {0, 1}, {2, -1}};   // 3 x 2
    TestMatrix c{{1, 1, 0}, {0, 2, 1}};      // 2 x 3
    TestMatrix r(2, 2);

    MultiplyMatrices(a.m, 2, 3, b.m, 3, 2, r.m, MULTIPLY_AB);
    ExpectMatrix(r, {{7, -1}, {16, -1}}, 0.0);
    MultiplyMatrices(a.m, 2, 3, c.m, 2, 3, r.m, MULTIPLY_ABT);
    ExpectMatrix(r, {{3, 7}, {9, 16}}, 0.0);

    TestMatrix r3(3, 3);
    MultiplyMatrices(a.m, 2, 3, c.m, 2, 3, r3.m, MULTIPLY_ATB);
    ExpectMatrix(r3, {{1, 9, 4}, {2, 12, 5}, {3, 15, 6}}, 0.0);

    // Dimensions that do not agree, or an unknown mode, leave R alone.
    MultiplyMatrices(a.m, 2, 3, b.m, 2, 2, r.m, MULTIPLY_AB);
    MultiplyMatrices(a.m, 2, 3, b.m, 3, 2, r.m, 3);
    ExpectMatrix(r, {{3, 7}, {9, 16}}, 0.0);

    double x[3] = {1, -1, 2}, y[2] = {42, 42};
    MultiplyMatrixVector(a.m, 2, 3, x, 3, y);
    EXPECT_EQ(y[0], 5.0);
    EXPECT_EQ(y[1], 11.0);
    MultiplyMatrixVector(a.m, 2, 3, x, 2, y);
    EXPECT_EQ(y[0], 5.0);
}

TEST(AllocMatrix, AFailedAllocationReturnsNoneAndTheNextCallWorks) {
    SetMatrixAllocationFault(0); // the pointer array
    EXPECT_EQ(AllocMatrix(27, 4), nullptr);
    SetMatrixAllocationFault(3); // the third row: two rows must be released
    EXPECT_EQ(AllocMatrix(27, 4), nullptr);
    Matrix m = AllocMatrix(27, 4);
    ASSERT_NE(m, nullptr);
    ZeroMatrix(m, 27, 4);
    EXPECT_EQ(m[26][3], 0.0);
    FreeMatrix(m, 27);
    FreeMatrix(nullptr, 4);
    EXPECT_EQ(AllocMatrix(0, 4), nullptr);
    SetMatrixAllocationFault(-1);
}

} // namespace
