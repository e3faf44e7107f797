#include "harness.h"

#include "parallel.h"
#include "phases.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace terralume::fuzz
{

namespace
{

// Grids of a run take at most this many bytes (about 1500 cells), and at
// most two days of a period are computed: one input runs in milliseconds,
// whatever size and period it asks for.
constexpr RunLimits kLimits{64 * 1024, 2};

std::string le16(std::initializer_list<int> v)
{
    std::string s;
    for (int x : v) {
        s += static_cast<char>(x & 0xFF);
        s += static_cast<char>((x >> 8) & 0xFF);
    }
    return s;
}

std::string le32(std::initializer_list<int32_t> v)
{
    std::string s;
    for (int32_t x : v)
        for (int k = 0; k < 4; k++)
            s += static_cast<char>((static_cast<uint32_t>(x) >> (8 * k)) & 0xFF);
    return s;
}

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The folder tree the runs work in. Folder f: a 16-bit model d with its
// descriptor, a 32-bit model w with its descriptor, a 16-bit model n
// without one, a model s in the subfolder sub, and a plain file. Folder d:
// the model x whose descriptor each input of the descriptor target writes.
class Sandbox
{
  public:
    static Sandbox &get()
    {
        static Sandbox box;
        return box;
    }
    std::string base() const { return root_.string() + "/"; }
    const fs::path &root() const { return root_; }

    // The files and folders the run made; and whether it changed the tree's own.
    std::optional<std::string> survey(std::vector<fs::path> &made) const
    {
        made.clear();
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root_, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (ec)
                return "cannot walk the folder tree: " + ec.message();
            if (files_.count(it->path()) == 0 && folders_.count(it->path()) == 0)
                made.push_back(it->path());
        }
        for (const auto &[path, bytes] : files_)
            if (path != descriptor() && slurp(path) != bytes)
                return "the run changed " + path.string();
        return std::nullopt;
    }

    static void remove(const std::vector<fs::path> &made)
    {
        std::error_code ec;
        for (const fs::path &p : made)
            fs::remove_all(p, ec);
    }

    fs::path descriptor() const { return root_ / "d/x_m2.txt"; }

  private:
    Sandbox()
    {
        set_threads(1);
        // Outputs are synced to the disk; a memory file system makes that free.
        const fs::path tmp = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        root_ = tmp / ("terralume-fuzz-" + std::to_string(getpid()));
        fs::remove_all(root_);
        add("f/d_m2.raw", le16({5, 9, 14, 20, 6, 11, 30, 22, 4, 8, 12, 16}));
        add("f/d_m2.txt", "3 4 2 4 30 10");
        add("f/w_m4.raw", le32({-5, 0, 12, 40, 7, 3, 2, 1, 0}));
        add("f/w_m4.txt", "3\n3\n4\n-5\n40\n1\n");
        add("f/n_m2.raw", le16({100, 120, 90, 80, 60, 110}));
        add("f/sub/s_m2.raw", le16({1, 2, 3, 4}));
        add("f/sub/s_m2.txt", "2 2 2 1 4 5");
        add("f/plain", "not a folder");
        add("d/x_m2.raw", le16({3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3}));
        add("d/x_m2.txt", "");
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    void add(const std::string &rel, const std::string &bytes)
    {
        const fs::path p = root_ / rel;
        for (fs::path d = p.parent_path(); d != root_.parent_path(); d = d.parent_path())
            folders_.insert(d);
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        files_[p] = bytes;
    }
    fs::path root_;
    std::map<fs::path, std::string> files_;
    std::set<fs::path> folders_;
};

struct Outcome {
    int status;
    std::string transcript;
};

Outcome run(const std::string &answers)
{
    std::istringstream in(answers);
    std::ostringstream out;
    Console con{in, out, false};
    const int status = run_terralume(con, Sandbox::get().base(), kLimits);
    return {status, out.str()};
}

// The number after `label` in the last place the transcript shows it.
std::optional<long> shown(const std::string &transcript, const std::string &label)
{
    const size_t at = transcript.rfind(label);
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtol(transcript.c_str() + at + label.size(), nullptr, 10);
}

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A model descriptor holds six whole numbers, one a line.
bool complete_descriptor(const std::string &text)
{
    std::istringstream s(text);
    long v = 0;
    int n = 0;
    while (s >> v)
        n++;
    return n == 6 && s.eof() && std::count(text.begin(), text.end(), '\n') == 6;
}

// What a run left behind, against what it promises: on failure nothing but
// a complete model descriptor; on success one result image of the model's
// size and its report, perhaps with a complete model descriptor.
std::optional<std::string> judge(const Outcome &o, const std::vector<fs::path> &made)
{
    if (o.status != 0 && o.status != 1)
        return "exit status " + std::to_string(o.status);
    if (o.status == 1 && !ends_with(o.transcript, " \n"))
        return "a failure without its message";
    std::vector<fs::path> images;
    std::vector<fs::path> reports;
    for (const fs::path &p : made) {
        const std::string name = p.filename().string();
        if (fs::is_directory(p))
            return "a folder was made: " + p.string();
        if (ends_with(name, "_m2.txt") || ends_with(name, "_m4.txt")) {
            if (!complete_descriptor(slurp(p)))
                return "an incomplete model descriptor: " + p.string();
        } else if (o.status == 0 && ends_with(name, "_irra.raw")) {
            images.push_back(p);
        } else if (o.status == 0 && ends_with(name, "_irra.txt")) {
            reports.push_back(p);
        } else {
            return "a file left behind: " + p.string();
        }
    }
    if (o.status == 1)
        return std::nullopt;
    if (images.size() != 1 || reports.size() != 1)
        return "a complete run without exactly one image and one report";
    const std::string stem = images[0].string().substr(0, images[0].string().size() - 9);
    if (reports[0].string() != stem + "_irra.txt")
        return "an image and a report of different names";
    const std::optional<long> lines = shown(o.transcript, "\n\t            ");
    const std::optional<long> columns = shown(o.transcript, "\n\t        AND ");
    if (!lines || !columns)
        return "a complete run that did not show the model's size";
    if (fs::file_size(images[0]) != static_cast<uintmax_t>(*lines) * static_cast<uintmax_t>(*columns))
        return "an image of the wrong size";
    if (slurp(reports[0]).rfind(std::to_string(*lines) + "\n" + std::to_string(*columns) + "\n1\n0\n255\n", 0) != 0)
        return "a report that does not start with the image's six numbers";
    return std::nullopt;
}

// Judges the run, then puts the tree back as it was.
std::optional<std::string> check(const Outcome &o)
{
    std::vector<fs::path> made;
    std::optional<std::string> problem = Sandbox::get().survey(made);
    if (!problem)
        problem = judge(o, made);
    Sandbox::remove(made);
    return problem;
}

} // namespace

std::optional<std::string> descriptor_input(const uint8_t *data, size_t size)
{
    Sandbox &box = Sandbox::get();
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::ofstream(box.descriptor(), std::ios::binary | std::ios::trunc) << text;

    // The reader agrees with sscanf's "%d%d%d%d%d%d" wherever sscanf is
    // defined: numbers of at most nine digits.
    int32_t mine[6] = {-1, -1, -1, -1, -1, -1};
    int32_t *ptrs[6] = {&mine[0], &mine[1], &mine[2], &mine[3], &mine[4], &mine[5]};
    const int read = read_descriptor_values(text, ptrs);
    size_t digits = 0;
    size_t longest = 0;
    for (const char c : text) {
        digits = c >= '0' && c <= '9' ? digits + 1 : 0;
        longest = std::max(longest, digits);
    }
    if (longest <= 9) {
        int theirs[6] = {-1, -1, -1, -1, -1, -1};
        const int got = std::sscanf(text.c_str(), "%d%d%d%d%d%d", &theirs[0], &theirs[1], &theirs[2], &theirs[3],
                                    &theirs[4], &theirs[5]);
        if (std::max(got, 0) != read || !std::equal(mine, mine + 6, theirs))
            return "the descriptor reader and sscanf disagree";
    }
    return check(run("d x 0 0 0 10 45 50 2 21 6 21 6"));
}

std::optional<std::string> dialogue_input(const uint8_t *data, size_t size)
{
    const std::string answers(reinterpret_cast<const char *>(data), size);
    // Names reaching out of the tree are the operator's right, not the
    // harness's: such inputs are left out.
    if (answers.find("..") != std::string::npos)
        return std::nullopt;
    return check(run(answers));
}

} // namespace terralume::fuzz
