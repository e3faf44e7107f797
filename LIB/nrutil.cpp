#include "nrutil.h"

#include <cstdlib>

namespace
{

template <typename T> T *vector_of(int32_t n)
{
    if (n <= 0)
        return nullptr;
    return static_cast<T *>(std::calloc(static_cast<size_t>(n), sizeof(T)));
}

template <typename T> void release_matrix(T **Mat, int32_t NbLig)
{
    if (Mat == nullptr)
        return;
    for (int32_t i = 0; i < NbLig; i++)
        std::free(Mat[i]);
    std::free(Mat);
}

// Rows are allocated one by one; when a row cannot be had, the rows already
// obtained and the pointer slots are handed back before null is returned.
template <typename T> T **matrix_of(int32_t NbCol, int32_t NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    T **Mat = static_cast<T **>(std::calloc(static_cast<size_t>(NbLig), sizeof(T *)));
    if (Mat == nullptr)
        return nullptr;
    for (int32_t i = 0; i < NbLig; i++) {
        Mat[i] = vector_of<T>(NbCol);
        if (Mat[i] == nullptr) {
            release_matrix(Mat, i);
            return nullptr;
        }
    }
    return Mat;
}

} // namespace

unsigned char **ucmatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<unsigned char>(NbCol, NbLig); }
uint16_t **usmatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<uint16_t>(NbCol, NbLig); }
int16_t **smatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<int16_t>(NbCol, NbLig); }
int32_t **imatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<int32_t>(NbCol, NbLig); }
float **fmatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<float>(NbCol, NbLig); }
double **dmatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<double>(NbCol, NbLig); }
long double **ldmatrice(int32_t NbCol, int32_t NbLig) { return matrix_of<long double>(NbCol, NbLig); }

void frucmatrice(unsigned char **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frusmatrice(uint16_t **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frsmatrice(int16_t **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frimatrice(int32_t **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frfmatrice(float **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frdmatrice(double **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }
void frldmatrice(long double **Mat, int32_t NbLig) { release_matrix(Mat, NbLig); }

unsigned char *ucvecteur(int32_t n) { return vector_of<unsigned char>(n); }
uint16_t *usvecteur(int32_t n) { return vector_of<uint16_t>(n); }
int16_t *svecteur(int32_t n) { return vector_of<int16_t>(n); }
int32_t *ivecteur(int32_t n) { return vector_of<int32_t>(n); }
float *fvecteur(int32_t n) { return vector_of<float>(n); }
double *dvecteur(int32_t n) { return vector_of<double>(n); }

void frucvecteur(unsigned char *v) { std::free(v); }
void frusvecteur(uint16_t *v) { std::free(v); }
void frsvecteur(int16_t *v) { std::free(v); }
void frivecteur(int32_t *v) { std::free(v); }
void frfvecteur(float *v) { std::free(v); }
void frdvecteur(double *v) { std::free(v); }

namespace
{

// A block of n bytes as the allocator holds it: glibc's malloc adds an 8-byte
// header and rounds up to 16 bytes, 32 at least; blocks from 128 KiB up are
// mapped as whole pages with a 16-byte header.
uint64_t block_bytes(uint64_t n)
{
    if (n >= 128 * 1024)
        return (n + 16 + 4095) / 4096 * 4096;
    const uint64_t chunk = (n + 8 + 15) / 16 * 16;
    return chunk < 32 ? 32 : chunk;
}

} // namespace

uint64_t saturating_sum(std::initializer_list<uint64_t> terms)
{
    uint64_t sum = 0;
    for (uint64_t t : terms)
        if (__builtin_add_overflow(sum, t, &sum))
            return UINT64_MAX;
    return sum;
}

uint64_t matrix_bytes(int32_t NbCol, int32_t NbLig, size_t width)
{
    if (NbCol <= 0 || NbLig <= 0)
        return 0;
    const uint64_t row = block_bytes(static_cast<uint64_t>(NbCol) * width);
    uint64_t rows = 0;
    if (__builtin_mul_overflow(row, static_cast<uint64_t>(NbLig), &rows))
        return UINT64_MAX;
    return saturating_sum({rows, block_bytes(static_cast<uint64_t>(NbLig) * sizeof(void *))});
}
