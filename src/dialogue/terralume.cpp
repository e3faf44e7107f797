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

int run_terralume(Console &con, const std::string &base, const RunLimits &limits, EngineKind engine)
{
    Run r(con, base, engine);
    r.limits = limits;
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
    } catch (const std::exception &e) {
        con.out << strf("\n\tThe run failed: %s \n", e.what());
    }
    con.out.flush();
    // Outputs not complete go with their temporary files; earlier files of
    // their names stay as they were.
    r.f1d.abandon();
    r.f2.abandon();
    r.f2d.abandon();
    return 1;
}

} // namespace terralume
