// Outputs of a run: written under temporary names and renamed into place
// only when complete; every failure leaves the folder as it was, or with
// complete files only. Names and folders of every kind.
#include "support.h"

#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A 3 x 4 model without its descriptor, and an earlier result named "res".
struct Folder {
    Scratch s;
    fs::path dir = s.root() / "f";
    Folder()
    {
        write_file(dir / "dem_m2.raw", samples16({5, 9, 14, 20, 6, 11, 30, 22, 4, 8, 12, 16}));
        write_file(dir / "res_irra.raw", "earlier image");
        write_file(dir / "res_irra.txt", "earlier report");
    }
    void expect_earlier_result() const
    {
        EXPECT_EQ(read_file(dir / "res_irra.raw"), "earlier image");
        EXPECT_EQ(read_file(dir / "res_irra.txt"), "earlier report");
    }
};

// Folder f, model dem, 16 bits, 3 lines, 4 columns, pixel 10, result res.
const std::string kAnswers = "f dem 0 3 4 10 1 res" + kRest;

} // namespace

TEST(Outputs, EveryFailingWriteLeavesTheFolderAsItWasOrComplete)
{
    // The same run on a disk that fills up at each output operation in turn.
    Folder good;
    fs::remove(good.dir / "res_irra.raw");
    fs::remove(good.dir / "res_irra.txt");
    ASSERT_EQ(run_script(good.s.base(), kAnswers).status, 0);
    const std::string image = read_file(good.dir / "res_irra.raw");
    const std::string report = read_file(good.dir / "res_irra.txt");
    const std::string descriptor = read_file(good.dir / "dem_m2.txt");
    ASSERT_EQ(descriptor, "3\n4\n2\n4\n30\n10\n");

    Folder f;
    std::set<std::string> failed_files;
    long n = 1;
    for (;; n++) {
        seams::fail_output_operation(n);
        const Outcome o = run_script(f.s.base(), kAnswers);
        seams::fail_output_operation(0);
        if (o.status == 0)
            break;
        ASSERT_EQ(o.status, 1);
        // One line naming the file at fault ends the transcript.
        const size_t at = o.transcript.rfind("\n\tCannot write ");
        ASSERT_NE(at, std::string::npos) << n;
        EXPECT_TRUE(ends_with(o.transcript, " (No space left on device) \n")) << n;
        const std::string path = o.transcript.substr(at + 15, o.transcript.size() - at - 15 - 28);
        failed_files.insert(fs::path(path).filename().string());
        // No temporary file; the earlier result untouched; the model's
        // descriptor complete, or not there.
        f.expect_earlier_result();
        const std::vector<std::string> left = listing(f.dir);
        if (fs::exists(f.dir / "dem_m2.txt")) {
            EXPECT_EQ(read_file(f.dir / "dem_m2.txt"), descriptor) << n;
            EXPECT_EQ(left, (std::vector<std::string>{"dem_m2.raw", "dem_m2.txt", "res_irra.raw", "res_irra.txt"}));
            fs::remove(f.dir / "dem_m2.txt");
        } else {
            EXPECT_EQ(left, (std::vector<std::string>{"dem_m2.raw", "res_irra.raw", "res_irra.txt"})) << n;
        }
    }
    // Two writes of the model descriptor and its close, several lines of the
    // report and its close, three lines of the image and its close.
    EXPECT_GT(n, 12);
    EXPECT_EQ(failed_files, (std::set<std::string>{"dem_m2.txt", "res_irra.raw", "res_irra.txt"}));
    // With no failure, the earlier result is replaced by exactly the new one.
    EXPECT_EQ(read_file(f.dir / "res_irra.raw"), image);
    EXPECT_EQ(read_file(f.dir / "res_irra.txt"), report);
    EXPECT_EQ(listing(f.dir), (std::vector<std::string>{"dem_m2.raw", "dem_m2.txt", "res_irra.raw", "res_irra.txt"}));
}

TEST(Outputs, InputEndingAnywhereLeavesTheEarlierResult)
{
    Folder f;
    std::istringstream all(kAnswers);
    std::vector<std::string> tokens;
    for (std::string t; all >> t;)
        tokens.push_back(t);
    std::string answers;
    for (size_t k = 0; k < tokens.size(); k++) {
        const Outcome o = run_script(f.s.base(), answers);
        EXPECT_EQ(o.status, 1);
        f.expect_earlier_result();
        // The model descriptor appears complete once the samples are scanned.
        for (const std::string &name : listing(f.dir))
            EXPECT_TRUE(name == "dem_m2.raw" || name == "res_irra.raw" || name == "res_irra.txt" ||
                        (name == "dem_m2.txt" && read_file(f.dir / name) == "3\n4\n2\n4\n30\n10\n"))
                << name << " after " << k << " answers";
        answers += tokens[k] + " ";
    }
    EXPECT_EQ(run_script(f.s.base(), answers).status, 0);
    EXPECT_NE(read_file(f.dir / "res_irra.raw"), "earlier image");
}

TEST(Outputs, AFolderInPlaceOfTheResultAtTheEnd)
{
    // A folder takes the image's name during the computation: the pair is
    // refused before either is renamed, and both temporary files go.
    Folder f;
    write_file(f.dir / "dem_m2.txt", "3 4 2 0 0 10");
    Phases p(f.s.base(), "f dem 0 1 res" + kRest);
    opening(p.run);
    lecture(p.run);
    parameters(p.run);
    pos_sol(p.run);
    fs::remove(f.dir / "res_irra.raw");
    fs::create_directory(f.dir / "res_irra.raw");
    try {
        save(p.run);
        ADD_FAILURE() << "save went through";
    } catch (const RunFailure &e) {
        EXPECT_EQ(std::string(e.what()),
                  strf("\n\tCannot write %sf/res_irra.raw (Is a directory) \n", f.s.base().c_str()));
    }
    EXPECT_EQ(read_file(f.dir / "res_irra.txt"), "earlier report");
    p.run.f2.abandon();
    p.run.f2d.abandon();
    p.run.lock.release();
    EXPECT_EQ(listing(f.dir), (std::vector<std::string>{"dem_m2.raw", "dem_m2.txt", "res_irra.raw", "res_irra.txt"}));
}

TEST(Outputs, FileCreationCommitAndRemoval)
{
    Scratch s;
    const fs::path out = s.root() / "out.txt";
    write_file(out, "old");
    {
        File f;
        f.create(out.string());
        f.write("new");
        EXPECT_EQ(listing(s.root()).size(), 2u);
        EXPECT_EQ(read_file(out), "old");
        // Dropped without a commit: the temporary file goes, the old stays.
    }
    EXPECT_EQ(listing(s.root()), std::vector<std::string>{"out.txt"});
    EXPECT_EQ(read_file(out), "old");

    File f;
    f.create(out.string());
    f.write("new");
    f.close();
    const std::string temp = f.temporary();
    File::commit({&f});
    EXPECT_EQ(read_file(out), "new");
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(f.temporary(), "");
    // The usual permissions, not mkstemp's private ones.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(out).permissions()), 0666 & ~mask);

    // A name at the length limit gets a shortened temporary name.
    const std::string longest(255, 'n');
    File l;
    l.create((s.root() / longest).string());
    EXPECT_EQ(fs::path(l.temporary()).filename().string().size(), 255u);
    l.close();
    File::commit({&l});
    EXPECT_TRUE(fs::exists(s.root() / longest));

    const auto create_fails = [&](const fs::path &path, const std::string &reason) {
        File g;
        try {
            g.create(path.string());
            ADD_FAILURE() << path;
        } catch (const RunFailure &e) {
            EXPECT_EQ(std::string(e.what()), "\n\tCannot create " + path.string() + " (" + reason + ") \n");
        }
    };
    create_fails(s.root() / (longest + "x"), "File name too long");
    create_fails(s.root() / "out.txt/inner", "Not a directory");
    create_fails(s.root() / "missing/inner", "No such file or directory");
    create_fails(s.root(), "Is a directory");
    EXPECT_EQ(listing(s.root()), (std::vector<std::string>{longest, "out.txt"}));

    // A device that is full: the failure shows at the latest when the data
    // are flushed.
    if (fs::exists("/dev/full")) {
        File d;
        ASSERT_TRUE(d.open("/dev/full", "w"));
        d.write("a line");
        try {
            d.close();
            ADD_FAILURE() << "closed a full device";
        } catch (const RunFailure &e) {
            EXPECT_EQ(std::string(e.what()), "\n\tCannot write /dev/full (No space left on device) \n");
        }
    }
}

TEST(Outputs, FolderThatIsNotWritable)
{
    // Permission bits do not stop root: the run goes on in a child that
    // gives up its privileges when it has them.
    Scratch s;
    const fs::path dir = s.root() / "ro";
    write_file(dir / "d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(dir / "e_m2.raw", samples16({1, 2, 3, 4}));
    write_file(dir / "d_m2.txt", "2 2 2 1 4 10");
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        const Outcome image = run_script(s.base(), "ro d 0 0" + kRest);
        const Outcome model = run_script(s.base(), "ro e 0 2 2 10 0" + kRest);
        const bool told =
            image.status == 1 &&
            ends_with(image.transcript, "\n\tCannot create " + s.base() + "ro/d_irra.raw (Permission denied) \n") &&
            model.status == 1 &&
            ends_with(model.transcript, "\n\tCannot create " + s.base() + "ro/e_m2.txt (Permission denied) \n");
        _exit(told ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"d_m2.raw", "d_m2.txt", "e_m2.raw"}));
    fs::permissions(dir, fs::perms::owner_all);
}

TEST(Names, FoldersAndModelsThatAreNotThere)
{
    Scratch s;
    write_file(s.root() / "f/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "f/d_m2.txt", "2 2 2 1 4 10");
    write_file(s.root() / "plain", "a file, not a folder");
    fs::create_directories(s.root() / "f/sub");
    fs::create_directories(s.root() / "f/dir_m2.raw");
    write_file(s.root() / "f/dd_m2.raw", samples16({1, 2, 3, 4}));
    fs::create_directories(s.root() / "f/dd_m2.txt");
    const std::string too_long(300, 'n');
    const struct {
        std::string answers;
        std::string last_line;
    } cases[] = {
        {"nowhere d 0", "\n\tNo File  " + s.base() + "nowhere/d_m2.raw \n"},
        {"plain d 0", "\n\tNo File  " + s.base() + "plain/d_m2.raw \n"},
        {"f sub 0", "\n\tNo File  " + s.base() + "f/sub_m2.raw \n"},
        {"f dir 0", "\n\tNo File  " + s.base() + "f/dir_m2.raw \n"},
        {"f " + too_long + " 0", "\n\tNo File  " + s.base() + "f/" + too_long + "_m2.raw \n"},
        {"f dd 0", "\n\tCannot read " + s.base() + "f/dd_m2.txt (Is a directory) \n"},
        {"f d 0 1 " + too_long,
         "\n\tCannot create " + s.base() + "f/" + too_long + "_irra.raw (File name too long) \n"},
        {"f d 0 1 ../plain/r", "\n\tCannot create " + s.base() + "f/../plain/r_irra.raw (Not a directory) \n"},
        {"f d 0 1 nowhere/r", "\n\tCannot create " + s.base() + "f/nowhere/r_irra.raw (No such file or directory) \n"},
        {std::string("f\0x", 3) + " d 0",
         "\n\tThe answer to \"Name of the File Folder\" holds a NUL character, which no file name can hold \n"},
        {std::string("f d\0x 0", 7),
         "\n\tThe answer to \"Name of Digital Elevation Model\" holds a NUL character, which no file name can hold \n"},
        {std::string("f d 0 1 r\0", 10),
         "\n\tThe answer to \"Name of the File to be created\" holds a NUL character, which no file name can hold \n"},
    };
    for (const auto &c : cases) {
        const Outcome o = run_script(s.base(), c.answers + kRest);
        EXPECT_EQ(o.status, 1) << c.answers;
        EXPECT_TRUE(ends_with(o.transcript, c.last_line)) << c.answers << "\n"
                                                          << o.transcript.substr(o.transcript.size() - 200);
        EXPECT_EQ(listing(s.root() / "f"),
                  (std::vector<std::string>{"d_m2.raw", "d_m2.txt", "dd_m2.raw", "dd_m2.txt", "dir_m2.raw", "sub"}));
    }
}

TEST(Names, AnyCharacterButABlankWorks)
{
    Scratch s;
    const std::string names[] = {"%s%n%d",   "-dash",       "\xC3\xBCml\xC3\xA4ut",
                                 "\xFF\xFE", "back\\slash", "q\"u'o`te",
                                 "*?[a]",    "x:y;z",       "\x01\x7F",
                                 ".",        "sub/inner",   "/abs"};
    fs::create_directories(s.root() / "f/sub");
    fs::create_directories(s.root() / "abs");
    for (const std::string &name : names) {
        // The same name for the folder, the model and the result, where it can be.
        const std::string folder = name == "." || name == "sub/inner" ? "f" : name;
        const fs::path dir = s.root() / (folder[0] == '/' ? folder.substr(1) : folder);
        write_file(dir / (name.substr(name[0] == '/') + "_m2.raw"), samples16({1, 2, 3, 4}));
        const Outcome o = run_script(s.base(), folder + " " + name + " 0 2 2 10 1 " + name + kRest);
        EXPECT_EQ(o.status, 0) << name << o.transcript;
        const std::string stem = name[0] == '/' ? name.substr(1) : name;
        EXPECT_EQ(read_file(dir / (stem + "_irra.raw")).size(), 4u) << name;
        EXPECT_EQ(read_file(dir / (stem + "_m2.txt")), "2\n2\n2\n1\n4\n10\n") << name;
        EXPECT_TRUE(fs::exists(dir / (stem + "_irra.txt"))) << name;
    }
}

namespace
{

// The run as an unprivileged user when the tests run as root, whom
// permission bits do not stop.
Outcome run_unprivileged(const std::string &base, const std::string &answers)
{
    int feed[2];
    if (pipe(feed) != 0)
        return {-1, "no pipe"};
    const pid_t pid = fork();
    if (pid == 0) {
        close(feed[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        const Outcome o = run_script(base, answers);
        for (size_t done = 0; done < o.transcript.size();) {
            const ssize_t n = write(feed[1], o.transcript.data() + done, o.transcript.size() - done);
            if (n <= 0)
                _exit(11);
            done += static_cast<size_t>(n);
        }
        _exit(o.status);
    }
    close(feed[1]);
    const std::string transcript = read_all(feed[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, transcript};
}

} // namespace

TEST(Outputs, InputsThatCannotBeReadEndTheRunBeforeAnyFile)
{
    // A descriptor or an elevation file that is there but cannot be read, a
    // descriptor without end, an answer without end: one line naming it,
    // before any question they would change and before any file is made.
    Folder f;
    write_file(f.dir / "dem_m2.txt", "3 4 2 4 30 10");
    write_file(f.dir / "big_m2.raw", samples16({1, 2, 3, 4}));
    write_file(f.dir / "big_m2.txt", "2 2 2 1 4 10" + std::string(kDescriptorMaxBytes, ' '));
    fs::create_symlink("/dev/zero", f.dir / "zero_m2.txt");
    fs::create_symlink("/dev/urandom", f.dir / "random_m2.txt");
    for (const char *model : {"zero", "random"})
        write_file(f.dir / (std::string(model) + "_m2.raw"), samples16({1, 2, 3, 4}));
    const std::vector<std::string> before = listing(f.dir);
    const std::string d = f.s.base() + "f/";
    const std::string endless = std::string(kAnswerMaxBytes + 1, 'x');
    const struct {
        std::string answers;
        const char *unreadable; // a file of the folder its owner alone may read
        std::string last_line;
    } cases[] = {
        {"f dem 0", "dem_m2.txt", "\n\tCannot read " + d + "dem_m2.txt (Permission denied) \n"},
        {"f dem 0", "dem_m2.raw", "\n\tCannot read " + d + "dem_m2.raw (Permission denied) \n"},
        {"f zero 0", nullptr,
         "\n\tThe descriptor " + d + "zero_m2.txt holds more than 65536 bytes: a model " +
             "descriptor holds six numbers \n"},
        {"f random 0", nullptr,
         "\n\tThe descriptor " + d + "random_m2.txt holds more than 65536 bytes: a model " +
             "descriptor holds six numbers \n"},
        {"f big 0", nullptr,
         "\n\tThe descriptor " + d + "big_m2.txt holds more than 65536 bytes: a model " +
             "descriptor holds six numbers \n"},
        {endless, nullptr, "\n\tThe answer to \"Name of the File Folder\" is longer than 65536 characters \n"},
        {std::string(kAnswerMaxBytes * 2, '\0'), nullptr,
         "\n\tThe answer to \"Name of the File Folder\" is longer than 65536 characters \n"},
        {"f dem 0 1 " + endless, nullptr,
         "\n\tThe answer to \"Name of the File to be created\" is longer than 65536 characters \n"},
    };
    for (const auto &c : cases) {
        if (c.unreadable != nullptr)
            fs::permissions(f.dir / c.unreadable, fs::perms::owner_write);
        const Outcome o = c.unreadable != nullptr ? run_unprivileged(f.s.base(), c.answers + " 3 4 10 1 res" + kRest)
                                                  : run_script(f.s.base(), c.answers + " 3 4 10 1 res" + kRest);
        if (c.unreadable != nullptr)
            fs::permissions(f.dir / c.unreadable, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(o.status, 1) << c.last_line;
        EXPECT_TRUE(ends_with(o.transcript, c.last_line)) << o.transcript.substr(o.transcript.size() - 200);
        EXPECT_EQ(o.transcript.find("Number of lines"), std::string::npos) << c.last_line;
        EXPECT_EQ(listing(f.dir), before);
        EXPECT_EQ(read_file(f.dir / "dem_m2.txt"), "3 4 2 4 30 10");
        f.expect_earlier_result();
    }
}

TEST(Outputs, EveryFailingCommitStepLeavesTheEarlierResult)
{
    // The links and renames that put the pair in place failing in turn, as an
    // immutable earlier image or another user's in a shared folder would make
    // them fail; with an earlier result and without.
    for (const bool earlier : {true, false}) {
        Folder f;
        write_file(f.dir / "dem_m2.txt", "3 4 2 4 30 10");
        if (!earlier) {
            fs::remove(f.dir / "res_irra.raw");
            fs::remove(f.dir / "res_irra.txt");
        }
        const std::vector<std::string> before = listing(f.dir);
        long n = 1;
        for (;; n++) {
            seams::fail_commit_step(n);
            const Outcome o = run_script(f.s.base(), "f dem 0 1 res" + kRest);
            seams::fail_commit_step(0);
            if (o.status == 0)
                break;
            EXPECT_TRUE(ends_with(o.transcript, " (Operation not permitted) \n")) << n;
            EXPECT_NE(o.transcript.find("\n\tCannot write " + f.s.base() + "f/res_irra."), std::string::npos) << n;
            EXPECT_EQ(listing(f.dir), before) << n;
            if (earlier)
                f.expect_earlier_result();
        }
        // Two links of the earlier files and two renames, or the renames alone.
        EXPECT_EQ(n, earlier ? 5 : 3);
        EXPECT_EQ(read_file(f.dir / "res_irra.raw").size(), 12u);
    }
}

TEST(Outputs, ACommitCutShortIsUndoneByTheNextRun)
{
    // A run that dies at each step of its commit in turn (kill -9, a crash):
    // the next run of the same result name finds the earlier pair or the new
    // one whole, and nothing else.
    for (long n = 1;; n++) {
        Folder f;
        write_file(f.dir / "dem_m2.txt", "3 4 2 4 30 10");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            File image, report;
            ResultLock lock;
            image.create((f.dir / "res_irra.raw").string());
            report.create((f.dir / "res_irra.txt").string());
            lock.acquire(ResultLock::path_for((f.dir / "res_irra.raw").string()), "res");
            image.write("new image");
            report.write("new report");
            image.close();
            report.close();
            seams::fail_commit_step(n, true);
            File::commit({&report, &image}, &lock);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        // A later run that ends once it holds the name.
        const Outcome o = run_script(f.s.base(), "f dem 0 1 res");
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(listing(f.dir),
                  (std::vector<std::string>{"dem_m2.raw", "dem_m2.txt", "res_irra.raw", "res_irra.txt"}))
            << n;
        const std::string image = read_file(f.dir / "res_irra.raw");
        EXPECT_EQ(read_file(f.dir / "res_irra.txt"), image == "new image" ? "new report" : "earlier report") << n;
        if (WEXITSTATUS(status) == 0) {
            // Two links, two renames, two backups removed: the last step done.
            EXPECT_EQ(n, 7);
            EXPECT_EQ(image, "new image");
            break;
        }
        EXPECT_EQ(WEXITSTATUS(status), 99);
        EXPECT_EQ(image, n <= 4 ? "earlier image" : "new image") << n;
    }
}

// Pipes are never read as models or descriptors (their reader would wait for
// a writer for ever), in either face; a descriptor is read to a bound.
TEST(Outputs, PipesAreNoModelsAndDescriptorsAreBounded)
{
    Folder f;
    const std::string d = f.s.base() + "f/";
    write_file(f.dir / "p_m2.txt", "2 2 2 1 4 10");
    ASSERT_EQ(mkfifo((f.dir / "p_m2.raw").c_str(), 0600), 0);
    write_file(f.dir / "q_m2.raw", samples16({1, 2, 3, 4}));
    ASSERT_EQ(mkfifo((f.dir / "q_m2.txt").c_str(), 0600), 0);
    const struct {
        const char *model;
        std::string last_line;
    } cases[] = {
        {"p", "\n\tCannot read " + d + "p_m2.raw (a pipe: a model is read from a file) \n"},
        {"q", "\n\tCannot read " + d + "q_m2.txt (a pipe: a descriptor is read from a file) \n"},
    };
    for (const auto &c : cases) {
        const Outcome o = run_script(f.s.base(), std::string("f ") + c.model + " 0 0 3 4 10 1 res" + kRest);
        EXPECT_EQ(o.status, 1) << c.model;
        EXPECT_TRUE(ends_with(o.transcript, c.last_line)) << o.transcript.substr(o.transcript.size() - 200);
    }
    // The command line's reader of the same models.
    EXPECT_THROW(read_raw_model(d + "p_m2.raw", 1000), RawModelError);
    EXPECT_THROW(read_raw_model(d + "q_m2.raw", 1000), RawModelError);
    write_file(f.dir / "long_m2.raw", samples16({1, 2, 3, 4}));
    write_file(f.dir / "long_m2.txt", "2 2 2 1 4 10" + std::string(kDescriptorMaxBytes, ' '));
    try {
        read_raw_model(d + "long_m2.raw", 1000);
        ADD_FAILURE() << "a descriptor past the bound was read";
    } catch (const RawModelError &e) {
        EXPECT_NE(std::string(e.what()).find("holds more than 65536 bytes"), std::string::npos) << e.what();
    }
    // A result descriptor's report may be longer: its first numbers are read.
    const DescriptorText t = read_descriptor_file(d + "long_m2.txt");
    EXPECT_EQ(t.problem, DescriptorText::TooLong);
    EXPECT_EQ(descriptor_values(t.text).count, 6);
}
