#include "nrutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <vector>

namespace
{

template <typename T> T *vector_of(int32_t n)
{
    if (n <= 0)
        return nullptr;
    return static_cast<T *>(std::calloc(static_cast<size_t>(n), sizeof(T)));
}

// A matrix is one zero-filled block of NbLig x NbCol elements, row i at
// i x NbCol, and its row pointers, which follow a small header telling how
// the block was obtained.
struct Header {
    void *block;
    size_t bytes;  // of the elements
    size_t mapped; // bytes mapped from the system; 0 for a block of calloc
};
static_assert(sizeof(Header) % alignof(void *) == 0);

// Blocks from this size up are mapped straight from the system, aligned for
// transparent huge pages and advised to use them: the system's zero pages
// are first touched, and so cleared, by whichever thread first writes them,
// not here; and a large grid costs few page faults.
constexpr size_t kMapped = size_t{128} << 10;
constexpr size_t kHugePage = size_t{2} << 20;

// The block starts on a huge page. It ends on one too when that costs at
// most an eighth more memory (a page fault per 4 KiB of a short last part
// costs more time than the grid's work on it); else on an ordinary page.
size_t mapped_size(size_t bytes)
{
    const size_t huge = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    return huge - bytes <= bytes / 8 ? huge : (bytes + 4095) / 4096 * 4096;
}

// Mapped blocks of released matrices kept for later ones while reuse is on
// (reuse_matrix_blocks), the longest kept first.
struct KeptBlock {
    void *block;
    size_t mapped;
};
struct Kept {
    std::mutex mutex;
    int users = 0;
    std::vector<KeptBlock> blocks;
    size_t bytes = 0;
};
// Never destroyed: a matrix may be released while the program ends.
Kept &kept()
{
    static Kept *const k = new Kept;
    return *k;
}

// While reuse is on, a block is mapped half as large again as its matrix
// needs; only the pages written take memory. A kept block then serves a
// matrix of up to that size, or down to half its own: the grids of a tile at
// the raster's edge and those of an inner one take the same blocks.
size_t with_room(size_t bytes) { return mapped_size(bytes + bytes / 2); }
bool serves(size_t mapped, size_t size) { return mapped >= size && mapped - size <= size; }

// A kept block for `bytes` of cells, zero-filled, or null. When none fits,
// the oldest kept blocks are unmapped to make room for the fresh one, so that
// the kept and the used blocks together never take more than the most the
// matrices have held at once.
void *kept_block(size_t bytes, size_t &mapped, bool &on)
{
    Kept &k = kept();
    const size_t size = mapped_size(bytes);
    void *block = nullptr;
    {
        std::lock_guard<std::mutex> hold(k.mutex);
        on = k.users > 0;
        if (!on || k.blocks.empty())
            return nullptr;
        size_t best = k.blocks.size();
        for (size_t b = 0; b < k.blocks.size(); b++)
            if (serves(k.blocks[b].mapped, size) &&
                (best == k.blocks.size() || k.blocks[b].mapped < k.blocks[best].mapped))
                best = b;
        if (best == k.blocks.size()) {
            size_t freed = 0;
            while (!k.blocks.empty() && freed < with_room(bytes)) {
                munmap(k.blocks.front().block, k.blocks.front().mapped);
                freed += k.blocks.front().mapped;
                k.bytes -= k.blocks.front().mapped;
                k.blocks.erase(k.blocks.begin());
            }
            return nullptr;
        }
        block = k.blocks[best].block;
        mapped = k.blocks[best].mapped;
        k.bytes -= mapped;
        k.blocks.erase(k.blocks.begin() + static_cast<std::ptrdiff_t>(best));
    }
    // Its pages are the process's already: writing them costs no fault.
    std::memset(block, 0, bytes);
    return block;
}

// Keeps a released mapped block when reuse is on; false when it is not.
bool keep_block(void *block, size_t mapped)
{
    Kept &k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    if (k.users == 0)
        return false;
    k.blocks.push_back({block, mapped});
    k.bytes += mapped;
    return true;
}

// `size` bytes mapped on a huge page, or null.
void *mapped_block(size_t size)
{
    const size_t length = size + kHugePage;
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        munmap(p, aligned - start);
    if (start + length > aligned + size)
        munmap(reinterpret_cast<void *>(aligned + size), start + length - aligned - size);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void *>(aligned);
}

void *zeroed_block(size_t bytes, size_t &mapped)
{
    mapped = 0;
    if (bytes < kMapped)
        return std::calloc(bytes, 1);
    bool reuse = false;
    if (void *block = kept_block(bytes, mapped, reuse))
        return block;
    // With room to spare for later matrices when reuse is on, and without
    // when the system refuses the room.
    if (reuse)
        if (void *block = mapped_block(with_room(bytes))) {
            mapped = with_room(bytes);
            return block;
        }
    void *block = mapped_block(mapped_size(bytes));
    if (block != nullptr)
        mapped = mapped_size(bytes);
    return block;
}

template <typename T> void release_matrix(T **Mat, int32_t)
{
    if (Mat == nullptr)
        return;
    Header *h = reinterpret_cast<Header *>(Mat) - 1;
    if (h->mapped != 0) {
        if (!keep_block(h->block, h->mapped))
            munmap(h->block, h->mapped);
    } else
        std::free(h->block);
    std::free(h);
}

template <typename T> T **matrix_of(int32_t NbCol, int32_t NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(NbCol) * static_cast<size_t>(NbLig), sizeof(T), &bytes))
        return nullptr;
    auto *h = static_cast<Header *>(std::calloc(1, sizeof(Header) + static_cast<size_t>(NbLig) * sizeof(T *)));
    if (h == nullptr)
        return nullptr;
    h->bytes = bytes;
    h->block = zeroed_block(bytes, h->mapped);
    if (h->block == nullptr) {
        std::free(h);
        return nullptr;
    }
    T **Mat = reinterpret_cast<T **>(h + 1);
    T *first = static_cast<T *>(h->block);
    for (int32_t i = 0; i < NbLig; i++)
        Mat[i] = first + static_cast<size_t>(i) * static_cast<size_t>(NbCol);
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

void zero_matrix(void *const *Mat)
{
    if (Mat == nullptr)
        return;
    const Header *h = reinterpret_cast<const Header *>(Mat) - 1;
    // Private anonymous pages given back read as zero when touched again.
    if (h->mapped == 0 || madvise(h->block, h->mapped, MADV_DONTNEED) != 0)
        std::memset(h->block, 0, h->bytes);
}

void reuse_matrix_blocks(bool on)
{
    Kept &k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    k.users += on ? 1 : -1;
    if (k.users > 0)
        return;
    k.users = 0;
    for (const KeptBlock &b : k.blocks)
        munmap(b.block, b.mapped);
    k.blocks.clear();
    k.bytes = 0;
}

size_t kept_matrix_bytes()
{
    Kept &k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    return k.bytes;
}

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
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(NbCol) * static_cast<uint64_t>(NbLig), width, &bytes))
        return UINT64_MAX;
    const uint64_t block = bytes < kMapped ? block_bytes(bytes) : mapped_size(bytes);
    return saturating_sum({block, block_bytes(sizeof(Header) + static_cast<uint64_t>(NbLig) * sizeof(void *))});
}
