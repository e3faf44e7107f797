// Helpers shared by the tests: scratch folders, whole files, scripted runs.
#ifndef TERRALUME_TESTS_SUPPORT_H
#define TERRALUME_TESTS_SUPPORT_H

#include "engine.h"
#include "grid.h"
#include "parallel.h"
#include "phases.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace terralume::test
{

// A fresh folder under the system's temporary folder, named after the test
// (and `tag`, for a test that needs more than one), removed afterwards unless
// kept.
class Scratch
{
  public:
    explicit Scratch(const std::string &tag = "")
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name() : "t";
        if (!tag.empty())
            name += "_" + tag;
        for (char &c : name)
            if (c == '/')
                c = '_';
        root_ = fs::temp_directory_path() / ("terralume_" + name + "_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~Scratch()
    {
        if (!kept_)
            fs::remove_all(root_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    const fs::path &root() const { return root_; }
    std::string base() const { return root_.string() + "/"; }
    // Leaves the folder in place when the test ends, to be looked at.
    void keep() { kept_ = true; }

  private:
    fs::path root_;
    bool kept_ = false;
};

inline std::string read_file(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const fs::path &p, const std::string &bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f << bytes;
}

// Everything a pipe gives until its writers close it; the pipe is closed.
inline std::string read_all(int fd)
{
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Little-endian samples of a raw elevation file.
inline std::string samples16(const std::vector<uint16_t> &v)
{
    std::string s;
    for (uint16_t x : v) {
        s += static_cast<char>(x & 0xFF);
        s += static_cast<char>(x >> 8);
    }
    return s;
}

inline std::string samples32(const std::vector<int32_t> &v)
{
    std::string s;
    for (int32_t x : v) {
        const uint32_t u = static_cast<uint32_t>(x);
        for (int k = 0; k < 4; k++)
            s += static_cast<char>((u >> (8 * k)) & 0xFF);
    }
    return s;
}

struct Outcome {
    int status;
    std::string transcript;
};

// A whole run with scripted answers (whitespace-separated tokens).
inline Outcome run_script(const std::string &base, const std::string &answers)
{
    std::istringstream in(answers);
    std::ostringstream out;
    Console con{in, out, false};
    const int status = run_terralume(con, base);
    return {status, out.str()};
}

// Phases driven one by one with scripted answers.
struct Phases {
    Phases(const std::string &base, const std::string &answers) : in(answers), con{in, out, false}, run(con, base) {}
    std::istringstream in;
    std::ostringstream out;
    Console con;
    terralume::Run run;
};

inline size_t count(const std::string &haystack, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1))
        n++;
    return n;
}

// The names in a folder, sorted.
inline std::vector<std::string> listing(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Answers after the opening questions: unit 0, pixel 10, latitude 45,
// attenuation 50, grey tones, 21 June.
const std::string kRest = " 0 10 45 50 2 21 6 21 6";

template <typename T> Grid<T> grid_of(int32_t nb_lig, int32_t nb_col, const std::vector<T> &cells)
{
    Grid<T> g(nb_lig, nb_col);
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++)
            g[i][j] = cells[static_cast<size_t>(i * nb_col + j)];
    return g;
}

// The bytes of a grid, line after line: grids compared bit for bit.
template <typename T> std::string bytes_of(const Grid<T> &g)
{
    std::string s;
    for (int32_t i = 0; i < g.nb_lig(); i++)
        s.append(reinterpret_cast<const char *>(g[i]), sizeof(T) * static_cast<size_t>(g.nb_col()));
    return s;
}

// A test run with one instruction set of the fast engine (skipped where the
// processor lacks it) on a number of threads; both restored afterwards.
class SetsAndThreads : public ::testing::TestWithParam<std::tuple<std::string, int>>
{
  protected:
    void SetUp() override
    {
        saved_set_ = instruction_set();
        saved_threads_ = max_threads();
        if (!use_instruction_set(std::get<0>(GetParam())))
            GTEST_SKIP() << "this processor does not run " << std::get<0>(GetParam());
        set_threads(std::get<1>(GetParam()));
    }
    void TearDown() override
    {
        use_instruction_set(saved_set_);
        set_threads(saved_threads_);
    }

  private:
    std::string saved_set_;
    int saved_threads_ = 1;
};

// Every instruction set with each thread count, and the names of the cases.
inline std::vector<std::tuple<std::string, int>> sets_and_threads(std::initializer_list<int> threads)
{
    std::vector<std::tuple<std::string, int>> p;
    for (const char *set : {"avx512", "avx2", "generic"})
        for (int t : threads)
            p.emplace_back(set, t);
    return p;
}
inline std::string set_and_threads_name(const ::testing::TestParamInfo<std::tuple<std::string, int>> &info)
{
    return std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param)) + "threads";
}

} // namespace terralume::test

#endif
