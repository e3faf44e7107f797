#include "engine.h"
#include "memory.h"
#include "phases.h"
#include "run.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

namespace terralume
{

namespace
{

const char *const kBanner[] = {
    "\n\n\t**************************************************************",
    "\n\t*                                                            *",
    "\n\t*                                                            *",
    "\n\t*                        TERRALUME                           *",
    "\n\t*                                                            *",
    "\n\t*                                                            *",
    "\n\t*                                                            *",
    "\n\t*  Sunlight over a year, hour by hour, on any terrain model  *",
    "\n\t*  Self-shading and cast shadows from the relief itself      *",
    "\n\t*                                                            *",
    "\n\t**************************************************************",
};

uint64_t memory(const Run &r) { return r.limits.memory != 0 ? r.limits.memory : memory_available(); }

int32_t ask_positive(Console &con, const std::string &prompt, const std::string &question)
{
    for (;;) {
        const int32_t v = ask_int(con, prompt, question);
        if (v > 0)
            return v;
    }
}

// A word answer that names a file. A NUL byte would end the path early and
// name another file, so it ends the run instead.
std::string ask_name(Console &con, const std::string &prompt, const std::string &question)
{
    std::string name = ask_word(con, prompt, question);
    if (name.find('\0') != std::string::npos)
        throw RunFailure(
            strf("\n\tThe answer to \"%s\" holds a NUL character, which no file name can hold \n", question.c_str()));
    return name;
}

void allocate_grids(Run &r)
{
    r.tab = Grid<unsigned char>(r.nb_lig, r.nb_col);
    r.itab = Grid<int32_t>(r.nb_lig, r.nb_col);
    r.dtab = Grid<double>(r.nb_lig, r.nb_col);
    // The engine makes its own grids when the computation starts, and the
    // result image is made when it has ended.
    if (r.tab.empty() || r.itab.empty() || r.dtab.empty())
        throw RunFailure(strf("\n\tNot enough memory for the grids of %d lines and %d columns \n", r.nb_lig, r.nb_col));
}

} // namespace

std::optional<std::string> grid_size_problem(int32_t nb_lig, int32_t nb_col, int32_t itype, EngineKind engine,
                                             uint64_t memory)
{
    run::Footprint f;
    f.face = run::Face::Dialogue;
    f.lines = nb_lig;
    f.columns = nb_col;
    f.engine = engine;
    f.sample_bytes = itype == 0 ? 2 : 4;
    const auto problem = run::size_problem(f, memory);
    if (!problem)
        return std::nullopt;
    switch (problem->kind) {
    case run::SizeProblem::Side:
        return strf("\n\tThe grid of %d lines and %d columns is too large: no side may pass %d cells \n", nb_lig,
                    nb_col, run::kMaxSide);
    case run::SizeProblem::Overflow:
        return strf("\n\tThe grid of %d lines and %d columns is too large: its size in bytes overflows \n", nb_lig,
                    nb_col);
    case run::SizeProblem::Memory:
        break;
    }
    return strf("\n\tThe grid of %d lines and %d columns is too large: it needs %llu bytes of memory, %llu are "
                "available to the run \n",
                nb_lig, nb_col, static_cast<unsigned long long>(problem->bytes),
                static_cast<unsigned long long>(memory));
}

void opening(Run &r)
{
    Console &con = r.con;
    for (const char *line : kBanner)
        con.out << line;

    r.nomim1 = r.base;
    const std::string nomdir = ask_name(con, "\n\n\tName of the File Folder located in the Directory C:\\images ? ",
                                        "Name of the File Folder");
    r.nomim1 += nomdir + "/";
    r.nomim2 = r.nomim1;
    std::string nomfic1 =
        ask_name(con, "\n\tName of Digital Elevation Model (without extension) ? ", "Name of Digital Elevation Model");
    r.itype = ask_int(con, "\n\ttype of DEM :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t", "type of DEM");

    r.nomim1 += nomfic1;
    r.nomdescr1 = r.nomim1;
    r.nomim1 += r.itype == 0 ? "_m2.raw" : "_m4.raw";
    r.nomdescr1 += r.itype == 0 ? "_m2.txt" : "_m4.txt";

    std::error_code ec;
    const bool folder = std::filesystem::is_directory(r.nomim1, ec);
    // A pipe is no model, and would be waited on for ever.
    if (!folder && is_pipe(r.nomim1))
        throw RunFailure(strf("\n\tCannot read %s (a pipe: a model is read from a file) \n", r.nomim1.c_str()));
    if (folder || !r.f1.open(r.nomim1, "rb")) {
        // A file that is there but cannot be read is not a missing one.
        const int err = folder ? ENOENT : errno;
        if (err != ENOENT && err != ENOTDIR && err != ENAMETOOLONG)
            throw RunFailure(strf("\n\tCannot read %s (%s) \n", r.nomim1.c_str(), std::strerror(err)));
        con.out << strf("\n\tNo File  %s \n", r.nomim1.c_str());
        wait_key(con);
        throw RunFailure("");
    }

    int32_t val = 0;
    // Only a descriptor that is not there is made from the operator's
    // answers; one that cannot be read ends the run before any file is made.
    const DescriptorText d = read_descriptor_file(r.nomdescr1);
    switch (d.problem) {
    case DescriptorText::None:
    case DescriptorText::Missing:
        break;
    case DescriptorText::NotRegular:
        throw RunFailure(strf("\n\tCannot read %s (%s) \n", r.nomdescr1.c_str(),
                              d.err != 0 ? std::strerror(d.err) : "a pipe: a descriptor is read from a file"));
    case DescriptorText::Unreadable:
        throw RunFailure(strf("\n\tCannot read %s (%s) \n", r.nomdescr1.c_str(), std::strerror(d.err)));
    case DescriptorText::TooLong:
        throw RunFailure(strf("\n\tThe descriptor %s holds more than %zu bytes: a model descriptor holds six "
                              "numbers \n",
                              r.nomdescr1.c_str(), kDescriptorMaxBytes));
    }
    if (d.problem == DescriptorText::None) {
        const DescriptorValues v = descriptor_values(d.text);
        r.nb_lig = v.lines;
        r.nb_col = v.columns;
        val = v.width;
        r.min_al = v.lowest;
        r.max_al = v.highest;
        r.pix_size = v.pixel_size;
        r.descriptif_OK = true;
        if (v.count < 2)
            throw RunFailure(strf("\n\tThe descriptor %s does not give a readable number of lines and columns \n",
                                  r.nomdescr1.c_str()));
        if (r.nb_lig <= 0 || r.nb_col <= 0)
            throw RunFailure(strf("\n\tThe descriptor %s does not give a positive number of lines and columns "
                                  "(lines %d, columns %d) \n",
                                  r.nomdescr1.c_str(), r.nb_lig, r.nb_col));
        if (const auto problem = grid_size_problem(r.nb_lig, r.nb_col, r.itype, r.engine, memory(r)))
            throw RunFailure(*problem);
    } else {
        con.out << strf("\n\tNo File  %s \n\n", r.nomdescr1.c_str());
        r.nb_lig = ask_positive(con, "\n\t\tNumber of lines   ? ", "Number of lines");
        r.nb_col = ask_positive(con, "\n\t\tNumbre of columns ? ", "Number of columns");
        if (const auto problem = grid_size_problem(r.nb_lig, r.nb_col, r.itype, r.engine, memory(r)))
            throw RunFailure(*problem);
        r.pix_size = ask_positive(con, "\n\t\tpixel size? ", "pixel size");
        val = r.itype == 0 ? 2 : 4;
        // Under a temporary name until `parameters` completes it.
        r.f1d.create(r.nomdescr1);
        r.f1d.write(strf("%d\n%d\n%d\n", r.nb_lig, r.nb_col, val));
        r.descriptif_OK = false;
    }

    con.out << "\n\tTHE DIGITAL ELEVATION MODEL HAS: ";
    con.out << strf("\n\t            %d LINES ", r.nb_lig);
    con.out << strf("\n\t        AND %d COLUMNS ", r.nb_col);

    con.out << "\n\n\n\tResulting Image : ";
    const std::string choices = strf("\n\t\t0 -----> Taking into account the generic name %s ? ", nomfic1.c_str()) +
                                "\n\t\t1 -----> Creation of a new File ? \n\t\t";
    int32_t rep = 0;
    do
        rep = ask_int(con, choices, "Resulting Image");
    while (rep != 0 && rep != 1);
    if (rep == 1)
        nomfic1 = ask_name(con, "\n\tName of the File to be created (without extension .raw) ? ",
                           "Name of the File to be created");

    // The grids come before the result files, so that a model too large for
    // the memory leaves an earlier result in place.
    allocate_grids(r);

    r.nomim2 += nomfic1;
    r.nomdescr2 = r.nomim2;
    r.nomim2 += "_irra.raw";
    r.nomdescr2 += "_irra.txt";
    // Both take their names only when `save` has written the image.
    r.f2.create(r.nomim2);
    r.f2d.create(r.nomdescr2);
    // No other run may write this result until it is committed.
    r.lock.acquire(ResultLock::path_for(r.nomim2),
                   strf("Result %s_irra in %s%s", nomfic1.c_str(), r.base.c_str(), nomdir.c_str()));
    val = 1;
    r.f2d.write(strf("%d\n%d\n%d\n%d\n%d\n", r.nb_lig, r.nb_col, val, 0, 255));
}

} // namespace terralume
