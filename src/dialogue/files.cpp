// Loading the raw elevation file and writing the result image.
#include "phases.h"

#include <filesystem>

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

    read_samples([&r](void *data, size_t size) { return r.f1.read(data, size); }, static_cast<int32_t>(width), r.itab);
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
