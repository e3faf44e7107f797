// The dialogue's model files: a headerless grid of little-endian samples,
// unsigned 16-bit (NAME_m2.raw) or signed 32-bit (NAME_m4.raw), and beside it
// the descriptor NAME_m2.txt / NAME_m4.txt of six whole numbers (lines,
// columns, bytes per sample, lowest and highest sample, pixel size).
#ifndef TERRALUME_IO_RAW_MODEL_H
#define TERRALUME_IO_RAW_MODEL_H

#include "descriptor.h"
#include "grid.h"

#include <cstdint>
#include <stdexcept>
#include <string>

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

struct RawModel {
    Grid<int32_t> itab;   // the samples, as the dialogue reads them
    int32_t pix_size = 0; // the descriptor's pixel size; 0 when it gives none
    std::string warning;  // a file of the wrong size, read anyway; empty otherwise
};

// Reads a model as the dialogue does: the size from the descriptor beside
// it, a short file's missing samples 0, bytes after the grid ignored. Grids
// with a side over max_side cells are refused.
RawModel read_raw_model(const std::string &path, int32_t max_side);

} // namespace terralume

#endif
