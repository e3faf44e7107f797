#include "phases.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <ostream>

namespace terralume
{

std::string base_folder()
{
    const char *env = std::getenv("TERRALUME_IMAGES");
    std::string base = env != nullptr && env[0] != '\0' ? env : "images";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base != "/")
        base += '/';
    return base;
}

int run_terralume(Console &con, const std::string &base, EngineKind engine)
{
    Run r(con, base, engine);
    try {
        opening(r);
        lecture(r);
        parameters(r);
        pos_sol(r);
        save(r);
        con.out.flush();
        return 0;
    } catch (const RunFailure &e) {
        con.out << e.what();
    } catch (const std::bad_alloc &) {
        con.out << "\n\tNot enough memory \n";
    }
    con.out.flush();
    // Streams are closed before the files they write are removed.
    r.f1d.abandon();
    r.f2.abandon();
    r.f2d.abandon();
    for (const std::string &path : r.incomplete)
        std::remove(path.c_str());
    return 1;
}

} // namespace terralume
