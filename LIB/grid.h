// Thin owning wrappers over the typed matrices and vectors of nrutil.h.
//
// Grid<T> holds a matrix of nb_lig lines by nb_col columns, zero-filled, and
// releases it with the matching routine. g[i][j] is line i, column j; the rows
// follow one another in one block, and kernels walk lines outside and columns
// inside.
#ifndef TERRALUME_LIB_GRID_H
#define TERRALUME_LIB_GRID_H

#include "nrutil.h"

#include <cassert>
#include <cstdint>
#include <utility>

namespace terralume
{

template <typename T> struct MatrixRoutines;
template <> struct MatrixRoutines<unsigned char> {
    static unsigned char **alloc(int32_t c, int32_t l) { return ucmatrice(c, l); }
    static void release(unsigned char **m, int32_t l) { frucmatrice(m, l); }
};
template <> struct MatrixRoutines<uint16_t> {
    static uint16_t **alloc(int32_t c, int32_t l) { return usmatrice(c, l); }
    static void release(uint16_t **m, int32_t l) { frusmatrice(m, l); }
};
template <> struct MatrixRoutines<int32_t> {
    static int32_t **alloc(int32_t c, int32_t l) { return imatrice(c, l); }
    static void release(int32_t **m, int32_t l) { frimatrice(m, l); }
};
template <> struct MatrixRoutines<float> {
    static float **alloc(int32_t c, int32_t l) { return fmatrice(c, l); }
    static void release(float **m, int32_t l) { frfmatrice(m, l); }
};
template <> struct MatrixRoutines<double> {
    static double **alloc(int32_t c, int32_t l) { return dmatrice(c, l); }
    static void release(double **m, int32_t l) { frdmatrice(m, l); }
};

template <typename T> class Grid
{
  public:
    Grid() = default;
    // Allocates nb_lig x nb_col zero-filled cells; on failure the grid stays
    // empty (check with empty()).
    Grid(int32_t nb_lig, int32_t nb_col) : m_(MatrixRoutines<T>::alloc(nb_col, nb_lig))
    {
        if (m_ != nullptr) {
            lig_ = nb_lig;
            col_ = nb_col;
        }
    }
    Grid(const Grid &) = delete;
    Grid &operator=(const Grid &) = delete;
    Grid(Grid &&o) noexcept { swap(o); }
    Grid &operator=(Grid &&o) noexcept
    {
        Grid tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~Grid() { MatrixRoutines<T>::release(m_, lig_); }

    bool empty() const { return m_ == nullptr; }
    int32_t nb_lig() const { return lig_; }
    int32_t nb_col() const { return col_; }
    T *operator[](int32_t i) { return m_[i]; }
    const T *operator[](int32_t i) const { return m_[i]; }
    // Checked access, for the straightforward code: the bounds are asserted
    // in builds with assertions.
    T &at(int32_t i, int32_t j)
    {
        assert(i >= 0 && i < lig_ && j >= 0 && j < col_);
        return m_[i][j];
    }
    const T &at(int32_t i, int32_t j) const
    {
        assert(i >= 0 && i < lig_ && j >= 0 && j < col_);
        return m_[i][j];
    }
    T *const *rows() { return m_; }
    const T *const *rows() const { return m_; }
    // Zero-fills the grid; a large one's memory goes back to the system
    // until its cells are written again (zero_matrix).
    void clear() { zero_matrix(reinterpret_cast<void *const *>(m_)); }
    void fill(T v)
    {
        for (int32_t i = 0; i < lig_; i++)
            for (int32_t j = 0; j < col_; j++)
                m_[i][j] = v;
    }

  private:
    void swap(Grid &o) noexcept
    {
        std::swap(m_, o.m_);
        std::swap(lig_, o.lig_);
        std::swap(col_, o.col_);
    }
    T **m_ = nullptr;
    int32_t lig_ = 0;
    int32_t col_ = 0;
};

// Matrix blocks are reused while one lives (reuse_matrix_blocks): for
// computations one after another over grids of like sizes.
class BlockReuse
{
  public:
    BlockReuse() { reuse_matrix_blocks(true); }
    ~BlockReuse() { reuse_matrix_blocks(false); }
    BlockReuse(const BlockReuse &) = delete;
    BlockReuse &operator=(const BlockReuse &) = delete;
};

template <typename T> struct VectorRoutines;
template <> struct VectorRoutines<int32_t> {
    static int32_t *alloc(int32_t n) { return ivecteur(n); }
    static void release(int32_t *v) { frivecteur(v); }
};
template <> struct VectorRoutines<double> {
    static double *alloc(int32_t n) { return dvecteur(n); }
    static void release(double *v) { frdvecteur(v); }
};

template <typename T> class Vector
{
  public:
    Vector() = default;
    explicit Vector(int32_t n) : v_(VectorRoutines<T>::alloc(n))
    {
        if (v_ != nullptr)
            n_ = n;
    }
    Vector(const Vector &) = delete;
    Vector &operator=(const Vector &) = delete;
    Vector(Vector &&o) noexcept : v_(std::exchange(o.v_, nullptr)), n_(std::exchange(o.n_, 0)) {}
    Vector &operator=(Vector &&o) noexcept
    {
        std::swap(v_, o.v_);
        std::swap(n_, o.n_);
        return *this;
    }
    ~Vector() { VectorRoutines<T>::release(v_); }

    bool empty() const { return v_ == nullptr; }
    int32_t size() const { return n_; }
    T &operator[](int32_t k) { return v_[k]; }
    const T &operator[](int32_t k) const { return v_[k]; }

  private:
    T *v_ = nullptr;
    int32_t n_ = 0;
};

} // namespace terralume

#endif
