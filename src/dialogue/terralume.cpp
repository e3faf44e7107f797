#include "phases.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
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
    bool failed = true;
    std::string failure; // the line that tells why, when not told already
    try {
        opening(r);
        lecture(r);
        parameters(r);
        pos_sol(r);
        save(r);
        failed = false;
    } catch (const RunFailure &e) {
        failure = e.what();
    } catch (const std::bad_alloc &) {
        failure = "\n\tNot enough memory \n";
    } catch (const std::exception &e) {
        failure = strf("\n\tThe run failed: %s \n", e.what());
    }
    // Outputs not complete go with their temporary files; earlier files of
    // their names stay as they were.
    r.f1d.abandon();
    r.f2.abandon();
    r.f2d.abandon();
    r.lock.release();
    con.out << failure;
    con.out.flush();
    if (!con.out.bad())
        return failed ? 1 : 0;
    // The console could not be written: the run went on without it, and
    // says so where it still can.
    const auto *console = dynamic_cast<const ConsoleBuf *>(con.out.rdbuf());
    const std::string why = console != nullptr && console->error() != 0 ? std::strerror(console->error()) : "";
    std::cerr << failure
              << strf("\n\tThe console output was lost%s%s%s: %s \n", why.empty() ? "" : " (", why.c_str(),
                      why.empty() ? "" : ")", failed ? "the run failed" : "the run went on, its files are complete");
    std::cerr.flush();
    return failed ? 1 : kConsoleLost;
}

} // namespace terralume
