#include "run.h"
#include "support.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>

using namespace terralume;
using namespace terralume::test;

TEST(Opening, FileSetOfTheRoadExample)
{
    Scratch s;
    write_file(s.root() / "site/dem1_m2.raw", samples16({1, 2, 3, 4, 5, 65535}));
    write_file(s.root() / "site/dem1_m2.txt", "2\n3\n2\n1\n65535\n10\n");
    Phases p(s.base(), "site dem1 0 0");
    opening(p.run);
    EXPECT_EQ(p.run.nomim1, s.base() + "site/dem1_m2.raw");
    EXPECT_EQ(p.run.nomdescr1, s.base() + "site/dem1_m2.txt");
    EXPECT_EQ(p.run.nb_lig, 2);
    EXPECT_EQ(p.run.nb_col, 3);
    EXPECT_EQ(p.run.min_al, 1);
    EXPECT_EQ(p.run.max_al, 65535);
    EXPECT_EQ(p.run.pix_size, 10);
    EXPECT_TRUE(p.run.descriptif_OK);
    // The result files are started under temporary names beside their own.
    const std::string image = p.run.f2.temporary();
    const std::string descriptor = p.run.f2d.temporary();
    EXPECT_EQ(fs::path(image).parent_path(), s.root() / "site");
    EXPECT_EQ(fs::path(image).filename().string().rfind("dem1_irra.raw.tmp", 0), 0u) << image;
    EXPECT_EQ(fs::path(descriptor).filename().string().rfind("dem1_irra.txt.tmp", 0), 0u) << descriptor;
    p.run.f2d.close();
    EXPECT_EQ(read_file(descriptor), "2\n3\n1\n0\n255\n");
    // And the lock file of the result's name, held until the run ends.
    EXPECT_EQ(listing(s.root() / "site").size(), 5u);
    EXPECT_TRUE(fs::exists(s.root() / "site/dem1_irra.lock"));
    EXPECT_FALSE(fs::exists(s.root() / "site/dem1_irra.txt"));
    EXPECT_FALSE(fs::exists(s.root() / "site/dem1_irra.raw"));
    p.run.f2.abandon();
    p.run.f2d.abandon();
    p.run.lock.release();
    EXPECT_EQ(listing(s.root() / "site"), (std::vector<std::string>{"dem1_m2.raw", "dem1_m2.txt"}));
    const std::string t = p.out.str();
    EXPECT_NE(t.find("\n\tTHE DIGITAL ELEVATION MODEL HAS: \n\t            2 LINES \n\t        AND 3 COLUMNS "),
              std::string::npos);

    // The whole run leaves exactly the result image and its descriptor besides the inputs.
    const Outcome o = run_script(s.base(), "site dem1 0 0" + kRest);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(read_file(s.root() / "site/dem1_irra.raw").size(), 6u);
    EXPECT_EQ(listing(s.root() / "site").size(), 4u);
}

TEST(Opening, SampleWidthNamesAndResultNames)
{
    Scratch s;
    write_file(s.root() / "site/dem1_m4.raw", samples32({1, 2, 3, 4, 5, 6}));
    write_file(s.root() / "site/dem1_m4.txt", "2 3 4 1 6 10");
    for (const char *type : {"1", "7"}) {
        const Outcome o = run_script(s.base(), std::string("site dem1 ") + type + " 0" + kRest);
        EXPECT_EQ(o.status, 0) << o.transcript;
        EXPECT_TRUE(fs::exists(s.root() / "site/dem1_irra.raw"));
        EXPECT_TRUE(fs::exists(s.root() / "site/dem1_irra.txt"));
    }
    const Outcome o = run_script(s.base(), "site dem1 1 1 out" + kRest);
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.transcript.find("\n\tName of the File to be created (without extension .raw) ? "), std::string::npos);
    EXPECT_EQ(read_file(s.root() / "site/out_irra.raw").size(), 6u);
    EXPECT_TRUE(fs::exists(s.root() / "site/out_irra.txt"));
}

TEST(Opening, ResultMenuAsksAgainUntilZeroOrOne)
{
    Scratch s;
    write_file(s.root() / "site/dem1_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "site/dem1_m2.txt", "2\n2\n2\n1\n4\n10\n");
    const Outcome o = run_script(s.base(), "site dem1 0 2 -1 zero 0" + kRest);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(count(o.transcript, "\n\n\n\tResulting Image : "), 1u);
    EXPECT_EQ(count(o.transcript, "\n\t\t0 -----> Taking into account the generic name dem1 ? "
                                  "\n\t\t1 -----> Creation of a new File ? \n\t\t"),
              4u);
}

TEST(Opening, DescriptorLayouts)
{
    Scratch s;
    // Third value 4 with type 0: still 16-bit samples. One line, blanks,
    // CRLF and trailing text all read the same.
    write_file(s.root() / "a/d_m2.raw", samples16({10, 20, 15, 40}));
    for (const char *text : {"2\n2\n4\n10\n40\n10\n", "2 2 4 10 40 10", "2\r\n2\r\n4\r\n10\r\n40\r\n10\r\nnotes",
                             "\t2  2\t4 10\n40 10 99 98"}) {
        Phases p(s.base(), "a d 0 0");
        write_file(s.root() / "a/d_m2.txt", text);
        opening(p.run);
        lecture(p.run);
        EXPECT_EQ(p.run.nb_lig, 2);
        EXPECT_EQ(p.run.nb_col, 2);
        EXPECT_EQ(p.run.pix_size, 10) << text;
        EXPECT_EQ(p.run.itab[1][1], 40);
    }
    // Reading stops at the first unreadable value; the rest stay 0.
    int32_t v[6] = {9, 9, 9, 9, 9, 9};
    int32_t *ptrs[6] = {&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]};
    EXPECT_EQ(read_descriptor_values("5 6 2 1.5 7 8", ptrs), 4);
    EXPECT_EQ(v[3], 1);
    EXPECT_EQ(v[4], 9);
    EXPECT_EQ(read_descriptor_values("5 6 x", ptrs), 2);
    EXPECT_EQ(read_descriptor_values("-5 +6 99999999999", ptrs), 2);
    EXPECT_EQ(v[0], -5);
    EXPECT_EQ(v[1], 6);
}

TEST(Opening, MissingDescriptorIsCreatedInTwoStages)
{
    Scratch s;
    write_file(s.root() / "m/dem_m2.raw", samples16({120, 80, 300, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    // Lines, columns and pixel size are asked again until positive.
    Phases p(s.base(), "m dem 0 0 -3 3 x 4 0 25 0 0 10 45 50 2");
    opening(p.run);
    const std::string t = p.out.str();
    EXPECT_NE(t.find(strf("\n\tNo File  %sm/dem_m2.txt \n\n", s.base().c_str())), std::string::npos);
    EXPECT_EQ(count(t, "\n\t\tNumber of lines   ? "), 3u);
    EXPECT_EQ(count(t, "\n\t\tNumbre of columns ? "), 2u);
    EXPECT_EQ(count(t, "\n\t\tpixel size? "), 2u);
    EXPECT_FALSE(p.run.descriptif_OK);
    // The first stage is still open for writing, under a temporary name: the
    // descriptor has its own name only once complete.
    std::fflush(p.run.f1d.get());
    const std::string temp = p.run.f1d.temporary();
    EXPECT_EQ(read_file(temp), "3\n4\n2\n");
    EXPECT_FALSE(fs::exists(s.root() / "m/dem_m2.txt"));
    lecture(p.run);
    parameters(p.run);
    EXPECT_EQ(read_file(s.root() / "m/dem_m2.txt"), "3\n4\n2\n7\n300\n25\n");
    EXPECT_FALSE(p.run.f1d.is_open());
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(p.run.f1d.temporary(), "");

    // A descriptor that existed is left untouched.
    Phases q(s.base(), "m dem 0 0 0 10 45 50 2");
    opening(q.run);
    lecture(q.run);
    parameters(q.run);
    EXPECT_EQ(read_file(s.root() / "m/dem_m2.txt"), "3\n4\n2\n7\n300\n25\n");
}

TEST(Loading, ByteLevelSamples)
{
    Scratch s;
    write_file(s.root() / "b/w_m2.raw", std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\xFF\xFF", 12));
    write_file(s.root() / "b/w_m2.txt", "2 3 2 0 0 1");
    Phases p(s.base(), "b w 0 0");
    opening(p.run);
    p.run.tab[1][2] = 9;
    lecture(p.run);
    EXPECT_EQ(p.run.itab[0][0], 1);
    EXPECT_EQ(p.run.itab[0][2], 3);
    EXPECT_EQ(p.run.itab[1][0], 4);
    EXPECT_EQ(p.run.itab[1][2], 65535);
    EXPECT_EQ(p.run.tab[1][2], 0);
    EXPECT_EQ(p.out.str().find("\n\tWarning: "), std::string::npos);

    write_file(s.root() / "b/v_m4.raw", std::string("\xFF\xFF\xFF\xFF\x10\x27\x00\x00", 8));
    write_file(s.root() / "b/v_m4.txt", "1 2 4 0 0 1");
    Phases q(s.base(), "b v 1 0");
    opening(q.run);
    lecture(q.run);
    EXPECT_EQ(q.run.itab[0][0], -1);
    EXPECT_EQ(q.run.itab[0][1], 10000);
}

TEST(Loading, WrongSizedFilesAreReadWithAWarning)
{
    Scratch s;
    // 10 bytes for a 2 x 3 grid of 16-bit samples: the last sample is 0.
    write_file(s.root() / "b/w_m2.raw", samples16({1, 2, 3, 4, 5}));
    write_file(s.root() / "b/w_m2.txt", "2 3 2 0 0 1");
    Phases p(s.base(), "b w 0 0");
    opening(p.run);
    lecture(p.run);
    EXPECT_EQ(p.run.itab[1][1], 5);
    EXPECT_EQ(p.run.itab[1][2], 0);
    EXPECT_NE(p.out.str().find(strf("\n\tWarning: %sb/w_m2.raw holds 10 bytes, 2 lines of 3 columns of 2-byte "
                                    "samples need 12 \n",
                                    s.base().c_str())),
              std::string::npos);

    // An odd byte at the end fills the low byte of its sample.
    write_file(s.root() / "b/w_m2.raw", samples16({1, 2, 3, 4, 5}) + "\x07");
    Phases odd(s.base(), "b w 0 0");
    opening(odd.run);
    lecture(odd.run);
    EXPECT_EQ(odd.run.itab[1][2], 7);

    // Extra bytes are ignored.
    write_file(s.root() / "b/w_m2.raw", samples16({1, 2, 3, 4, 5, 6, 7, 8}));
    Phases q(s.base(), "b w 0 0");
    opening(q.run);
    lecture(q.run);
    EXPECT_EQ(q.run.itab[1][2], 6);
    EXPECT_EQ(count(q.out.str(), "\n\tWarning: "), 1u);
    EXPECT_NE(q.out.str().find("holds 16 bytes"), std::string::npos);
}

TEST(Parameters, ScaleUnitsAndReport)
{
    Scratch s;
    write_file(s.root() / "p/d_m2.raw", samples16({120, 80, 300, 345}));
    write_file(s.root() / "p/d_m2.txt", "2 2 2 0 0 1");
    Phases p(s.base(), "p d 0 0 4 -1 1 0 -2 1e-170 0.5 43.5 50 3 2");
    opening(p.run);
    lecture(p.run);
    parameters(p.run);
    const std::string t = p.out.str();
    EXPECT_NE(t.find("\n\tDynamic scale of the input DEM :\n\t\tMin = 80\t\tMax = 345 \n"), std::string::npos);
    EXPECT_EQ(count(t, "\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                       "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t"),
              3u);
    EXPECT_EQ(p.run.dtab[0][0], 12.0);
    EXPECT_EQ(p.run.dtab[1][1], 34.5);
    // 0, -2 and a size whose square underflows to 0 are asked again.
    EXPECT_EQ(count(t, "\n\tPixel size (decimal value in meters) ? "), 4u);
    EXPECT_EQ(p.run.dsizepix, 0.5);
    EXPECT_EQ(p.run.attenuation, 0.5);
    EXPECT_EQ(count(t, "\n\t\tNormalization : \n\t\t\t0 ====> raw data"), 2u);
    EXPECT_EQ(p.run.norm, 2);
    const std::string report = p.run.f2d.temporary();
    p.run.f2d.close();
    EXPECT_EQ(read_file(report), "2\n2\n1\n0\n255\n0\n\n\n\tParameters :\n\t\tLatitude : 43.500000 "
                                 "\n\t\tCast shadow attenuation : 0.500000 ");

    Phases q(s.base(), "p d 0 0 2 25.9 -12 150 0");
    opening(q.run);
    lecture(q.run);
    parameters(q.run);
    EXPECT_EQ(q.run.dtab[1][1], 3.45);
    EXPECT_EQ(q.run.attenuation, 1.5);
    const std::string report2 = q.run.f2d.temporary();
    q.run.f2d.close();
    EXPECT_EQ(read_file(report2), "2\n2\n1\n0\n255\n25\n\n\n\tParameters :\n\t\tLatitude : -12.000000 "
                                  "\n\t\tCast shadow attenuation : 1.500000 ");
}

TEST(Parameters, DynamicScaleStartsFromTheFirstSample)
{
    Scratch s;
    // Millimetres, all above 100000; then all below 0.
    write_file(s.root() / "p/mm_m4.raw", samples32({150000, 200000, 175000, 160000}));
    Phases p(s.base(), "p mm 1 2 2 5 0 3 0.5 45 50 2");
    opening(p.run);
    lecture(p.run);
    parameters(p.run);
    EXPECT_NE(p.out.str().find("Min = 150000\t\tMax = 200000 \n"), std::string::npos);
    EXPECT_EQ(read_file(s.root() / "p/mm_m4.txt"), "2\n2\n4\n150000\n200000\n5\n");
    EXPECT_EQ(p.run.dtab[0][0], 150.0);

    write_file(s.root() / "p/neg_m4.raw", samples32({-30, -5, -400, -7}));
    Phases q(s.base(), "p neg 1 2 2 5 0 0 10 45 50 2");
    opening(q.run);
    lecture(q.run);
    parameters(q.run);
    EXPECT_NE(q.out.str().find("Min = -400\t\tMax = -5 \n"), std::string::npos);
    EXPECT_EQ(read_file(s.root() / "p/neg_m4.txt"), "2\n2\n4\n-400\n-5\n5\n");
}

TEST(Failures, MissingRawFileEndsAfterOneKey)
{
    Scratch s;
    fs::create_directories(s.root() / "site");
    std::istringstream in("site dem1 0\nxy");
    std::ostringstream out;
    Console con{in, out, false};
    EXPECT_EQ(run_terralume(con, s.base()), 1);
    EXPECT_EQ(in.get(), 'x'); // the line end after the type answer was the key
    const std::string tail = strf("\n\tNo File  %ssite/dem1_m2.raw \n", s.base().c_str());
    EXPECT_EQ(out.str().substr(out.str().size() - tail.size()), tail);
    EXPECT_TRUE(fs::is_empty(s.root() / "site"));

    // At the end of the input there is no key to wait for.
    const Outcome o = run_script(s.base(), "site dem1 1");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find("dem1_m4.raw"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(s.root() / "site"));
}

TEST(Failures, EndOfInputAtEveryQuestion)
{
    Scratch s;
    write_file(s.root() / "e/dem_m2.raw", samples16({1, 2, 3, 4, 5, 6}));
    // Every question of a run that creates its descriptor.
    const std::vector<std::pair<std::string, std::string>> script = {
        {"e", "Name of the File Folder"},
        {"dem", "Name of Digital Elevation Model"},
        {"0", "type of DEM"},
        {"2", "Number of lines"},
        {"3", "Number of columns"},
        {"10", "pixel size"},
        {"1", "Resulting Image"},
        {"res", "Name of the File to be created"},
        {"0", "Are these values"},
        {"10", "Pixel size"},
        {"45", "Latitud"},
        {"50", "Cast shadow attenuation"},
        {"2", "Normalization"},
        {"21", "first day : day"},
        {"6", "first day : month"},
        {"21", "last day : day"},
        {"6", "last day : month"},
    };
    std::string answers;
    bool described = false; // the descriptor is complete once the samples are scanned
    for (const auto &[answer, question] : script) {
        described = described || question == "Are these values";
        const Outcome o = run_script(s.base(), answers);
        EXPECT_EQ(o.status, 1) << question;
        const std::string line = "\n\tThe input ended while waiting for the answer to \"" + question + "\" \n";
        ASSERT_GE(o.transcript.size(), line.size());
        EXPECT_EQ(o.transcript.substr(o.transcript.size() - line.size()), line);
        // Nothing half-written is left behind.
        const std::vector<std::string> left =
            described ? std::vector<std::string>{"dem_m2.raw", "dem_m2.txt"} : std::vector<std::string>{"dem_m2.raw"};
        EXPECT_EQ(listing(s.root() / "e"), left) << question;
        if (described) {
            EXPECT_EQ(read_file(s.root() / "e/dem_m2.txt"), "2\n3\n2\n1\n6\n10\n");
        }
        fs::remove(s.root() / "e/dem_m2.txt");
        answers += answer + "\n";
    }
    EXPECT_EQ(run_script(s.base(), answers).status, 0);
    EXPECT_EQ(listing(s.root() / "e"),
              (std::vector<std::string>{"dem_m2.raw", "dem_m2.txt", "res_irra.raw", "res_irra.txt"}));
}

TEST(Failures, TokensThatAreNotNumbersAreAskedAgain)
{
    EXPECT_EQ(parse_int("12"), 12);
    EXPECT_EQ(parse_int("-7"), -7);
    EXPECT_EQ(parse_int("+3"), 3);
    EXPECT_FALSE(parse_int("12abc"));
    EXPECT_FALSE(parse_int("1.0"));
    EXPECT_FALSE(parse_int("abc"));
    EXPECT_FALSE(parse_int("2147483648"));
    EXPECT_EQ(parse_int("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_double("50"), 50.0);
    EXPECT_EQ(parse_double("-36.6"), -36.6);
    EXPECT_EQ(parse_double("1e2"), 100.0);
    EXPECT_FALSE(parse_double("4,5"));
    EXPECT_FALSE(parse_double("nan"));
    EXPECT_FALSE(parse_double("inf"));
    EXPECT_FALSE(parse_double("1e999"));

    Scratch s;
    write_file(s.root() / "n/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "n/d_m2.txt", "2 2 2 1 4 10");
    const Outcome o = run_script(s.base(), "n d sixteen 0 yes 0 m 0 ten 10 north 45 half 50 grey 2 x 21 june 6 21 6");
    EXPECT_EQ(o.status, 0) << o.transcript;
    EXPECT_EQ(count(o.transcript, "\n\ttype of DEM :"), 2u);
    EXPECT_EQ(count(o.transcript, "\n\t\t1 -----> Creation of a new File ? "), 2u);
    EXPECT_EQ(count(o.transcript, "\n\tAre these values :"), 2u);
    EXPECT_EQ(count(o.transcript, "\n\tPixel size (decimal value in meters) ? "), 2u);
    EXPECT_EQ(count(o.transcript, "\n\t\tLatitud ? "), 2u);
    EXPECT_EQ(count(o.transcript, "\n\t\tCast shadow attenuation (per cent; i.e. 50) : "), 2u);
    EXPECT_EQ(count(o.transcript, "\n\t\tNormalization : "), 2u);
    EXPECT_EQ(count(o.transcript, "\n\t\t\tday ? "), 3u);
    EXPECT_EQ(count(o.transcript, "\t\t\tmonth ? "), 3u);
}

TEST(Failures, BadDescriptorDimensionsEndTheRunBeforeAnyOutput)
{
    Scratch s;
    write_file(s.root() / "x/d_m2.raw", samples16({1, 2, 3, 4}));
    for (const char *text : {"0 5 2 1 4 10", "5 -2 2 1 4 10", "", "lines 5", "7", "99999999999 3 2 1 4 10"}) {
        write_file(s.root() / "x/d_m2.txt", text);
        const Outcome o = run_script(s.base(), "x d 0 0" + kRest);
        EXPECT_EQ(o.status, 1) << text;
        const bool readable = text[0] == '0' || text[0] == '5';
        EXPECT_NE(o.transcript.find(strf("\n\tThe descriptor %sx/d_m2.txt does not give a %s number of lines and "
                                         "columns",
                                         s.base().c_str(), readable ? "positive" : "readable")),
                  std::string::npos)
            << text;
        EXPECT_EQ(o.transcript.find("Resulting Image"), std::string::npos);
        EXPECT_EQ(listing(s.root() / "x"), (std::vector<std::string>{"d_m2.raw", "d_m2.txt"}));
    }
}

TEST(Failures, GridsTooLargeForMemory)
{
    EXPECT_FALSE(grid_size_problem(344, 403, 0, EngineKind::Fast, 1u << 30));
    const auto overflow = grid_size_problem(run::kMaxSide, run::kMaxSide, 0, EngineKind::Fast, UINT64_MAX);
    ASSERT_TRUE(overflow);
    EXPECT_NE(overflow->find("overflows"), std::string::npos);
    const auto memory = grid_size_problem(1000, 1000, 1, EngineKind::Reference, 1000000);
    ASSERT_TRUE(memory);
    EXPECT_NE(memory->find("bytes of memory, 1000000 are available to the run"), std::string::npos);
    // A square grid costs about its cells, some forty bytes each; a thin one
    // more, eight bytes a line for the line pointers of every grid.
    EXPECT_FALSE(grid_size_problem(1000, 1000, 0, EngineKind::Fast, 50000000));
    EXPECT_TRUE(grid_size_problem(1000, 1000, 0, EngineKind::Fast, 30000000));
    EXPECT_FALSE(grid_size_problem(10000000, 1, 0, EngineKind::Fast, 3000000000));
    EXPECT_TRUE(grid_size_problem(10000000, 1, 0, EngineKind::Fast, 500000000));
    EXPECT_TRUE(grid_size_problem(1, 10000000, 0, EngineKind::Fast, 300000000));
    EXPECT_TRUE(grid_size_problem(200000000, 1, 0, EngineKind::Fast, 15000000000));
    // One very long line: the rays across it would overflow 32-bit indices.
    const auto side = grid_size_problem(1, 900000000, 1, EngineKind::Fast, UINT64_MAX);
    ASSERT_TRUE(side);
    EXPECT_NE(side->find("no side may pass 800000000 cells"), std::string::npos);

    Scratch s;
    write_file(s.root() / "x/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "x/d_m2.txt", "2147483647 2147483647 2 1 4 10");
    Outcome o = run_script(s.base(), "x d 0 0" + kRest);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find("\n\tThe grid of 2147483647 lines and 2147483647 columns is too large"),
              std::string::npos);
    EXPECT_EQ(listing(s.root() / "x"), (std::vector<std::string>{"d_m2.raw", "d_m2.txt"}));

#ifndef __SANITIZE_ADDRESS__ // the sanitizer reserves far more address space than the run
    // Within the address space the process may have (ulimit -v), in a child.
    write_file(s.root() / "x/d_m2.txt", "10000000 1 2 1 4 10");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit limit{uint64_t{1} << 29, uint64_t{1} << 29};
        if (setrlimit(RLIMIT_AS, &limit) != 0 || memory_available() > limit.rlim_cur)
            _exit(2);
        const Outcome thin = run_script(s.base(), "x d 0 0" + kRest);
        _exit(thin.status == 1 && thin.transcript.find("10000000 lines and 1 columns is too large") != std::string::npos
                  ? 0
                  : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(listing(s.root() / "x"), (std::vector<std::string>{"d_m2.raw", "d_m2.txt"}));
#endif

    // Typed by the operator: refused before the descriptor is created.
    fs::remove(s.root() / "x/d_m2.txt");
    o = run_script(s.base(), "x d 0 2000000000 2000000000 10 0" + kRest);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find("is too large"), std::string::npos);
    EXPECT_EQ(listing(s.root() / "x"), std::vector<std::string>{"d_m2.raw"});
}

TEST(Failures, ResultFilesThatCannotBeCreatedOrWritten)
{
    Scratch s;
    write_file(s.root() / "r/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "r/d_m2.txt", "2 2 2 1 4 10");
    // A folder where the result image should go: it cannot be opened, even by root.
    fs::create_directories(s.root() / "r/d_irra.raw");
    Outcome o = run_script(s.base(), "r d 0 0" + kRest);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find(strf("\n\tCannot create %sr/d_irra.raw (Is a directory) \n", s.base().c_str())),
              std::string::npos);
    EXPECT_TRUE(fs::is_directory(s.root() / "r/d_irra.raw"));
    fs::remove(s.root() / "r/d_irra.raw");

    // The descriptor cannot be created: the image just created is removed again.
    fs::create_directories(s.root() / "r/d_irra.txt");
    o = run_script(s.base(), "r d 0 0" + kRest);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find("d_irra.txt (Is a directory) \n"), std::string::npos);
    EXPECT_FALSE(fs::exists(s.root() / "r/d_irra.raw"));
    fs::remove(s.root() / "r/d_irra.txt");

    // A full disk: the failed write is reported, not taken for success.
    seams::fail_output_operation(2); // the pixel size line of the descriptor
    o = run_script(s.base(), "r d 0 0" + kRest);
    seams::fail_output_operation(0);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.transcript.find(strf("\n\tCannot write %sr/d_irra.txt (No space left on device) \n", s.base().c_str())),
              std::string::npos);
    EXPECT_EQ(listing(s.root() / "r"), (std::vector<std::string>{"d_m2.raw", "d_m2.txt"}));
}

TEST(Names, HaveNoLengthLimit)
{
    Scratch s;
    const std::string folder(200, 'f');
    const std::string name(180, 'n');
    write_file(s.root() / folder / (name + "_m2.raw"), samples16({1, 2, 3, 4}));
    write_file(s.root() / folder / (name + "_m2.txt"), "2 2 2 1 4 10");
    const Outcome o = run_script(s.base(), folder + " " + name + " 0 1 " + std::string(200, 'r') + kRest);
    EXPECT_EQ(o.status, 0) << o.transcript;
    EXPECT_EQ(read_file(s.root() / folder / (std::string(200, 'r') + "_irra.raw")).size(), 4u);
}

TEST(Names, BaseFolderFromTheEnvironment)
{
    const char *saved = std::getenv("TERRALUME_IMAGES");
    const std::string keep = saved != nullptr ? saved : "";
    unsetenv("TERRALUME_IMAGES");
    EXPECT_EQ(base_folder(), "images/");
    setenv("TERRALUME_IMAGES", "/data/dem//", 1);
    EXPECT_EQ(base_folder(), "/data/dem/");
    setenv("TERRALUME_IMAGES", "", 1);
    EXPECT_EQ(base_folder(), "images/");
    if (saved != nullptr)
        setenv("TERRALUME_IMAGES", keep.c_str(), 1);
    else
        unsetenv("TERRALUME_IMAGES");
}
