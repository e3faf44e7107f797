// What a stopping signal (interrupt, termination, hang-up, broken pipe, ...) does
// to a run: the temporary files of the outputs not yet complete are removed,
// the console is told, and the process ends with status 128 + the signal.
//
// The handler only unlinks paths stored beforehand in fixed buffers, writes
// one fixed line and calls _exit, so it is safe whatever the run is doing; a
// year-long computation stops at once.
#ifndef TERRALUME_DIALOGUE_SIGNALS_H
#define TERRALUME_DIALOGUE_SIGNALS_H

#include <cstddef>
#include <string>

struct termios;

namespace terralume
{

// The longest path of a temporary file, terminating zero included.
constexpr size_t kTrackedPathMax = 4096;

// Stores `path` in a free slot and returns the slot, or one of the negative
// values below. The slot's buffer may be rewritten in place (mkstemp fills in
// its name) while tracked. A `tree` is a folder, removed on a stop with all
// it holds.
constexpr int kPathTooLong = -1;
constexpr int kNoFreeSlot = -2;
int track_temporary(const std::string &path, bool tree = false);
char *tracked_path(int slot);
void untrack_temporary(int slot);

// Renames run between these two calls are never cut in half by a stopping
// signal: one that arrives meanwhile takes effect right after end_commit.
// begin_commit does not return when a signal is already stopping the run.
void begin_commit();
void end_commit();

// While set, the terminal is put back in this state before the process ends
// on a signal (a key is being read without echo). Null clears it.
void restore_terminal_on_stop(const termios *saved);

// Installs the handler for every signal whose default action ends the
// process (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM, the
// real-time signals...) but those of a fault of the program; a signal that was
// ignored when the process started (nohup, a background job) stays ignored.
// SIGXFSZ is ignored: a write past the file-size limit fails with EFBIG.
// The dialogue tells of the stop on standard output in its own layout; the
// command line on standard error, as one `terralume: ...` line.
// `program` names the command-line program in its line.
enum class StopLayout { Dialogue, CommandLine };
void install_stop_handlers(StopLayout layout = StopLayout::Dialogue, const char *program = "terralume");

// Removes the folder `path` and everything in it, with calls that are safe in
// a signal handler only; false when something could not be removed.
bool remove_tree(const char *path);

} // namespace terralume

#endif
