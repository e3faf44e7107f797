// The fuzz harnesses on their saved inputs, in the ordinary builds too: the
// seed corpus, and any input saved in fuzz/regressions after it broke a
// promise (none so far; fuzz/run.sh leaves a failing one in its findings).
#include "../fuzz/harness.h"
#include "support.h"

#include <chrono>

using namespace terralume;
using namespace terralume::test;

namespace
{

using Harness = std::optional<std::string> (*)(const uint8_t *, size_t);

// Every file of fuzz/corpus/`target` and fuzz/regressions/`target`; returns
// how many there were.
size_t replay(const std::string &target, Harness harness)
{
    size_t n = 0;
    for (const char *kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(TL_FUZZ_DATA) / kind / target;
        if (!fs::is_directory(dir))
            continue;
        for (const auto &e : fs::directory_iterator(dir)) {
            const std::string bytes = read_file(e.path());
            const auto problem = harness(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            EXPECT_FALSE(problem) << e.path() << ": " << *problem;
            n++;
        }
    }
    return n;
}

} // namespace

TEST(FuzzReplay, Descriptor) { EXPECT_GE(replay("descriptor", fuzz::descriptor_input), 10u); }

TEST(FuzzReplay, Dialogue) { EXPECT_GE(replay("dialogue", fuzz::dialogue_input), 10u); }

TEST(FuzzReplay, Raster) { EXPECT_GE(replay("raster", fuzz::raster_input), 8u); }

TEST(FuzzReplay, HarnessesSeeBrokenPromises)
{
    // A file left in the harness's tree, as a run that forgot a temporary
    // file would leave it, is reported, then cleared away.
    const std::string answers = "f d 0 0 0 10 45 50 2 21 6 21 6";
    const auto *bytes = reinterpret_cast<const uint8_t *>(answers.data());
    ASSERT_FALSE(fuzz::dialogue_input(bytes, answers.size()));
    const fs::path tmp = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path stray = tmp / ("terralume-fuzz-" + std::to_string(getpid())) / "f/d_irra.raw.tmpAbCdEf";
    write_file(stray, "half");
    const auto problem = fuzz::dialogue_input(bytes, answers.size());
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, "a file left behind: " + stray.string());
    EXPECT_FALSE(fs::exists(stray));
    EXPECT_FALSE(fuzz::dialogue_input(bytes, answers.size()));
}

TEST(RunLimits, CapTheDaysAndTheGrids)
{
    // Ten million days either way: two are computed, at once.
    Scratch s;
    write_file(s.root() / "p/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "p/d_m2.txt", "2 2 2 1 4 10");
    std::istringstream in("p d 0 0 0 10 45 50 0 -10000000 1 10000000 12");
    std::ostringstream out;
    Console con{in, out, false};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_terralume(con, s.base(), RunLimits{0, 2}), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(count(out.str(), "\n\n\tDate : "), 2u);
    EXPECT_NE(out.str().find("number_of_days 20000335 "), std::string::npos);

    // The grids may take no more than the memory given.
    std::istringstream in2("p d 0 0 0 10 45 50 0 21 6 21 6");
    std::ostringstream out2;
    Console con2{in2, out2, false};
    EXPECT_EQ(run_terralume(con2, s.base(), RunLimits{100, INT64_MAX}), 1);
    EXPECT_NE(out2.str().find("bytes of memory, 100 are available to the run \n"), std::string::npos);
}
