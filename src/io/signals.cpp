#include "signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace terralume
{

namespace
{

struct Slot {
    std::atomic<bool> used{false};
    bool tree = false;
    char path[kTrackedPathMax];
};

// A run has at most three outputs under way; the rest is headroom.
Slot slots[16];

// What the process is doing, for the handler: running; renaming outputs into
// place; stopping on a signal; or kDeferred + the signal that came during the
// renames.
constexpr int kRunning = 0;
constexpr int kCommitting = 1;
constexpr int kStopping = 2;
constexpr int kDeferred = 100;
std::atomic<int> state{kRunning};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

termios saved_terminal;
std::atomic<bool> terminal_saved{false};

// Every signal whose default action ends the process, but those of a fault
// of the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP,
// SIGSYS), which keep their core dump; the real-time signals are added at
// installation. SIGXFSZ is ignored instead: a write past the file-size limit
// then fails with EFBIG and is reported like any failed write.
constexpr int kStopSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGPIPE, SIGQUIT, SIGUSR1,   SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGXCPU};

// The stop line of every signal, made before any can arrive, and where it goes.
char stop_messages[NSIG][128];
int stop_fd = STDOUT_FILENO;

const char *stop_message(int sig) { return stop_messages[sig]; }

void make_stop_message(int sig, StopLayout layout, const char *program)
{
    const char *abbrev = sigabbrev_np(sig);
    char name[32];
    if (abbrev != nullptr)
        std::snprintf(name, sizeof name, "SIG%s", abbrev);
    else if (sig >= SIGRTMIN && sig <= SIGRTMAX)
        std::snprintf(name, sizeof name, "SIGRTMIN+%d", sig - SIGRTMIN);
    else
        std::snprintf(name, sizeof name, "signal %d", sig);
    if (layout == StopLayout::CommandLine)
        std::snprintf(stop_messages[sig], sizeof stop_messages[sig],
                      "%s: stopped by %s: the outputs of this run that were not complete are removed\n", program, name);
    else
        std::snprintf(stop_messages[sig], sizeof stop_messages[sig],
                      "\n\tStopped by %s: the files of this run that were not complete are removed \n", name);
}

// Removes the entries of the folder open as `fd`, and the folders in it to
// `depth` levels; false when some could not be removed.
bool remove_entries(int fd, int depth)
{
    // The records of getdents64: inode, offset, length, type, name.
    alignas(8) char buffer[4096];
    bool removed = true;
    for (long got; (got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            return false;
        for (long at = 0; at < got;) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + 16, sizeof length);
            const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
            const char *name = buffer + at + 19;
            at += length;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (type != DT_DIR && unlinkat(fd, name, 0) == 0)
                continue;
            const int inner = depth > 0 ? openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            if (inner < 0) {
                removed = false;
                continue;
            }
            removed = remove_entries(inner, depth - 1) && removed;
            close(inner);
            removed = unlinkat(fd, name, AT_REMOVEDIR) == 0 && removed;
        }
    }
    return removed;
}

// Async-signal-safe: unlink, tcsetattr, write and _exit only.
[[noreturn]] void stop(int sig)
{
    for (Slot &s : slots)
        if (s.used.load()) {
            if (s.tree)
                remove_tree(s.path);
            else
                unlink(s.path);
        }
    if (terminal_saved.load())
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    const char *text = stop_message(sig);
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(stop_fd, text, left);
        if (n <= 0)
            break;
        text += n;
        left -= static_cast<size_t>(n);
    }
    _exit(128 + sig);
}

void on_signal(int sig)
{
    int seen = kRunning;
    if (state.compare_exchange_strong(seen, kStopping))
        stop(sig);
    // Renames under way: they finish first. Otherwise another thread is
    // stopping the process already.
    if (seen == kCommitting)
        state.compare_exchange_strong(seen, kDeferred + sig);
}

} // namespace

int track_temporary(const std::string &path, bool tree)
{
    if (path.size() >= kTrackedPathMax)
        return kPathTooLong;
    for (int k = 0; k < static_cast<int>(std::size(slots)); k++) {
        Slot &s = slots[k];
        if (s.used.load())
            continue;
        std::memcpy(s.path, path.c_str(), path.size() + 1);
        s.tree = tree;
        s.used.store(true);
        return k;
    }
    return kNoFreeSlot;
}

char *tracked_path(int slot) { return slots[slot].path; }

void untrack_temporary(int slot) { slots[slot].used.store(false); }

void begin_commit()
{
    int seen = kRunning;
    while (!state.compare_exchange_weak(seen, kCommitting)) {
        if (seen == kStopping)
            for (;;)
                pause(); // the handler on another thread ends the process
        seen = kRunning;
    }
}

void end_commit()
{
    int seen = kCommitting;
    if (state.compare_exchange_strong(seen, kRunning))
        return;
    state.store(kStopping);
    std::fflush(stdout);
    stop(seen - kDeferred);
}

void restore_terminal_on_stop(const termios *saved)
{
    terminal_saved.store(false);
    if (saved != nullptr) {
        saved_terminal = *saved;
        terminal_saved.store(true);
    }
}

bool remove_tree(const char *path)
{
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    // Two passes: a folder read while its entries go may leave some unseen.
    bool removed = remove_entries(fd, 32);
    if (!removed && lseek(fd, 0, SEEK_SET) == 0)
        removed = remove_entries(fd, 32);
    close(fd);
    return rmdir(path) == 0 && removed;
}

void install_stop_handlers(StopLayout layout, const char *program)
{
    stop_fd = layout == StopLayout::CommandLine ? STDERR_FILENO : STDOUT_FILENO;
    std::vector<int> stops(std::begin(kStopSignals), std::end(kStopSignals));
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        stops.push_back(sig);
    struct sigaction sa {
    };
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : stops)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    for (const int sig : stops) {
        make_stop_message(sig, layout, program);
        struct sigaction old {
        };
        // Ignored (nohup, a background job), or handled by a runtime already.
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL)
            continue;
        sigaction(sig, &sa, nullptr);
    }
    signal(SIGXFSZ, SIG_IGN);
}

} // namespace terralume
