#include "raw_model.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
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

DescriptorText read_descriptor_file(const std::string &path)
{
    DescriptorText d;
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0) {
        d.err = errno;
        d.problem = d.err == ENOENT || d.err == ENOTDIR ? DescriptorText::Missing : DescriptorText::Unreadable;
        return d;
    }
    if (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        d.problem = DescriptorText::NotRegular;
        d.err = S_ISDIR(st.st_mode) ? EISDIR : 0;
        return d;
    }
    Stream f(std::fopen(path.c_str(), "r"));
    if (!f) {
        d.err = errno;
        d.problem = d.err == ENOENT ? DescriptorText::Missing : DescriptorText::Unreadable;
        return d;
    }
    // Six numbers and some text after them, not a whole disk.
    d.text.resize(kDescriptorMaxBytes + 1);
    d.text.resize(std::fread(d.text.data(), 1, d.text.size(), f.get()));
    if (std::ferror(f.get())) {
        d.err = errno;
        d.problem = DescriptorText::Unreadable;
        d.text.clear();
    } else if (d.text.size() > kDescriptorMaxBytes) {
        d.problem = DescriptorText::TooLong;
        d.text.resize(kDescriptorMaxBytes);
    }
    return d;
}

DescriptorValues descriptor_values(const std::string &text)
{
    DescriptorValues v;
    int32_t *values[6] = {&v.lines, &v.columns, &v.width, &v.lowest, &v.highest, &v.pixel_size};
    v.count = read_descriptor_values(text, values);
    return v;
}

bool is_pipe(const std::string &path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

RawModel read_raw_model(const std::string &path, int32_t max_side,
                        const std::function<void(int32_t, int32_t)> &before_reading)
{
    const bool wide = ends_with(path, "_m4.raw");
    const std::string descriptor = path.substr(0, path.size() - 4) + ".txt";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw RawModelError(path + ": is a folder");
    if (is_pipe(path))
        throw RawModelError(path + ": is a pipe; a model is read from a file");
    Stream raw(std::fopen(path.c_str(), "rb"));
    if (!raw)
        throw RawModelError(path + ": cannot be read (" + why(errno) + ")");
    const DescriptorText d = read_descriptor_file(descriptor);
    switch (d.problem) {
    case DescriptorText::None:
        break;
    case DescriptorText::Missing:
    case DescriptorText::Unreadable:
        throw RawModelError(descriptor + ": the descriptor of " + path + " cannot be read (" + why(d.err) + ")");
    case DescriptorText::NotRegular:
        throw RawModelError(descriptor + ": the descriptor of " + path + " is a folder or a pipe");
    case DescriptorText::TooLong:
        throw RawModelError(descriptor + ": holds more than " + std::to_string(kDescriptorMaxBytes) +
                            " bytes: a model descriptor holds six numbers");
    }
    const DescriptorValues v = descriptor_values(d.text);
    if (v.count < 2)
        throw RawModelError(descriptor + ": does not give a readable number of lines and columns");
    if (v.lines <= 0 || v.columns <= 0)
        throw RawModelError(descriptor + ": does not give a positive number of lines and columns (lines " +
                            std::to_string(v.lines) + ", columns " + std::to_string(v.columns) + ")");
    if (v.lines > max_side || v.columns > max_side)
        throw RawModelError(descriptor + ": the grid of " + std::to_string(v.lines) + " lines and " +
                            std::to_string(v.columns) + " columns is too large: no side may pass " +
                            std::to_string(max_side) + " cells");

    RawModel m;
    m.pix_size = v.count == 6 && v.pixel_size > 0 ? v.pixel_size : 0;
    const int32_t width = wide ? 4 : 2;
    const uint64_t expected = static_cast<uint64_t>(v.lines) * static_cast<uint64_t>(v.columns) * width;
    const uintmax_t actual = std::filesystem::file_size(path, ec);
    if (!ec && actual != expected)
        m.warning = path + " holds " + std::to_string(actual) + " bytes, " + std::to_string(v.lines) + " lines of " +
                    std::to_string(v.columns) + " columns of " + std::to_string(width) + "-byte samples need " +
                    std::to_string(expected) + ": read anyway, missing samples 0";
    if (before_reading)
        before_reading(v.lines, v.columns);
    m.itab = Grid<int32_t>(v.lines, v.columns);
    if (m.itab.empty())
        throw std::bad_alloc();
    read_samples(
        [&](void *data, size_t size) {
            const size_t got = std::fread(data, 1, size, raw.get());
            if (got != size && std::ferror(raw.get()))
                throw RawModelError(path + ": cannot be read (" + why(errno) + ")");
            return got;
        },
        width, m.itab);
    return m;
}

} // namespace terralume
