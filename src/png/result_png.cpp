#include "result_png.h"

#include "descriptor.h"
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

// NAME.tmpXXXXXX beside `path`, cut to fit the longest name of its folder.
std::string temporary_beside(const std::string &path)
{
    const size_t cut = path.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : path.substr(0, cut + 1);
    const std::string name = path.substr(folder.size());
    const long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const size_t longest = name_max > 0 ? static_cast<size_t>(name_max) : 255;
    const std::string suffix = ".tmpXXXXXX";
    return folder + name.substr(0, longest - std::min(longest, suffix.size())) + suffix;
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
    // A file is written under a temporary name beside it and renamed when
    // complete, so that an earlier PNG stays whole until then; a device, a
    // pipe or a folder is opened in place.
    std::string target = png_path;
    struct stat st {
    };
    if (lstat(png_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        if (char *real = realpath(png_path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    const bool in_place = stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    std::string temp;
    FileCloser out;
    if (in_place) {
        out.f = std::fopen(target.c_str(), "wb");
    } else {
        temp = temporary_beside(target);
        const int fd = mkstemp(temp.data());
        const mode_t mask = umask(0);
        umask(mask);
        if (fd >= 0 && (fchmod(fd, 0666 & ~mask) != 0 || (out.f = fdopen(fd, "wb")) == nullptr)) {
            const int err = errno;
            ::close(fd);
            std::remove(temp.c_str());
            errno = err;
        }
    }
    if (out.f == nullptr)
        throw PngError(strf("cannot create %s (%s)", png_path.c_str(), std::strerror(errno)));

    const uint32_t channels = alpha ? 2 : 1;
    std::vector<unsigned char> row(static_cast<size_t>(size.columns) * channels);
    Encoder e{in,       out.f, row.data(), static_cast<uint32_t>(size.lines), static_cast<uint32_t>(size.columns),
              channels, {}};
    bool read_failed = false;
    bool ok = encode(e, read_failed);
    if (ok && (std::fflush(out.f) != 0 || (!in_place && fsync(fileno(out.f)) != 0))) {
        std::snprintf(e.message, sizeof e.message, "%s", std::strerror(errno));
        ok = false;
    }
    const int closed = std::fclose(out.f);
    out.f = nullptr;
    if (ok && closed != 0) {
        std::snprintf(e.message, sizeof e.message, "%s", std::strerror(errno));
        ok = false;
    }
    if (ok && !in_place && std::rename(temp.c_str(), target.c_str()) != 0) {
        std::snprintf(e.message, sizeof e.message, "%s", std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        if (!in_place)
            std::remove(temp.c_str());
        if (read_failed)
            throw PngError(strf("cannot read the image %s (%s)", source.c_str(), e.message));
        throw PngError(strf("cannot write %s (%s)", png_path.c_str(), e.message));
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
