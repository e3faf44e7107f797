// io's commit of a set of outputs, all or none: the dialogue's kind (files
// under temporary names beside their final ones) and the command line's (a
// staged folder of areas, side files and folders included), each with three
// outputs, against one table of faults: a link or rename that fails, a flush
// to the disk that fails, a crash at each step, a stopping signal.
#include "commit.h"
#include "seams.h"
#include "signals.h"
#include "support.h"

#include <csignal>
#include <functional>
#include <map>
#include <sys/wait.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

// Every file and folder under `dir`, with the bytes of the files.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> m;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        m[fs::relative(e.path(), dir).string()] = e.is_directory() ? "<folder>" : read_file(e.path());
    return m;
}

// The names a set's outputs take: with a tab, a line end and a backslash
// too, which its record must keep apart.
const std::vector<std::string> kNames = {"a.tif", "b\t\\n.tif", "c\n.tif"};

// One kind of set: it writes its three outputs (a side file beside the
// first, a folder for the third with the command line's kind) with the
// contents `tag`, and commits them under `lock`.
struct SetKind {
    const char *name;
    bool staged;
};
const SetKind kKinds[] = {{"files", false}, {"staged", true}};

void write_and_commit(const SetKind &kind, const fs::path &dir, const std::string &tag, ResultLock &lock)
{
    if (!kind.staged) {
        File a, b, c;
        File *files[] = {&a, &b, &c};
        for (size_t k = 0; k < 3; k++) {
            files[k]->create((dir / kNames[k]).string());
            files[k]->write(tag + " " + kNames[k]);
            files[k]->close();
        }
        File::commit({&a, &b, &c}, &lock);
        return;
    }
    StagedSet set;
    set.create((dir / kNames[0]).string());
    for (size_t k = 0; k < 2; k++)
        write_file(set.area(k) + kNames[k], tag + " " + kNames[k]);
    write_file(set.area(0) + kNames[0] + ".aux.xml", tag + " side");
    write_file(set.area(2) + "store/part", tag + " part");
    set.commit(lock);
}

// The set written once, as the earlier one.
void earlier_set(const SetKind &kind, const fs::path &dir)
{
    ResultLock lock;
    lock.acquire((dir / "set.lock").string(), "set");
    write_and_commit(kind, dir, "earlier", lock);
}

// Forks a child that runs `body` and returns its exit status (128 + n for a
// signal).
int in_child(const std::function<void()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TEST(Commit, EveryFailingStepLeavesTheEarlierSet)
{
    // The links, renames, removals and flushes of a commit failing in turn;
    // with an earlier set and without. The failure names a file of the set,
    // and the folder is as it was.
    const struct {
        const char *fault;
        std::function<void(long)> inject;
    } faults[] = {
        {"link or rename", [](long n) { seams::fail_commit_step(n); }},
        {"flush", [](long n) { seams::fail_sync(n); }},
    };
    for (const SetKind &kind : kKinds)
        for (const auto &fault : faults)
            for (const bool earlier : {true, false}) {
                const std::string what = std::string(kind.name) + ", " + fault.fault + (earlier ? ", earlier" : "");
                Scratch s;
                const fs::path dir = s.root() / "out";
                fs::create_directories(dir);
                if (earlier)
                    earlier_set(kind, dir);
                const auto before = snapshot(dir);
                long n = 1;
                for (;; n++) {
                    ResultLock lock;
                    lock.acquire((dir / "set.lock").string(), "set");
                    fault.inject(n);
                    bool failed = false;
                    try {
                        write_and_commit(kind, dir, "new", lock);
                    } catch (const OutputError &e) {
                        failed = true;
                        EXPECT_EQ(e.action, "write") << what << " " << n;
                        EXPECT_EQ(fs::path(e.file).parent_path(), dir) << what << " " << n;
                    }
                    fault.inject(0);
                    lock.release();
                    if (!failed)
                        break;
                    ASSERT_EQ(snapshot(dir), before) << what << " " << n;
                    ASSERT_LT(n, 40) << what;
                }
                // Every step was tried: a link per earlier file and a rename
                // per output; a flush per staged file and folder, and the
                // final folder's.
                EXPECT_GT(n, kind.staged || fault.fault[0] == 'l' ? 3 : 1) << what;
                const auto after = snapshot(dir);
                EXPECT_EQ(after.at(kNames[1]), "new " + kNames[1]) << what;
                if (kind.staged) {
                    EXPECT_EQ(after.at("store/part"), "new part") << what;
                }
                EXPECT_EQ(after.count("set.lock"), 0u) << what;
            }
}

TEST(Commit, ACommitCutShortIsUndoneByTheNextRunOfTheSet)
{
    // A run that dies at each step of its commit in turn (kill -9, a crash):
    // the next run that takes the set's lock finds the earlier set or the new
    // one whole, and nothing else; no temporary or backup is left.
    for (const SetKind &kind : kKinds)
        for (const bool earlier : {true, false}) {
            const std::string what = std::string(kind.name) + (earlier ? ", earlier" : "");
            long n = 1;
            for (;; n++) {
                Scratch s;
                const fs::path dir = s.root() / "out";
                fs::create_directories(dir);
                if (earlier)
                    earlier_set(kind, dir);
                const auto old_set = snapshot(dir);
                const int status = in_child([&] {
                    ResultLock lock;
                    lock.acquire((dir / "set.lock").string(), "set");
                    seams::fail_commit_step(n, true);
                    write_and_commit(kind, dir, "new", lock);
                });
                ASSERT_TRUE(status == 0 || status == 99) << what << " " << n;
                {
                    ResultLock next;
                    next.acquire((dir / "set.lock").string(), "set");
                }
                auto found = snapshot(dir);
                if (found != old_set) {
                    EXPECT_EQ(found.at(kNames[0]), "new " + kNames[0]) << what << " " << n;
                    EXPECT_EQ(found.at(kNames[1]), "new " + kNames[1]) << what << " " << n;
                    const std::string third = kind.staged ? "store/part" : kNames[2];
                    EXPECT_EQ(found.at(third), kind.staged ? "new part" : "new " + kNames[2]) << what << " " << n;
                    size_t hidden = 0;
                    for (const auto &[name, bytes] : found)
                        hidden += name.find(".tmp") != std::string::npos || name.find(".old") != std::string::npos;
                    EXPECT_EQ(hidden, 0u) << what << " " << n;
                    EXPECT_EQ(found.size(), kind.staged ? 5u : 3u) << what << " " << n;
                }
                if (status == 0)
                    break;
                ASSERT_LT(n, 40) << what;
            }
            // Links of the earlier files, renames, removals of the backups.
            EXPECT_EQ(n, earlier ? (kind.staged ? 13 : 10) : (kind.staged ? 5 : 4)) << what;
        }
}

TEST(Commit, AStoppingSignalRemovesWhatWasNotCommitted)
{
    // A set half written when SIGTERM comes: its temporaries go, the earlier
    // set stays, the status is 128 + 15.
    for (const SetKind &kind : kKinds) {
        Scratch s;
        const fs::path dir = s.root() / "out";
        fs::create_directories(dir);
        earlier_set(kind, dir);
        const auto before = snapshot(dir);
        const int status = in_child([&] {
            install_stop_handlers(StopLayout::CommandLine);
            ResultLock lock;
            lock.acquire((dir / "set.lock").string(), "set");
            File f;
            StagedSet set;
            if (kind.staged) {
                set.create((dir / kNames[0]).string());
                write_file(set.area(0) + "store/deep/part", "new");
            } else {
                f.create((dir / kNames[0]).string());
                f.write("new");
            }
            raise(SIGTERM);
        });
        EXPECT_EQ(status, 128 + SIGTERM) << kind.name;
        EXPECT_EQ(snapshot(dir), before) << kind.name;
    }
}

TEST(Commit, RecordsOfTheFirstLayoutAreStillActedUpon)
{
    // A record left by a run of the earlier layout (names beside the lock
    // file, no identities): its backup is put back.
    Scratch s;
    write_file(s.root() / "res.raw", "new");
    write_file(s.root() / "res.raw.oldABCDEF", "earlier");
    write_file(s.root() / "res.raw.tmpABCDEF", "half");
    write_file(s.root() / "set.lock", "undo\nres.raw\tres.raw.tmpABCDEF\tres.raw.oldABCDEF\nend\n");
    ResultLock lock;
    lock.acquire((s.root() / "set.lock").string(), "set");
    lock.release();
    EXPECT_EQ(snapshot(s.root()), (std::map<std::string, std::string>{{"res.raw", "earlier"}}));
}

TEST(Commit, TwoOutputsOfOneNameAreRefused)
{
    Scratch s;
    StagedSet set;
    set.create((s.root() / "x.tif").string());
    write_file(set.area(0) + "x.tif", "one");
    write_file(set.area(1) + "x.tif", "two");
    ResultLock lock;
    lock.acquire((s.root() / "x.tif.lock").string(), "x");
    EXPECT_THROW(set.commit(lock), OutputError);
    set.abandon();
    lock.release();
    EXPECT_TRUE(fs::is_empty(s.root()));
}
