// Result images to PNG: the pixels read back with libpng, the names, and
// every input or output that cannot make a PNG.
#include "gis_support.h"
#include "result_png.h"
#include "support.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <limits>
#include <optional>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

struct Decoded {
    bool ok = false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;
    std::string pixels;
};

Decoded decode(const fs::path &p, uint32_t format = PNG_FORMAT_GRAY)
{
    Decoded d;
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, p.c_str()))
        return d;
    d.width = img.width;
    d.height = img.height;
    d.format = img.format; // as stored, before any conversion
    img.format = format;
    std::string buf(PNG_IMAGE_SIZE(img), '\0');
    d.ok = png_image_finish_read(&img, nullptr, buf.data(), 0, nullptr) != 0;
    d.pixels = buf;
    return d;
}

// The descriptor as a run writes it: the six numbers, then the report.
std::string descriptor_text(int32_t lines, int32_t columns)
{
    return std::to_string(lines) + "\n" + std::to_string(columns) +
           "\n1\n0\n255\n90\n\n\n\tParameters :\n\t\tLatitude : 36.600000 ";
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t k = 0; k < n; k++)
        s[k] = static_cast<char>((k * 37 + 11) % 256);
    return s;
}

// Expects `f` to throw a PngError whose message holds every one of `parts`.
template <typename F> void expect_error(F f, const std::vector<std::string> &parts)
{
    try {
        f();
        ADD_FAILURE() << "no error; expected one naming " << parts.front();
    } catch (const PngError &e) {
        for (const std::string &part : parts)
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what() << "\nlacks: " << part;
    }
}

// Bytes that compress badly: a PNG of them is about as large as they are.
std::string noise_image(size_t bytes)
{
    std::string noise(bytes, '\0');
    uint32_t x = 12345;
    for (char &c : noise) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return noise;
}

} // namespace

TEST(ResultPng, PixelsLinesAndColumnsSurviveTheRoundTrip)
{
    Scratch s;
    // One line, one column, and shapes that would show lines and columns swapped.
    for (const auto &[lines, columns] : {std::pair{1, 1}, {1, 9}, {9, 1}, {3, 5}, {64, 257}}) {
        const fs::path raw = s.root() / "r_irra.raw";
        const std::string bytes = pattern(static_cast<size_t>(lines) * static_cast<size_t>(columns));
        write_file(raw, bytes);
        write_file(s.root() / "r_irra.txt", descriptor_text(lines, columns));
        const ResultSize size = result_to_png(raw.string(), png_beside(raw.string()));
        EXPECT_EQ(size.lines, lines);
        EXPECT_EQ(size.columns, columns);
        const Decoded d = decode(s.root() / "r_irra.png");
        ASSERT_TRUE(d.ok) << lines << "x" << columns;
        EXPECT_EQ(d.width, static_cast<uint32_t>(columns));
        EXPECT_EQ(d.height, static_cast<uint32_t>(lines));
        EXPECT_EQ(d.format, static_cast<uint32_t>(PNG_FORMAT_GRAY)) << "8-bit grey without alpha";
        EXPECT_TRUE(d.pixels == bytes) << lines << "x" << columns;
    }
}

TEST(ResultPng, AResultOfAWholeRun)
{
    // The recorded crater run's result, through the real program's files.
    Scratch s;
    const fs::path files = fs::path(TL_TEST_DATA) / "golden/crater-menu-retries/expected/files/synth";
    fs::copy(files, s.root());
    const fs::path raw = s.root() / "crater_dec_irra.raw";
    const fs::path png = s.root() / "out" / "crater.png";
    fs::create_directories(png.parent_path());
    const ResultSize size = result_to_png(raw.string(), png.string());
    const Decoded d = decode(png);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(static_cast<int32_t>(d.width), size.columns);
    EXPECT_EQ(static_cast<int32_t>(d.height), size.lines);
    EXPECT_TRUE(d.pixels == read_file(raw));
}

TEST(ResultPng, NamesBesideTheImage)
{
    EXPECT_EQ(descriptor_beside("images/j/year_irra.raw"), "images/j/year_irra.txt");
    EXPECT_EQ(png_beside("images/j/year_irra.raw"), "images/j/year_irra.png");
    EXPECT_EQ(png_beside("a.raw.raw"), "a.raw.png");
    EXPECT_TRUE(is_raw_name("x.raw"));
    EXPECT_TRUE(is_raw_name("/tmp/x.raw"));
    for (const char *bad : {"", ".raw", "dir/.raw", "x.RAW", "x.raw.txt", "x.png", "x"})
        EXPECT_FALSE(is_raw_name(bad)) << bad;
}

TEST(ResultPng, DescriptorsThatGiveNoImageSize)
{
    const std::string p = "d_irra.txt";
    EXPECT_EQ(parse_result_descriptor("3 5 1 0 255 90", p).columns, 5);
    EXPECT_EQ(parse_result_descriptor("\t3\r\n5\r\n1\r\n0\r\n255\r\n0\r\n", p).lines, 3); // pixel size under 1 m
    expect_error([&] { parse_result_descriptor("", p); }, {p, "holds 0 readable whole numbers"});
    expect_error([&] { parse_result_descriptor("3\n5\n1\n0\n255\n", p); }, {p, "holds 5 readable"});
    expect_error([&] { parse_result_descriptor("3\n5\n1\nzero\n255\n90\n", p); }, {p, "holds 3 readable"});
    expect_error([&] { parse_result_descriptor("0 5 1 0 255 90", p); }, {p, "0 lines and 5 columns"});
    expect_error([&] { parse_result_descriptor("3 -5 1 0 255 90", p); }, {p, "3 lines and -5 columns"});
    expect_error([&] { parse_result_descriptor("3 99999999999 1 0 255 90", p); }, {p, "holds 1 readable"});
    expect_error([&] { parse_result_descriptor("344 403 2 236 1076 90", p); }, {p, "2 bytes per sample"});
}

TEST(ResultPng, MissingOrMismatchedInputsCreateNoPng)
{
    Scratch s;
    const std::string raw = (s.root() / "r_irra.raw").string();
    const std::string txt = (s.root() / "r_irra.txt").string();
    const std::string png = (s.root() / "r_irra.png").string();

    write_file(raw, pattern(15));
    expect_error([&] { result_to_png(raw, png); }, {"no descriptor " + txt});

    fs::create_directories(txt);
    expect_error([&] { result_to_png(raw, png); }, {txt, "is a folder"});
    fs::remove(txt);

    write_file(txt, descriptor_text(3, 5));
    fs::remove(raw);
    expect_error([&] { result_to_png(raw, png); }, {"no image " + raw});
    fs::create_directories(raw);
    expect_error([&] { result_to_png(raw, png); }, {raw, "not a regular file"});
    fs::remove(raw);

    write_file(raw, pattern(14));
    expect_error([&] { result_to_png(raw, png); }, {raw, "holds 14 bytes", txt, "3 lines of 5 columns, 15 bytes"});
    write_file(raw, pattern(16));
    expect_error([&] { result_to_png(raw, png); }, {"holds 16 bytes"});
    EXPECT_FALSE(fs::exists(png));

    // An earlier PNG stays as it was when the inputs are at fault.
    write_file(png, "earlier");
    expect_error([&] { result_to_png(raw, png); }, {"holds 16 bytes"});
    EXPECT_EQ(read_file(png), "earlier");
}

TEST(ResultPng, OutputsThatCannotBeWritten)
{
    Scratch s;
    const std::string raw = (s.root() / "r_irra.raw").string();
    write_file(raw, pattern(15));
    write_file(s.root() / "r_irra.txt", descriptor_text(3, 5));

    // A folder that does not exist, and one whose path goes through a file.
    expect_error([&] { result_to_png(raw, (s.root() / "none/r.png").string()); },
                 {"cannot create " + (s.root() / "none/r.png").string()});
    expect_error([&] { result_to_png(raw, raw + "/r.png"); }, {"cannot create " + raw + "/r.png"});
    // The output is a folder.
    fs::create_directories(s.root() / "dir.png");
    expect_error([&] { result_to_png(raw, (s.root() / "dir.png").string()); }, {"cannot create"});
    // The output would overwrite an input, under another spelling.
    const std::string again = (s.root() / "." / "r_irra.raw").string();
    expect_error([&] { result_to_png(raw, again); }, {"would overwrite its own input"});
    expect_error([&] { result_to_png(raw, (s.root() / "r_irra.txt").string()); }, {"would overwrite"});
    fs::create_hard_link(raw, s.root() / "link.png");
    expect_error([&] { result_to_png(raw, (s.root() / "link.png").string()); }, {"would overwrite"});
    EXPECT_EQ(read_file(raw), pattern(15));

    // A device, a pipe or a link is not replaced by a file: refused, and
    // left as it was.
    if (fs::exists("/dev/full")) {
        expect_error([&] { result_to_png(raw, "/dev/full"); }, {"the PNG /dev/full is not a regular file"});
        EXPECT_TRUE(fs::exists("/dev/full") && !fs::is_regular_file("/dev/full"));
    }
    const fs::path fifo = s.root() / "pipe.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    expect_error([&] { result_to_png(raw, fifo.string()); }, {"the PNG " + fifo.string() + " is not a regular file"});
    write_file(s.root() / "real.png", "earlier");
    fs::create_symlink(s.root() / "real.png", s.root() / "sym.png");
    expect_error([&] { result_to_png(raw, (s.root() / "sym.png").string()); }, {"is a symbolic link"});
    EXPECT_EQ(read_file(s.root() / "real.png"), "earlier");
    EXPECT_TRUE(fs::is_symlink(s.root() / "sym.png"));
}

TEST(ResultPng, AFailedWriteLeavesTheEarlierPng)
{
    // A disk that fills up, as a file-size limit makes it (SIGXFSZ ignored,
    // as the shell's `ulimit -f` with terralume's own handling): the earlier
    // PNG of that name stays whole, and nothing else is left.
    Scratch s;
    const std::string raw = (s.root() / "r_irra.raw").string();
    const std::string noise = noise_image(300 * 200);
    write_file(raw, noise);
    write_file(s.root() / "r_irra.txt", descriptor_text(300, 200));
    write_file(s.root() / "r_irra.png", "earlier");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            result_to_png(raw, (s.root() / "r_irra.png").string());
        } catch (const PngError &e) {
            _exit(std::string(e.what()).find("(File too large)") != std::string::npos ? 0 : 2);
        }
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(s.root() / "r_irra.png"), "earlier");
    EXPECT_EQ(listing(s.root()), (std::vector<std::string>{"r_irra.png", "r_irra.raw", "r_irra.txt"}));
    // Without the limit it is replaced whole.
    result_to_png(raw, (s.root() / "r_irra.png").string());
    EXPECT_EQ(decode(s.root() / "r_irra.png").pixels, noise);
}

namespace terralume
{
namespace
{

TEST(TiffPng, EveryKindReadable)
{
    const double inf = INFINITY;
    const double big = std::numeric_limits<float>::max();
    const struct {
        const char *kind;
        std::vector<double> values;
        bool bytes;
        std::optional<double> nodata;
        std::vector<unsigned char> greys;  // of the cells with a value, 0 elsewhere
        std::vector<unsigned char> valued; // empty: all
    } cases[] = {
        {"hours, 0 to 510", {0, 102, 510, -9999, 255, 1}, false, -9999.0, {0, 51, 255, 0, 128, 1}, {1, 1, 1, 0, 1, 1}},
        {"shadow mask", {0, 1, 255, 1}, true, 255.0, {0, 255, 0, 255}, {1, 1, 0, 1}},
        {"mask without shadow", {0, 0}, true, 255.0, {0, 0}, {}},
        {"index", {0, 7, 254, 255}, true, 255.0, {0, 7, 254, 0}, {1, 1, 1, 0}},
        {"bytes without nodata", {0, 7, 254, 255}, true, std::nullopt, {0, 7, 254, 255}, {}},
        {"infinities and NaN", {-inf, 0, 10, inf, NAN}, false, std::nullopt, {0, 0, 255, 255, 0}, {1, 1, 1, 1, 0}},
        {"one value", {3.5, 3.5, -9999}, false, -9999.0, {128, 128, 0}, {1, 1, 0}},
        {"the widest floats", {-big, 0, big}, false, std::nullopt, {0, 128, 255}, {}},
        {"nodata NaN", {NAN, 1, 2}, false, NAN, {0, 0, 255}, {0, 1, 1}},
    };
    for (const auto &c : cases) {
        const Greys g = tiff_greys(c.values, c.bytes, c.nodata);
        const std::vector<unsigned char> valued =
            c.valued.empty() ? std::vector<unsigned char>(c.values.size(), 1) : c.valued;
        EXPECT_EQ(g.grey, c.greys) << c.kind;
        EXPECT_EQ(g.valued, valued) << c.kind;
        EXPECT_EQ(g.any_without, !c.valued.empty()) << c.kind;
    }
}

TEST(TiffPng, CellsWithoutValueAreTransparent)
{
    test::Scratch s;
    const std::string hours = (s.root() / "h.tif").string();
    test::make_geotiff(hours, {2, 3, GDT_Float32, {0, 102, 510, -9999, 255, 1}, std::nullopt, 0, -9999.0});
    ASSERT_EQ(tiff_to_png(hours, (s.root() / "h.png").string()).columns, 3);
    const Decoded h = decode(s.root() / "h.png", PNG_FORMAT_GA);
    EXPECT_EQ(h.format, PNG_FORMAT_GA);
    EXPECT_EQ(h.pixels, std::string("\x00\xff\x33\xff\xff\xff\x00\x00\x80\xff\x01\xff", 12));
    // Every cell with a value: grey alone.
    const std::string index = (s.root() / "i.TIF").string();
    test::make_geotiff(index, {1, 4, GDT_Byte, {0, 7, 254, 253}, std::nullopt, 0, 255.0});
    EXPECT_TRUE(is_tiff_name(index));
    EXPECT_EQ(png_beside_tiff(index), (s.root() / "i.png").string());
    tiff_to_png(index, png_beside_tiff(index));
    const Decoded i = decode(s.root() / "i.png");
    EXPECT_EQ(i.format, PNG_FORMAT_GRAY);
    EXPECT_EQ(i.pixels, std::string("\x00\x07\xfe\xfd", 4));
    // Two bands are refused, and no PNG is made.
    const std::string two = (s.root() / "two.tif").string();
    test::TiffLayout layout{1, 2, GDT_Byte, {1, 2}, std::nullopt, 0, std::nullopt};
    layout.bands = 2;
    test::make_geotiff(two, layout);
    EXPECT_THROW(tiff_to_png(two, (s.root() / "two.png").string()), PngError);
    EXPECT_FALSE(fs::exists(s.root() / "two.png"));
}

TEST(TiffPng, SizesFromTheHeaderAndInfiniteValues)
{
    test::Scratch s;
    // A few hundred bytes declaring 2147483647 lines of one cell: refused
    // from the header, at once, before anything is read or allocated.
    const std::string tall = (s.root() / "tall.tif").string();
    {
        gis::start_gdal();
        const char *options[] = {"SPARSE_OK=TRUE", nullptr};
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            tall.c_str(), 1, 2147483647, 1, GDT_Float32, const_cast<char **>(options)));
        ASSERT_TRUE(ds);
    }
    const auto start = std::chrono::steady_clock::now();
    try {
        tiff_to_png(tall, (s.root() / "tall.png").string());
        ADD_FAILURE() << "a PNG of 2147483647 lines was made";
    } catch (const PngError &e) {
        EXPECT_NE(std::string(e.what()).find("has 2147483647 lines and 1 columns; a PNG holds at most 1000000"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(fs::exists(s.root() / "tall.png"));
    // Infinities: white and black at their ends, counted, the rest stretched.
    const std::string inf = (s.root() / "inf.tif").string();
    test::make_geotiff(inf, {1, 4, GDT_Float32, {INFINITY, 0, 10, -INFINITY}, std::nullopt, 0, std::nullopt});
    std::string warning;
    tiff_to_png(inf, (s.root() / "inf.png").string(), &warning);
    EXPECT_EQ(decode(s.root() / "inf.png").pixels, std::string("\xff\x00\xff\x00", 4));
    EXPECT_NE(warning.find("2 cells are infinite"), std::string::npos) << warning;
}

} // namespace
} // namespace terralume
