#include "result_png.h"

#include "descriptor.h"
#include "file.h"
#include "raw_model.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace terralume
{

namespace
{

namespace fs = std::filesystem;

const std::string kRaw = ".raw";

// Everything the libpng callbacks and the setjmp frame of `encode` touch is
// plain data, so that a longjmp out of libpng skips no destructor.
struct Encoder {
    FILE *in;
    FILE *out;
    unsigned char *row; // one line of the image
    uint32_t lines;
    uint32_t columns;
    uint32_t channels; // 1 grey, 2 grey and alpha
    char message[512]; // why the encoding stopped, when it did
};

void on_error(png_structp png, png_const_charp what)
{
    auto *e = static_cast<Encoder *>(png_get_error_ptr(png));
    if (e->message[0] == '\0')
        std::snprintf(e->message, sizeof e->message, "%s", what);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp what) { std::fprintf(stderr, "terralume-png: libpng: %s\n", what); }

void on_write(png_structp png, png_bytep data, size_t length)
{
    auto *e = static_cast<Encoder *>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, e->out) != length) {
        std::snprintf(e->message, sizeof e->message, "%s", std::strerror(errno));
        png_error(png, "write failed");
    }
}

void on_flush(png_structp png)
{
    auto *e = static_cast<Encoder *>(png_get_io_ptr(png));
    if (std::fflush(e->out) != 0) {
        std::snprintf(e->message, sizeof e->message, "%s", std::strerror(errno));
        png_error(png, "flush failed");
    }
}

// Reads the image line by line and writes it as PNG. False with e.message set
// when reading or writing fails; `read_failed` tells which side.
bool encode(Encoder &e, bool &read_failed)
{
    read_failed = false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &e, on_error, on_warning);
    if (png == nullptr) {
        std::snprintf(e.message, sizeof e.message, "libpng could not start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(e.message, sizeof e.message, "libpng could not start");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &e, on_write, on_flush);
    png_set_IHDR(png, info, e.columns, e.lines, 8, e.channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t i = 0; i < e.lines; i++) {
        if (std::fread(e.row, e.channels, e.columns, e.in) != e.columns) {
            if (std::ferror(e.in))
                std::snprintf(e.message, sizeof e.message, "%s", std::strerror(errno));
            else
                std::snprintf(e.message, sizeof e.message, "it ended at line %u", i);
            read_failed = true;
            png_destroy_write_struct(&png, &info);
            return false;
        }
        png_write_row(png, e.row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct FileCloser {
    FILE *f = nullptr;
    ~FileCloser()
    {
        if (f != nullptr)
            std::fclose(f);
    }
};

} // namespace

void write_png(FILE *in, const ResultSize &size, const std::string &source, const std::string &png_path, bool alpha)
{
    // Only a regular file is replaced: a link, a device or a pipe of that
    // name is refused, as the command line refuses it.
    struct stat st {
    };
    if (lstat(png_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        throw PngError(strf("the PNG %s is a symbolic link, which would be replaced by a file: name the file itself",
                            png_path.c_str()));
    if (lstat(png_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw PngError(strf("the PNG %s is not a regular file (a device, a pipe or a socket), which would be replaced",
                            png_path.c_str()));
    // Written under a temporary name beside it and committed through io, so
    // that an earlier PNG stays whole until then, under a lock beside it.
    ResultLock lock;
    File out;
    try {
        lock.acquire(ResultLock::path_beside(png_path), png_path);
        out.create(png_path);
    } catch (const LockHeld &e) {
        throw PngError(strf("the PNG %s is being written by another run (pid %ld)", png_path.c_str(), e.pid));
    } catch (const OutputError &e) {
        throw PngError(strf("cannot create %s (%s)", e.file.c_str(), std::strerror(e.error)));
    }
    const uint32_t channels = alpha ? 2 : 1;
    std::vector<unsigned char> row(static_cast<size_t>(size.columns) * channels);
    Encoder e{in,       out.get(), row.data(), static_cast<uint32_t>(size.lines), static_cast<uint32_t>(size.columns),
              channels, {}};
    bool read_failed = false;
    if (!encode(e, read_failed)) {
        out.abandon();
        if (read_failed)
            throw PngError(strf("cannot read the image %s (%s)", source.c_str(), e.message));
        throw PngError(strf("cannot write %s (%s)", png_path.c_str(), e.message));
    }
    try {
        out.close();
        File::commit({&out}, &lock);
    } catch (const OutputError &err) {
        throw PngError(strf("cannot write %s (%s)", png_path.c_str(), std::strerror(err.error)));
    }
}

bool is_raw_name(const std::string &path)
{
    return path.size() > kRaw.size() && path.compare(path.size() - kRaw.size(), kRaw.size(), kRaw) == 0 &&
           path[path.size() - kRaw.size() - 1] != '/';
}

std::string descriptor_beside(const std::string &raw_path)
{
    return raw_path.substr(0, raw_path.size() - kRaw.size()) + ".txt";
}

std::string png_beside(const std::string &raw_path)
{
    return raw_path.substr(0, raw_path.size() - kRaw.size()) + ".png";
}

ResultSize parse_result_descriptor(const std::string &text, const std::string &path)
{
    int32_t v[6] = {};
    int32_t *values[6] = {&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]};
    const int read = read_descriptor_values(text, values);
    if (read < 6)
        throw PngError(strf("the descriptor %s holds %d readable whole number%s where a result descriptor starts with "
                            "six (lines, columns, bytes per sample, lowest, highest, pixel size)",
                            path.c_str(), read, read == 1 ? "" : "s"));
    if (v[0] <= 0 || v[1] <= 0)
        throw PngError(
            strf("the descriptor %s gives %d lines and %d columns; both must be positive", path.c_str(), v[0], v[1]));
    if (v[2] != 1)
        throw PngError(strf("the descriptor %s gives %d bytes per sample; a result image has 1", path.c_str(), v[2]));
    return {v[0], v[1]};
}

ResultSize read_result_descriptor(const std::string &path)
{
    const DescriptorText d = read_descriptor_file(path);
    switch (d.problem) {
    case DescriptorText::None:
    case DescriptorText::TooLong:
        break;
    case DescriptorText::Missing:
        throw PngError(
            strf("no descriptor %s: the size of a result image is read from the descriptor beside it", path.c_str()));
    case DescriptorText::NotRegular:
        throw PngError(
            strf("cannot read the descriptor %s: it is %s", path.c_str(), d.err == EISDIR ? "a folder" : "a pipe"));
    case DescriptorText::Unreadable:
        throw PngError(strf("cannot read the descriptor %s (%s)", path.c_str(), std::strerror(d.err)));
    }
    return parse_result_descriptor(d.text, path);
}

ResultSize result_to_png(const std::string &raw_path, const std::string &png_path)
{
    const ResultSize size = read_result_descriptor(descriptor_beside(raw_path));
    if (size.lines > kPngMaxSide || size.columns > kPngMaxSide)
        throw PngError(strf("the descriptor %s gives %d lines and %d columns; a PNG holds at most %d of either",
                            descriptor_beside(raw_path).c_str(), size.lines, size.columns, kPngMaxSide));
    const uint64_t expected = static_cast<uint64_t>(size.lines) * static_cast<uint64_t>(size.columns);

    std::error_code ec;
    const fs::file_status status = fs::status(raw_path, ec);
    if (!fs::exists(status))
        throw PngError(strf("no image %s", raw_path.c_str()));
    if (!fs::is_regular_file(status))
        throw PngError(strf("the image %s is not a regular file", raw_path.c_str()));
    const uintmax_t actual = fs::file_size(raw_path, ec);
    if (ec)
        throw PngError(strf("cannot read the image %s (%s)", raw_path.c_str(), ec.message().c_str()));
    if (actual != expected)
        throw PngError(strf("the image %s holds %llu bytes; its descriptor %s gives %d lines of %d columns, %llu bytes",
                            raw_path.c_str(), static_cast<unsigned long long>(actual),
                            descriptor_beside(raw_path).c_str(), size.lines, size.columns,
                            static_cast<unsigned long long>(expected)));
    for (const std::string &input : {raw_path, descriptor_beside(raw_path)})
        if (fs::equivalent(png_path, input, ec))
            throw PngError(strf("the PNG %s would overwrite its own input", png_path.c_str()));

    FileCloser in{std::fopen(raw_path.c_str(), "rb")};
    if (in.f == nullptr)
        throw PngError(strf("cannot read the image %s (%s)", raw_path.c_str(), std::strerror(errno)));
    write_png(in.f, size, raw_path, png_path);
    return size;
}

} // namespace terralume
