#include "grid.h"
#include "nrutil.h"

#include <cstdio>
#include <sys/resource.h>

#include <gtest/gtest.h>

using namespace terralume;

template <typename T> void expect_zero_matrix(T **m, int32_t lig, int32_t col)
{
    ASSERT_NE(m, nullptr);
    for (int32_t i = 0; i < lig; i++)
        for (int32_t j = 0; j < col; j++)
            EXPECT_EQ(m[i][j], T(0));
}

TEST(TypedArrays, EveryFamilyIsZeroFilled)
{
    unsigned char **uc = ucmatrice(5, 3);
    uint16_t **us = usmatrice(5, 3);
    int16_t **s = smatrice(5, 3);
    int32_t **i = imatrice(5, 3);
    float **f = fmatrice(5, 3);
    double **d = dmatrice(5, 3);
    long double **ld = ldmatrice(5, 3);
    expect_zero_matrix(uc, 3, 5);
    expect_zero_matrix(us, 3, 5);
    expect_zero_matrix(s, 3, 5);
    expect_zero_matrix(i, 3, 5);
    expect_zero_matrix(f, 3, 5);
    expect_zero_matrix(d, 3, 5);
    expect_zero_matrix(ld, 3, 5);
    frucmatrice(uc, 3);
    frusmatrice(us, 3);
    frsmatrice(s, 3);
    frimatrice(i, 3);
    frfmatrice(f, 3);
    frdmatrice(d, 3);
    frldmatrice(ld, 3);

    unsigned char *vuc = ucvecteur(7);
    uint16_t *vus = usvecteur(7);
    int16_t *vs = svecteur(7);
    int32_t *vi = ivecteur(7);
    float *vf = fvecteur(7);
    double *vd = dvecteur(7);
    for (int k = 0; k < 7; k++) {
        EXPECT_EQ(vuc[k], 0);
        EXPECT_EQ(vus[k], 0);
        EXPECT_EQ(vs[k], 0);
        EXPECT_EQ(vi[k], 0);
        EXPECT_EQ(vf[k], 0.0f);
        EXPECT_EQ(vd[k], 0.0);
    }
    frucvecteur(vuc);
    frusvecteur(vus);
    frsvecteur(vs);
    frivecteur(vi);
    frfvecteur(vf);
    frdvecteur(vd);
}

TEST(TypedArrays, ColumnsComeFirst)
{
    // imatrice(3, 2): 2 lines of 3 columns; M[1][2] is the last element.
    int32_t **m = imatrice(3, 2);
    ASSERT_NE(m, nullptr);
    m[1][2] = 42;
    m[0][0] = 7;
    EXPECT_EQ(m[1][2], 42);
    EXPECT_EQ(m[0][1], 0);
    frimatrice(m, 2);

    Grid<double> g(2, 3);
    EXPECT_EQ(g.nb_lig(), 2);
    EXPECT_EQ(g.nb_col(), 3);
    g[1][2] = 1.5;
    Grid<double> moved = std::move(g);
    EXPECT_TRUE(g.empty());
    EXPECT_EQ(moved[1][2], 1.5);
}

TEST(TypedArrays, NonPositiveCountsGiveNull)
{
    EXPECT_EQ(dmatrice(0, 4), nullptr);
    EXPECT_EQ(dmatrice(4, 0), nullptr);
    EXPECT_EQ(imatrice(-1, 4), nullptr);
    EXPECT_EQ(ivecteur(0), nullptr);
    EXPECT_TRUE(Grid<unsigned char>(0, 5).empty());
    EXPECT_TRUE(Vector<double>(-3).empty());
}

namespace
{

// Resident bytes of this process.
long resident_bytes()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

} // namespace

TEST(TypedArrays, ClearZeroFillsAndGivesTheMemoryBack)
{
    // A small grid (from the allocator) and large ones (mapped, with a tail
    // short of a huge page); each is written, cleared, and written again.
    const struct {
        int32_t lig, col;
        bool large;
    } cases[] = {{3, 5, false}, {300, 1001, false}, {2048, 2048, true}, {1999, 1777, true}};
    for (const auto &c : cases) {
        Grid<int32_t> g(c.lig, c.col);
        ASSERT_FALSE(g.empty());
        for (int32_t i = 0; i < c.lig; i++)
            for (int32_t j = 0; j < c.col; j++)
                g[i][j] = i * 31 + j + 1;
        const long written = resident_bytes();
        g.clear();
        const long cleared = resident_bytes();
        bool zero = true;
        for (int32_t i = 0; i < c.lig; i++)
            for (int32_t j = 0; j < c.col; j++)
                zero = zero && g[i][j] == 0;
        EXPECT_TRUE(zero) << c.lig << " x " << c.col;
        if (c.large) {
            EXPECT_GT(written - cleared, static_cast<long>(c.lig) * c.col * 4 * 9 / 10) << c.lig << " x " << c.col;
        }
        g[c.lig - 1][c.col - 1] = 7;
        EXPECT_EQ(g[c.lig - 1][c.col - 1], 7);
        EXPECT_EQ(g[0][0], 0);
    }
    Grid<double>().clear(); // an empty grid: nothing to do
}

namespace
{

long minor_faults()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

} // namespace

TEST(TypedArrays, ReusedBlocksComeBackZeroWithoutFaults)
{
    // A grid written all over and released while reuse is on; then another,
    // which must read zero everywhere, and which faults no page when it takes
    // the block released.
    const struct {
        int32_t lig, col;   // the first grid
        int32_t lig2, col2; // the next one
        bool reused;        // takes the first one's block
    } cases[] = {
        {400, 400, 400, 400, true},  // the same size
        {400, 400, 400, 360, true},  // a tenth smaller: an edge tile after an inner one
        {400, 400, 400, 300, false}, // a quarter smaller and more: pages of its own
        {400, 400, 400, 500, true},  // larger, within the room its block was mapped with
        {400, 400, 400, 700, false}, // larger than that
        {40, 40, 40, 40, false},     // from the allocator: not kept
    };
    for (const auto &c : cases) {
        const BlockReuse reuse;
        {
            Grid<double> g(c.lig, c.col);
            ASSERT_FALSE(g.empty());
            for (int32_t i = 0; i < c.lig; i++)
                for (int32_t j = 0; j < c.col; j++)
                    g[i][j] = i + j + 1;
        }
        const size_t first = kept_matrix_bytes();
        const long before = minor_faults();
        {
            Grid<double> h(c.lig2, c.col2);
            ASSERT_FALSE(h.empty());
            bool zero = true;
            for (int32_t i = 0; i < c.lig2; i++)
                for (int32_t j = 0; j < c.col2; j++)
                    zero = zero && h[i][j] == 0;
            const long faults = minor_faults() - before, pages = static_cast<long>(c.lig2) * c.col2 * 8 / 4096;
            EXPECT_TRUE(zero) << c.lig2 << " x " << c.col2;
            // Pages written before cost no fault again.
            if (c.reused && c.lig2 * c.col2 <= c.lig * c.col) {
                EXPECT_LT(faults, pages / 10) << c.lig2 << " x " << c.col2;
            }
            // A block that does not serve is given back before fresh pages
            // are mapped: nothing stays kept beside the grid in use.
            EXPECT_EQ(kept_matrix_bytes(), 0u) << c.lig2 << " x " << c.col2;
        }
        // The block kept now is the first one again, or the second's own.
        EXPECT_EQ(first > 0 && kept_matrix_bytes() == first, c.reused) << c.lig2 << " x " << c.col2;
    }
}

TEST(TypedArrays, ReuseOffGivesTheKeptBlocksBack)
{
    {
        const BlockReuse outer;
        {
            const BlockReuse inner;
            Grid<double> g(512, 512);
            ASSERT_FALSE(g.empty());
        }
        // Still on: the outer one holds it.
        EXPECT_GE(kept_matrix_bytes(), size_t{512 * 512 * 8});
    }
    EXPECT_EQ(kept_matrix_bytes(), 0u);
    // Off: a released block is unmapped at once.
    {
        Grid<double> g(512, 512);
        ASSERT_FALSE(g.empty());
    }
    EXPECT_EQ(kept_matrix_bytes(), 0u);
}
