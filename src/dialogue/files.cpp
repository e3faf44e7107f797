// Loading the raw elevation file and writing the result image.
#include "phases.h"

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
    // the grid at 0; bytes after the grid are ignored.
    std::vector<unsigned char> line(static_cast<size_t>(r.nb_col) * width);
    if (r.itype == 0) {
        r.itab2 = Grid<uint16_t>(r.nb_lig, r.nb_col);
        if (r.itab2.empty())
            throw RunFailure(
                strf("\n\tNot enough memory for the grids of %d lines and %d columns \n", r.nb_lig, r.nb_col));
        for (int32_t i = 0; i < r.nb_lig; i++) {
            std::fill(line.begin(), line.end(), 0);
            r.f1.read(line.data(), line.size());
            for (int32_t j = 0; j < r.nb_col; j++) {
                r.itab2[i][j] = sample16(&line[2 * static_cast<size_t>(j)]);
            }
        }
        for (int32_t i = 0; i < r.nb_lig; i++)
            for (int32_t j = 0; j < r.nb_col; j++)
                r.itab[i][j] = r.itab2[i][j]; // widened without sign: 0xFFFF is 65535
        // Staging only: its memory goes back to the system for the engine.
        r.itab2 = Grid<uint16_t>();
        release_free_memory();
    } else {
        for (int32_t i = 0; i < r.nb_lig; i++) {
            std::fill(line.begin(), line.end(), 0);
            r.f1.read(line.data(), line.size());
            for (int32_t j = 0; j < r.nb_col; j++) {
                r.itab[i][j] = sample32(&line[4 * static_cast<size_t>(j)]);
            }
        }
    }
    r.f1.close();
    r.tab.fill(0);
}

void save(Run &r)
{
    for (int32_t i = 0; i < r.nb_lig; i++)
        r.f2.write(r.tab3[i], static_cast<size_t>(r.nb_col));
    r.f2.close();
    // `pos_sol` closed the descriptor complete; the pair takes its names now.
    File::commit({&r.f2d, &r.f2}, &r.lock);
}

} // namespace terralume
