// The dialogue's model files: a headerless grid of little-endian samples,
// unsigned 16-bit (NAME_m2.raw) or signed 32-bit (NAME_m4.raw), and beside it
// the descriptor NAME_m2.txt / NAME_m4.txt of six whole numbers (lines,
// columns, bytes per sample, lowest and highest sample, pixel size).
#ifndef TERRALUME_IO_RAW_MODEL_H
#define TERRALUME_IO_RAW_MODEL_H

#include "descriptor.h"
#include "grid.h"
#include "parallel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace terralume
{

// One sample from its bytes, least significant first.
inline uint16_t sample16(const unsigned char *b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }
inline int32_t sample32(const unsigned char *b)
{
    const uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                       static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return static_cast<int32_t>(u); // two's complement
}

// A model file that cannot be read; the message names the file.
class RawModelError : public std::runtime_error
{
  public:
    explicit RawModelError(const std::string &message) : std::runtime_error(message) {}
};

// True for a name ending in _m2.raw or _m4.raw.
bool is_raw_model_name(const std::string &path);

// What reading a descriptor (a model's or a result's) gave: its text, at most
// kDescriptorMaxBytes of it, or why there is none.
struct DescriptorText {
    enum Problem {
        None,
        Missing,    // no file of that name
        NotRegular, // a folder, a pipe or a socket: never waited on
        Unreadable, // err tells why
        TooLong     // more than kDescriptorMaxBytes: not a model's descriptor
    } problem = None;
    int err = 0; // the errno of Missing and Unreadable
    // With TooLong, its first kDescriptorMaxBytes: a result descriptor's
    // report of a long run is longer, and only its first numbers are read.
    std::string text;
};
DescriptorText read_descriptor_file(const std::string &path);

// The six numbers a descriptor starts with (see read_descriptor_values),
// those missing 0, and how many were read.
struct DescriptorValues {
    int count = 0;
    int32_t lines = 0, columns = 0, width = 0, lowest = 0, highest = 0, pixel_size = 0;
};
DescriptorValues descriptor_values(const std::string &text);

// Whether `path` names a pipe or a socket, which a model is never read from:
// its reader would wait for a writer that may never come. (A device is read
// like a file, as far as the grid goes.)
bool is_pipe(const std::string &path);

// The samples of a model file into itab, line 0 first, `width` bytes each
// (2: unsigned 16-bit, widened without sign; 4: signed 32-bit), little-endian
// on any host. The file is read in blocks of lines by read(data, size), which
// returns how many bytes it read (fewer at the end, and throws on a failure);
// a short file leaves the rest of the grid 0 and bytes after the grid are not
// read. Each block's lines are decoded by all threads.
template <typename Read> void read_samples(Read read, int32_t width, Grid<int32_t> &itab)
{
    const int32_t nb_lig = itab.nb_lig();
    const int32_t nb_col = itab.nb_col();
    const size_t line_bytes = static_cast<size_t>(nb_col) * static_cast<size_t>(width);
    const int32_t block_lines = static_cast<int32_t>(std::max<size_t>(1, (size_t{32} << 20) / line_bytes));
    std::vector<unsigned char> block(static_cast<size_t>(std::min(block_lines, nb_lig)) * line_bytes);
    const bool threads = worth_threads(nb_lig, nb_col);
    for (int32_t i0 = 0; i0 < nb_lig; i0 += block_lines) {
        const int32_t lines = std::min(block_lines, nb_lig - i0);
        const size_t wanted = static_cast<size_t>(lines) * line_bytes;
        const size_t got = read(block.data(), wanted);
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.begin() + static_cast<std::ptrdiff_t>(wanted),
                  0);
#pragma omp parallel for schedule(static) if (threads)
        for (int32_t k = 0; k < lines; k++) {
            const unsigned char *line = &block[static_cast<size_t>(k) * line_bytes];
            int32_t *out = itab[i0 + k];
            if (width == 2)
                for (int32_t j = 0; j < nb_col; j++)
                    out[j] = sample16(&line[2 * static_cast<size_t>(j)]);
            else
                for (int32_t j = 0; j < nb_col; j++)
                    out[j] = sample32(&line[4 * static_cast<size_t>(j)]);
        }
    }
}

struct RawModel {
    Grid<int32_t> itab;   // the samples, as the dialogue reads them
    int32_t pix_size = 0; // the descriptor's pixel size; 0 when it gives none
    std::string warning;  // a file of the wrong size, read anyway; empty otherwise
};

// Reads a model as the dialogue does: the size from the descriptor beside
// it, a short file's missing samples 0, bytes after the grid ignored. Grids
// with a side over max_side cells are refused. `before_reading(lines,
// columns)`, when given, is called once the size is known and before the
// grid is made (it may throw, to refuse a grid too large).
RawModel read_raw_model(const std::string &path, int32_t max_side,
                        const std::function<void(int32_t, int32_t)> &before_reading = {});

} // namespace terralume

#endif
