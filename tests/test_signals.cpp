// The terralume executable stopped by signals: a long run is started in a
// child process, the signal is sent, and the folder and the exit status are
// checked.
#include "signals.h"
#include "support.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

bool wait_for(const std::function<bool()> &condition, double seconds = 60)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The exit status of `pid`, or -1 when it has not ended within `seconds`
// (it is then killed).
int exit_status(pid_t pid, double seconds = 10)
{
    int status = 0;
    if (!wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Starts terralume on `base` with standard input from `in` and standard
// output to `out` (file descriptors).
[[noreturn]] void become_terralume(const std::string &base, int in, int out, std::initializer_list<int> ignored = {})
{
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    setenv("TERRALUME_IMAGES", base.c_str(), 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    for (const int sig : ignored)
        signal(sig, SIG_IGN);
    execl(TL_TERRALUME, TL_TERRALUME, static_cast<char *>(nullptr));
    _exit(127);
}

pid_t start(const std::string &base, int in, int out, std::initializer_list<int> ignored = {})
{
    const pid_t pid = fork();
    if (pid == 0)
        become_terralume(base, in, out, ignored);
    return pid;
}

bool has_temporary(const fs::path &dir, const std::string &prefix)
{
    for (const std::string &name : listing(dir))
        if (name.rfind(prefix + ".tmp", 0) == 0)
            return true;
    return false;
}

// A 2 x 2 model and an earlier result "res"; the answers of a run that
// writes "res" over ten million days.
struct LongRun {
    Scratch s;
    fs::path dir = s.root() / "f";
    fs::path answers = s.root() / "answers.txt";
    fs::path transcript = s.root() / "transcript.txt";
    LongRun()
    {
        write_file(dir / "d_m2.raw", samples16({1, 2, 3, 4}));
        write_file(dir / "d_m2.txt", "2 2 2 1 4 10");
        write_file(dir / "res_irra.raw", "earlier image");
        write_file(dir / "res_irra.txt", "earlier report");
        write_file(answers, "f d 0 1 res 0 10 45 50 2 1 1 10000000 12\n");
    }
    bool computing() const { return read_file(transcript).find("Shadow computation") != std::string::npos; }
    void expect_as_before() const
    {
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"d_m2.raw", "d_m2.txt", "res_irra.raw", "res_irra.txt"}));
        EXPECT_EQ(read_file(dir / "res_irra.raw"), "earlier image");
        EXPECT_EQ(read_file(dir / "res_irra.txt"), "earlier report");
    }
};

std::string stop_line(const char *name)
{
    return strf("\n\tStopped by %s: the files of this run that were not complete are removed \n", name);
}

} // namespace

TEST(Signals, StopALongComputation)
{
    const struct {
        int sig;
        const char *name;
    } cases[] = {{SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"},     {SIGHUP, "SIGHUP"},   {SIGQUIT, "SIGQUIT"},
                 {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},     {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"},
                 {SIGPROF, "SIGPROF"}, {SIGRTMIN, "SIGRTMIN+0"}, {SIGXCPU, "SIGXCPU"}};
    for (const auto &c : cases) {
        LongRun run;
        const int in = open(run.answers.c_str(), O_RDONLY);
        const int out = open(run.transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const pid_t pid = start(run.s.base(), in, out);
        close(in);
        close(out);
        ASSERT_TRUE(wait_for([&] { return run.computing(); })) << c.name;
        EXPECT_TRUE(has_temporary(run.dir, "res_irra.raw"));
        EXPECT_TRUE(has_temporary(run.dir, "res_irra.txt"));
        kill(pid, c.sig);
        // Promptly, in the middle of the period.
        EXPECT_EQ(exit_status(pid, 5), 128 + c.sig) << c.name;
        run.expect_as_before();
        const std::string t = read_file(run.transcript);
        EXPECT_EQ(t.substr(t.size() - stop_line(c.name).size()), stop_line(c.name));
    }
}

TEST(Signals, StopWhileTheModelDescriptorIsBeingMade)
{
    // The model has no descriptor: after lines, columns and pixel size its
    // first half is written, and the run waits for the result name.
    LongRun run;
    write_file(run.dir / "n_m2.raw", samples16({1, 2, 3, 4}));
    int feed[2];
    ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0); // the child keeps only its own end
    const int out = open(run.transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = start(run.s.base(), feed[0], out);
    close(feed[0]);
    close(out);
    const std::string answers = "f n 0 2 2 10\n";
    ASSERT_EQ(write(feed[1], answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    ASSERT_TRUE(wait_for([&] { return read_file(run.transcript).find("Resulting Image") != std::string::npos; }));
    EXPECT_TRUE(has_temporary(run.dir, "n_m2.txt"));
    kill(pid, SIGTERM);
    EXPECT_EQ(exit_status(pid), 128 + SIGTERM);
    close(feed[1]);
    fs::remove(run.dir / "n_m2.raw");
    run.expect_as_before();
}

TEST(Signals, InterruptIgnoredAtStartStaysIgnored)
{
    // A run started in the background or under nohup keeps ignoring it.
    LongRun run;
    const int in = open(run.answers.c_str(), O_RDONLY);
    const int out = open(run.transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = start(run.s.base(), in, out, {SIGINT});
    close(in);
    close(out);
    ASSERT_TRUE(wait_for([&] { return run.computing(); }));
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(exit_status(pid), 128 + SIGTERM);
    run.expect_as_before();
}

TEST(Signals, ConsoleThatGoesAway)
{
    // The reader of the console output quits in the middle of the run.
    LongRun run;
    const int in = open(run.answers.c_str(), O_RDONLY);
    int console[2];
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0); // the child keeps only its own end
    const pid_t pid = start(run.s.base(), in, console[1]);
    close(in);
    close(console[1]);
    std::string seen;
    char buf[4096];
    while (seen.find("Shadow computation") == std::string::npos) {
        const ssize_t n = read(console[0], buf, sizeof buf);
        ASSERT_GT(n, 0);
        seen.append(buf, static_cast<size_t>(n));
    }
    close(console[0]);
    EXPECT_EQ(exit_status(pid), 128 + SIGPIPE);
    run.expect_as_before();
}

TEST(Signals, RenamesUnderWayFinishFirst)
{
    // A signal between begin_commit and end_commit is held back until the
    // renames are done, then stops the process as usual.
    Scratch s;
    const fs::path temp = s.root() / "a.tmp";
    const fs::path other = s.root() / "b.tmp";
    write_file(temp, "complete");
    write_file(other, "not complete");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        signal(SIGTERM, SIG_DFL);
        install_stop_handlers();
        const int a = track_temporary(temp.string());
        track_temporary(other.string());
        begin_commit();
        raise(SIGTERM);
        const bool renamed = std::rename(temp.c_str(), (s.root() / "a").c_str()) == 0;
        untrack_temporary(a);
        if (!renamed)
            _exit(3);
        end_commit();
        _exit(4);
    }
    EXPECT_EQ(exit_status(pid), 128 + SIGTERM);
    EXPECT_EQ(listing(s.root()), std::vector<std::string>{"a"});
    EXPECT_EQ(read_file(s.root() / "a"), "complete");
}

TEST(Signals, QuitAtTheKeyWaitGivesTheTerminalBack)
{
    // A missing model on a terminal: the key is awaited without echo.
    Scratch s;
    const fs::path transcript = s.root() / "transcript.txt";
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const int out = open(transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        become_terralume(s.base(), open(slave.c_str(), O_RDWR), out);
    }
    close(out);
    const auto echoing = [&] {
        termios t{};
        return tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) != 0;
    };
    ASSERT_TRUE(wait_for(echoing));
    const std::string answers = "nowhere d 0\n";
    ASSERT_EQ(write(master, answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    ASSERT_TRUE(wait_for([&] { return read_file(transcript).find("No File") != std::string::npos && !echoing(); }));
    kill(pid, SIGQUIT);
    EXPECT_EQ(exit_status(pid), 128 + SIGQUIT);
    EXPECT_TRUE(echoing());
    close(master);
}

TEST(Signals, FileSizeLimitIsAFailedWrite)
{
    // Under `ulimit -f` the report of a ten-million-day run passes the limit:
    // a write that fails, not a process killed.
    LongRun run;
    const int in = open(run.answers.c_str(), O_RDONLY);
    int console[2];
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0); // the limit holds for files, not pipes
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        become_terralume(run.s.base(), in, console[1]);
    }
    close(in);
    close(console[1]);
    const std::string seen = read_all(console[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const int inner = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(inner, 1);
    const std::string line = "\n\tCannot write " + run.s.base() + "f/res_irra.txt (File too large) \n";
    EXPECT_EQ(seen.substr(seen.size() - std::min(seen.size(), line.size())), line);
    run.expect_as_before();
}

TEST(Signals, ConsoleThatCannotBeWritten)
{
    // A full disk, or a reader gone while SIGPIPE is ignored: the run goes
    // on and writes its files, and its status and standard error tell that
    // the console output was lost.
    int gone[2];
    ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
    close(gone[0]);
    const struct {
        int out;
        const char *reason;
    } cases[] = {{open("/dev/full", O_WRONLY | O_CLOEXEC), "No space left on device"}, {gone[1], "Broken pipe"}};
    for (const auto &c : cases) {
        LongRun run;
        write_file(run.answers, "f d 0 1 res" + kRest);
        const fs::path errors = run.s.root() / "errors.txt";
        const int in = open(run.answers.c_str(), O_RDONLY);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            become_terralume(run.s.base(), in, c.out, {SIGPIPE});
        }
        close(in);
        EXPECT_EQ(exit_status(pid), kConsoleLost) << c.reason;
        EXPECT_EQ(read_file(errors), strf("\n\tThe console output was lost (%s): the run went on, its files are "
                                          "complete \n",
                                          c.reason));
        EXPECT_EQ(listing(run.dir), (std::vector<std::string>{"d_m2.raw", "d_m2.txt", "res_irra.raw", "res_irra.txt"}));
        EXPECT_EQ(read_file(run.dir / "res_irra.raw").size(), 4u);
        close(c.out);
    }
}

TEST(Signals, TwoRunsOnOneResult)
{
    // While a run computes "res", another run of that name is refused before
    // it computes anything; the first one's files are not touched.
    LongRun run;
    const int in = open(run.answers.c_str(), O_RDONLY);
    const int out = open(run.transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t first = start(run.s.base(), in, out);
    close(in);
    close(out);
    ASSERT_TRUE(wait_for([&] { return run.computing(); }));
    EXPECT_TRUE(fs::exists(run.dir / "res_irra.lock"));

    const fs::path second_answers = run.s.root() / "second.txt";
    const fs::path second_transcript = run.s.root() / "second_transcript.txt";
    write_file(second_answers, "f d 0 1 res" + kRest);
    const int in2 = open(second_answers.c_str(), O_RDONLY);
    const int out2 = open(second_transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t second = start(run.s.base(), in2, out2);
    close(in2);
    close(out2);
    EXPECT_EQ(exit_status(second), 1);
    const std::string line =
        strf("\n\tResult res_irra in %sf is being written by another run (pid %d) \n", run.s.base().c_str(), first);
    const std::string t = read_file(second_transcript);
    EXPECT_EQ(t.substr(t.size() - std::min(t.size(), line.size())), line);
    EXPECT_EQ(t.find("Are these values"), std::string::npos);

    // The first run, stopped, leaves the folder as it was: no lock file.
    kill(first, SIGTERM);
    EXPECT_EQ(exit_status(first), 128 + SIGTERM);
    run.expect_as_before();
    const int in3 = open(second_answers.c_str(), O_RDONLY);
    const int out3 = open(second_transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(exit_status(start(run.s.base(), in3, out3)), 0);
    close(in3);
    close(out3);
}
