#include "navigation/matrix.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Rows = std::vector<std::vector<double>>;

// An AllocMatrix matrix filled from rows, released at the end of the test.
struct TestMatrix {
    explicit TestMatrix(const Rows &v) : TestMatrix(int32_t(v.size()), int32_t(v[0].size())) {
        for (int32_t i = 0; i < rows; ++i)
            for (int32_t j = 0; j < cols; ++j) m[i][j] = v[i][j];
    }
    TestMatrix(int32_t r, int32_t c) : rows(r), cols(c), m(AllocMatrix(r, c)) {}
    ~TestMatrix() { FreeMatrix(m, rows); }
    void Expect(const Rows &v, double tolerance) const {
        for (int32_t i = 0; i < rows; ++i)
            for (int32_t j = 0; j < cols; ++j) EXPECT_NEAR(m[i][j], v[i][j], tolerance) << i << j;
    }
    int32_t rows, cols;
    Matrix m;
};

TEST(InvertSymmetric, KnownInversesReadOnlyTheLowerTriangle) {
    const Rows identity = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    TestMatrix i4(identity);
    ASSERT_EQ(InvertSymmetric(i4.m, 4), INV_OK);
    i4.Expect(identity, 0.0);

    for (const Rows &input : {Rows{{4, 2}, {2, 3}}, Rows{{4, 99}, {2, 3}}}) {
        TestMatrix t(input);
        ASSERT_EQ(InvertSymmetric(t.m, 2), INV_OK);
        t.Expect({{0.375, -0.25}, {-0.25, 0.5}}, 1e-15);
    }
}

TEST(InvertSymmetric, NormalMatrixTimesItsInverseIsIdentity) {
    // Unit line-of-sight vectors and a clock column, as in the solver.
    TestMatrix a({{0.31, -0.72, 0.62, 1},
                  {-0.55, 0.12, 0.83, 1},
                  {0.70, 0.40, 0.59, 1},
                  {-0.20, -0.90, 0.39, 1},
                  {0.05, 0.66, 0.75, 1}});
    TestMatrix normal(4, 4), inverse(4, 4), product(4, 4);
    MultiplyMatrices(a.m, 5, 4, a.m, 5, 4, normal.m, MULTIPLY_ATB);
    EXPECT_DOUBLE_EQ(normal.m[0][1], 0.31 * -0.72 + -0.55 * 0.12 + 0.70 * 0.40 + -0.20 * -0.90 + 0.05 * 0.66);
    EXPECT_DOUBLE_EQ(normal.m[3][3], 5.0);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) inverse.m[i][j] = normal.m[i][j];
    ASSERT_EQ(InvertSymmetric(inverse.m, 4), INV_OK);
    MultiplyMatrices(normal.m, 4, 4, inverse.m, 4, 4, product.m, MULTIPLY_AB);
    product.Expect({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}, 1e-12);

    // N^-1 (N x) gives x back; a vector of the wrong length is refused.
    double x[4] = {3, -2, 0.5, 7}, nx[4], back[4] = {};
    MultiplyMatrixVector(normal.m, 4, 4, x, 4, nx);
    MultiplyMatrixVector(inverse.m, 4, 4, nx, 4, back);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(back[i], x[i], 1e-12);
    MultiplyMatrixVector(inverse.m, 4, 4, nx, 3, back);
    EXPECT_NEAR(back[3], 7.0, 1e-12);
}

TEST(InvertSymmetric, FailureCodesAndNoInfinitiesReportedAsSuccess) {
    TestMatrix negative({{2, 0}, {0.5, -1}});
    EXPECT_EQ(InvertSymmetric(negative.m, 2), INV_NOT_POSITIVE_DEFINITE);
    negative.Expect({{2, 0}, {0.5, -1}}, 0.0); // refused before factorising
    TestMatrix zeroFirst({{0, 0}, {0, -1}});
    EXPECT_EQ(InvertSymmetric(zeroFirst.m, 2), INV_SINGULAR);
    TestMatrix indefinite({{1, 2}, {2, 1}});
    EXPECT_EQ(InvertSymmetric(indefinite.m, 2), INV_SQRT_NEGATIVE);
    TestMatrix singularInside({{1, 0, 0}, {1, 1, 0}, {0, 0, 1}});
    EXPECT_EQ(InvertSymmetric(singularInside.m, 3), INV_DIVIDE_BY_ZERO);

    // The last pivot cancels to exactly zero: no row below it divides, yet
    // inverting it would give infinities. Here the first column of the
    // solver-shaped rows equals the clock column.
    TestMatrix a({{1, 0.5, 0.25, 1}, {1, -0.5, 0.75, 1}, {1, 0.25, -0.5, 1}, {1, 0, 0.5, 1}});
    TestMatrix normal(4, 4);
    MultiplyMatrices(a.m, 4, 4, a.m, 4, 4, normal.m, MULTIPLY_ATB);
    EXPECT_EQ(InvertSymmetric(normal.m, 4), INV_DIVIDE_BY_ZERO);

    TestMatrix nanDiagonal({{NAN, 0}, {0, 1}}), infDiagonal({{INFINITY, 0}, {0, 1}});
    EXPECT_EQ(InvertSymmetric(nanDiagonal.m, 2), INV_NOT_POSITIVE_DEFINITE);
    EXPECT_EQ(InvertSymmetric(infDiagonal.m, 2), INV_NOT_POSITIVE_DEFINITE);
    TestMatrix nanBelow({{1, 0}, {NAN, 1}});
    EXPECT_EQ(InvertSymmetric(nanBelow.m, 2), INV_SQRT_NEGATIVE);
}

TEST(AllocMatrix, AFailedAllocationReturnsNoneAndTheNextCallWorks) {
    SetMatrixAllocationFault(0); // the pointer array
    EXPECT_EQ(AllocMatrix(27, 4), nullptr);
    SetMatrixAllocationFault(3); // the third row: two rows to release again
    EXPECT_EQ(AllocMatrix(27, 4), nullptr);
    TestMatrix ok(27, 4);
    ASSERT_NE(ok.m, nullptr);
    EXPECT_EQ(AllocMatrix(0, 4), nullptr);
}

} // namespace
