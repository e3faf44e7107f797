// Loading the raw elevation file and writing the result image.
#include "parallel.h"
#include "phases.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace terralume
{

void lecture(Run &r)
{
    const uint64_t width = r.itype == 0 ? 2 : 4;
    const uint64_t expected = static_cast<uint64_t>(r.nb_lig) * static_cast<uint64_t>(r.nb_col) * width;
    std::error_code ec;
    const uintmax_t actual = std::filesystem::file_size(r.nomim1, ec);
    if (!ec && actual != expected)
        r.con.out << strf("\n\tWarning: %s holds %llu bytes, %d lines of %d columns of %d-byte samples need %llu \n",
                          r.nomim1.c_str(), static_cast<unsigned long long>(actual), r.nb_lig, r.nb_col,
                          static_cast<int>(width), static_cast<unsigned long long>(expected));

    // Samples are little-endian on any host. A short file leaves the rest of
    // the grid at 0; bytes after the grid are ignored. The file is read in
    // blocks of lines, each block's lines decoded by all threads straight
    // into itab, 16-bit samples widened without sign (0xFFFF is 65535).
    const size_t line_bytes = static_cast<size_t>(r.nb_col) * width;
    const int32_t block_lines = static_cast<int32_t>(std::max<size_t>(1, (size_t{32} << 20) / line_bytes));
    std::vector<unsigned char> block(static_cast<size_t>(std::min(block_lines, r.nb_lig)) * line_bytes);
    const bool threads = worth_threads(r.nb_lig, r.nb_col);
    for (int32_t i0 = 0; i0 < r.nb_lig; i0 += block_lines) {
        const int32_t lines = std::min(block_lines, r.nb_lig - i0);
        const size_t wanted = static_cast<size_t>(lines) * line_bytes;
        const size_t got = r.f1.read(block.data(), wanted);
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.begin() + static_cast<std::ptrdiff_t>(wanted),
                  0);
#pragma omp parallel for schedule(static) if (threads)
        for (int32_t k = 0; k < lines; k++) {
            const unsigned char *line = &block[static_cast<size_t>(k) * line_bytes];
            int32_t *out = r.itab[i0 + k];
            if (r.itype == 0)
                for (int32_t j = 0; j < r.nb_col; j++)
                    out[j] = sample16(&line[2 * static_cast<size_t>(j)]);
            else
                for (int32_t j = 0; j < r.nb_col; j++)
                    out[j] = sample32(&line[4 * static_cast<size_t>(j)]);
        }
    }
    r.f1.close();
    // Cleared without being touched: tab takes no memory until the final
    // treatment writes it.
    r.tab.clear();
}

void save(Run &r)
{
    // The lines follow one another in one block: one write.
    r.f2.write(r.tab3[0], static_cast<size_t>(r.nb_lig) * static_cast<size_t>(r.nb_col));
    r.f2.close();
    // `pos_sol` closed the descriptor complete; the pair takes its names now.
    File::commit({&r.f2d, &r.f2}, &r.lock);
}

} // namespace terralume
