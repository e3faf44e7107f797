// A result image turned into an 8-bit greyscale PNG.
//
// A result image (NAME.raw) is a bare grid of bytes, one a cell, line 0 (the
// northern edge) first, no header. Its size is in the descriptor beside it
// (NAME.txt), whose first six whole numbers are the lines, the columns, the
// bytes per sample (1), the lowest and highest value and the pixel size; the
// report of the run follows them.
#ifndef TERRALUME_PNG_RESULT_PNG_H
#define TERRALUME_PNG_RESULT_PNG_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace terralume
{

// A conversion that cannot be done; the message names the file at fault.
class PngError : public std::runtime_error
{
  public:
    explicit PngError(const std::string &message) : std::runtime_error(message) {}
};

struct ResultSize {
    int32_t lines = 0;
    int32_t columns = 0;
};

// True when `path` ends in ".raw" after at least one character.
bool is_raw_name(const std::string &path);
// NAME.raw -> NAME.txt and NAME.raw -> NAME.png; `raw_path` must end in ".raw".
std::string descriptor_beside(const std::string &raw_path);
std::string png_beside(const std::string &raw_path);

// The size given by the text of a result descriptor read from `path` (named
// in the messages): six whole numbers, positive lines and columns, 1 byte per
// sample. What follows the sixth number is not looked at.
ResultSize parse_result_descriptor(const std::string &text, const std::string &path);
ResultSize read_result_descriptor(const std::string &path);

// Writes the result image `raw_path`, sized by the descriptor beside it, as
// an 8-bit greyscale PNG at `png_path`, every byte kept as its grey level.
// The inputs are checked before the PNG is created. It is written under a
// temporary name beside `png_path` and committed through io only when
// complete, so a failure leaves an earlier PNG of that name as it was; a
// link, a device or a pipe of that name is refused. Returns the size written.
ResultSize result_to_png(const std::string &raw_path, const std::string &png_path);

// Encodes size.lines rows of size.columns grey bytes (with `alpha`, pairs
// of grey and opacity) read from `in` (named `source` in the messages) into
// the PNG `png_path`; a PNG that fails halfway is removed, and an earlier one
// stays.
void write_png(FILE *in, const ResultSize &size, const std::string &source, const std::string &png_path,
               bool alpha = false);

// True when `path` ends in .tif or .tiff (any case) after at least one character.
bool is_tiff_name(const std::string &path);
// NAME.tif -> NAME.png.
std::string png_beside_tiff(const std::string &tiff_path);

// The largest side of a PNG written: libpng's own limit on the lines and the
// columns it takes.
constexpr int32_t kPngMaxSide = 1000000;

// Writes band 1 of a single-band GeoTIFF (an output of terralume's command
// line) as an 8-bit greyscale PNG (see tiff_greys), with an alpha channel,
// transparent on cells without a value, when there are any; infinite cells
// are counted in `warning`. The size and the memory it takes are checked
// from the header before any sample is read.
ResultSize tiff_to_png(const std::string &tiff_path, const std::string &png_path, std::string *warning);
inline ResultSize tiff_to_png(const std::string &tiff_path, const std::string &png_path)
{
    return tiff_to_png(tiff_path, png_path, nullptr);
}

// The grey levels of a band's values. Cells of `nodata` (when given) and
// NaN have none. Byte samples are kept as they are, but for a mask, all 0
// or 1, drawn black and white; any other type is stretched linearly from its
// lowest to its highest finite value over 0 to 255, to the nearest, +Inf
// white and -Inf black, and a band of one value is mid-grey (128).
struct Greys {
    std::vector<unsigned char> grey;
    std::vector<unsigned char> valued; // 1 where the cell has a value
    bool any_without = false;
};
Greys tiff_greys(const std::vector<double> &values, bool bytes, std::optional<double> nodata);

} // namespace terralume

#endif
