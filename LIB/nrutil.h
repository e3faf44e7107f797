// Zero-filled typed matrices and vectors.
//
// A matrix of NbLig lines and NbCol columns is an array of NbLig row pointers
// into one zero-filled block of NbCol x NbLig elements, row after row: M[i][j]
// is line i, column j. Allocation takes the column count FIRST and the line count SECOND
// and returns null when any allocation fails (nothing is leaked then) or when
// a count is zero or negative. Release takes the line count used to allocate.
#ifndef TERRALUME_LIB_NRUTIL_H
#define TERRALUME_LIB_NRUTIL_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

unsigned char **ucmatrice(int32_t NbCol, int32_t NbLig);
uint16_t **usmatrice(int32_t NbCol, int32_t NbLig);
int16_t **smatrice(int32_t NbCol, int32_t NbLig);
int32_t **imatrice(int32_t NbCol, int32_t NbLig);
float **fmatrice(int32_t NbCol, int32_t NbLig);
double **dmatrice(int32_t NbCol, int32_t NbLig);
long double **ldmatrice(int32_t NbCol, int32_t NbLig);

void frucmatrice(unsigned char **Mat, int32_t NbLig);
void frusmatrice(uint16_t **Mat, int32_t NbLig);
void frsmatrice(int16_t **Mat, int32_t NbLig);
void frimatrice(int32_t **Mat, int32_t NbLig);
void frfmatrice(float **Mat, int32_t NbLig);
void frdmatrice(double **Mat, int32_t NbLig);
void frldmatrice(long double **Mat, int32_t NbLig);

// Zero-fills a matrix of any of these types (null does nothing). The memory
// of a large one goes back to the system, and comes back, zero, as its cells
// are written again: a grid whose contents are dead for a while costs no
// memory meanwhile.
void zero_matrix(void *const *Mat);

// While on (calls with true outnumber those with false), the mapped blocks of
// released matrices are kept, and a later matrix takes a kept block about its
// size (from two thirds to twice), zero-filled again, instead of fresh pages
// from the system; blocks are mapped half as large again as needed (only the
// pages written take memory). Computations one after another over grids of
// like sizes (the tiles of a raster) then fault few pages after the first. A matrix that no
// kept block serves unmaps the oldest ones first, so that the kept and the
// used blocks together take no more than the most the matrices have held at
// once. Off again, the kept blocks go back to the system.
void reuse_matrix_blocks(bool on);
// The bytes of the blocks kept meanwhile.
size_t kept_matrix_bytes();

unsigned char *ucvecteur(int32_t n);
uint16_t *usvecteur(int32_t n);
int16_t *svecteur(int32_t n);
int32_t *ivecteur(int32_t n);
float *fvecteur(int32_t n);
double *dvecteur(int32_t n);

void frucvecteur(unsigned char *v);
void frusvecteur(uint16_t *v);
void frsvecteur(int16_t *v);
void frivecteur(int32_t *v);
void frfvecteur(float *v);
void frdvecteur(double *v);

// The bytes a matrix of these routines takes from the system: its block of
// cells and its row pointers, with the allocator's own header and rounding. UINT64_MAX when that does not fit 64 bits.
uint64_t matrix_bytes(int32_t NbCol, int32_t NbLig, size_t width);
// A sum of byte counts that stops at UINT64_MAX instead of wrapping.
uint64_t saturating_sum(std::initializer_list<uint64_t> terms);

#endif
