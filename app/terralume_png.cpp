// terralume-png: a result image of terralume as an 8-bit greyscale PNG.
#include "result_png.h"
#include "signals.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

namespace
{

const char kUsage[] = "Usage: terralume-png RESULT_irra.raw [OUT.png]\n"
                      "       terralume-png RESULT.tif [OUT.png]\n";

const char kHelp[] = "Turns a result image of terralume (one byte a cell, line 0 north, no header) into an\n"
                     "8-bit greyscale PNG with the same lines and columns, each byte kept as its grey level.\n"
                     "The size is read from the descriptor beside the image (RESULT_irra.txt).\n"
                     "A single-band GeoTIFF (an output of terralume's command line) is read too: Byte samples\n"
                     "as they are, a mask of 0 and 1 black and white, any other type stretched from its lowest to\n"
                     "its highest value; cells without a value transparent.\n"
                     "OUT.png defaults to the image's name with .raw or .tif replaced by .png.\n"
                     "Exit status: 0 the PNG is written; 1 a file is missing, inconsistent or cannot be\n"
                     "written; 2 wrong arguments.\n";

int usage_error(const std::string &why)
{
    std::fprintf(stderr, "terralume-png: %s\n%s", why.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    for (int k = 1; k < argc; k++)
        if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
    if (argc < 2 || argc > 3)
        return usage_error(argc < 2 ? "no result image given" : "too many arguments");
    for (int k = 1; k < argc; k++)
        if (argv[k][0] == '-')
            return usage_error(std::string("unknown option ") + argv[k]);
    const std::string raw = argv[1];
    const bool tiff = terralume::is_tiff_name(raw);
    if (!terralume::is_raw_name(raw) && !tiff)
        return usage_error("the result image " + raw + " does not end in .raw or .tif");
    const std::string png = argc == 3 ? argv[2] : tiff ? terralume::png_beside_tiff(raw) : terralume::png_beside(raw);

    // A stopping signal removes the PNG not yet committed; a write past the
    // file-size limit fails like any other.
    terralume::install_stop_handlers(terralume::StopLayout::CommandLine, "terralume-png");
    try {
        std::string warning;
        const terralume::ResultSize size =
            tiff ? terralume::tiff_to_png(raw, png, &warning) : terralume::result_to_png(raw, png);
        if (!warning.empty())
            std::fprintf(stderr, "terralume-png: warning: %s\n", warning.c_str());
        std::error_code ec;
        const std::filesystem::path where = std::filesystem::absolute(png, ec);
        std::printf("terralume-png: wrote %s (%d columns x %d lines)\n", ec ? png.c_str() : where.c_str(), size.columns,
                    size.lines);
    } catch (const terralume::PngError &e) {
        std::fprintf(stderr, "terralume-png: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "terralume-png: not enough memory for a line of %s\n", raw.c_str());
        return 1;
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "terralume-png: cannot write to standard output\n");
        return 1;
    }
    return 0;
}
