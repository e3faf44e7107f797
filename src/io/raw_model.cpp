#include "raw_model.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace terralume
{

namespace
{

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using Stream = std::unique_ptr<FILE, Closer>;

std::string why(int err) { return std::strerror(err); }

} // namespace

bool is_raw_model_name(const std::string &path) { return ends_with(path, "_m2.raw") || ends_with(path, "_m4.raw"); }

RawModel read_raw_model(const std::string &path, int32_t max_side)
{
    const bool wide = ends_with(path, "_m4.raw");
    const std::string descriptor = path.substr(0, path.size() - 4) + ".txt";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw RawModelError(path + ": is a folder");
    Stream raw(std::fopen(path.c_str(), "rb"));
    if (!raw)
        throw RawModelError(path + ": cannot be read (" + why(errno) + ")");
    Stream desc(std::fopen(descriptor.c_str(), "r"));
    if (!desc)
        throw RawModelError(descriptor + ": the descriptor of " + path + " cannot be read (" + why(errno) + ")");
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), desc.get()));
    if (std::ferror(desc.get()))
        throw RawModelError(descriptor + ": cannot be read (" + why(errno) + ")");

    int32_t nb_lig = 0, nb_col = 0, width = 0, lo = 0, hi = 0, pix = 0;
    int32_t *values[6] = {&nb_lig, &nb_col, &width, &lo, &hi, &pix};
    const int read = read_descriptor_values(text, values);
    if (read < 2)
        throw RawModelError(descriptor + ": does not give a readable number of lines and columns");
    if (nb_lig <= 0 || nb_col <= 0)
        throw RawModelError(descriptor + ": does not give a positive number of lines and columns (lines " +
                            std::to_string(nb_lig) + ", columns " + std::to_string(nb_col) + ")");
    if (nb_lig > max_side || nb_col > max_side)
        throw RawModelError(descriptor + ": the grid of " + std::to_string(nb_lig) + " lines and " +
                            std::to_string(nb_col) + " columns is too large: no side may pass " +
                            std::to_string(max_side) + " cells");

    RawModel m;
    m.pix_size = read == 6 && pix > 0 ? pix : 0;
    const uint64_t bytes = wide ? 4 : 2;
    const uint64_t expected = static_cast<uint64_t>(nb_lig) * static_cast<uint64_t>(nb_col) * bytes;
    const uintmax_t actual = std::filesystem::file_size(path, ec);
    if (!ec && actual != expected)
        m.warning = path + " holds " + std::to_string(actual) + " bytes, " + std::to_string(nb_lig) + " lines of " +
                    std::to_string(nb_col) + " columns of " + std::to_string(bytes) + "-byte samples need " +
                    std::to_string(expected) + ": read anyway, missing samples 0";
    m.itab = Grid<int32_t>(nb_lig, nb_col);
    if (m.itab.empty())
        throw std::bad_alloc();
    std::vector<unsigned char> line(static_cast<size_t>(nb_col) * bytes);
    for (int32_t i = 0; i < nb_lig; i++) {
        std::fill(line.begin(), line.end(), 0);
        std::fread(line.data(), 1, line.size(), raw.get());
        if (std::ferror(raw.get()))
            throw RawModelError(path + ": cannot be read (" + why(errno) + ")");
        for (int32_t j = 0; j < nb_col; j++) {
            const unsigned char *b = &line[static_cast<size_t>(j) * bytes];
            m.itab[i][j] = wide ? sample32(b) : sample16(b); // 16-bit widened without sign
        }
    }
    return m;
}

} // namespace terralume
