// SPDX-License-Identifier: ISC
// Test support shared by every tool's tests: run a real program with chosen
// arguments, environment, directory and standard input, and collect what it
// wrote and how it ended; scratch directories that clean up after themselves.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ts {

using std::chrono::milliseconds;

// How a program run ended, and everything it wrote.
struct Result {
    std::string out;
    std::string err;
    int status = 0;          // raw wait status; decode with the members below
    bool timed_out = false;  // killed by the harness because it ran too long
    // What the program left behind in its process group (its session on a
    // terminal): the processes still alive, stopped or running, once it had
    // ended and those about to end by themselves had been given a moment.
    // One "pid state (name)" line each; empty when it left nothing. (Where
    // the test cannot take in orphans, under the emulator, the kernel ends
    // a stopped one as its group is orphaned, and it does not show.)
    std::string left;

    bool exited() const { return !timed_out && WIFEXITED(status); }
    int exit_code() const { return exited() ? WEXITSTATUS(status) : -1; }
    bool signaled() const { return !timed_out && WIFSIGNALED(status); }
    int term_signal() const { return signaled() ? WTERMSIG(status) : 0; }
    // "exit 3", "signal 2 (Interrupt)" or "timed out": for failure messages.
    std::string describe() const;
};

struct Options {
    std::vector<std::string> args;   // argv[1] onwards
    std::string argv0;               // argv[0]; empty means the program path
    std::string input;               // bytes written to standard input, which is then closed
    bool input_open = false;         // keep standard input open (empty) until the program ends
    std::string cwd;                 // working directory; empty means the test's own
    std::vector<std::string> env;    // "NAME=value" entries added to (or replacing in) the environment
    std::vector<std::string> unset;  // names removed from the environment
    bool clean_env = false;          // start from an empty environment instead of the test's
    milliseconds timeout{20000};     // after this the program's process group is killed
    // Calls made to fail, as FAULT gives them to the fault library
    // (tests/helpers/fault.c), e.g. "fork:2" or "malloc:3+:ENOMEM"; the
    // library is preloaded into the program (and only it) when not empty.
    std::string fault;
};

// A program started in a process group of its own, with the descriptors
// beyond 2 closed and every signal at its default action and unblocked.
// Standard input is a pipe fed from `Options::input`; standard output and
// error go to memory files, so a program never blocks on output the test has
// not read yet. When it ends (or the object goes away) whatever it left in
// its process group is killed and reaped, so a test leaves no processes or
// zombies behind.
class Process {
public:
    Process(const std::string &program, const Options &opts = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // Sends `sig` to the program itself (not its group); false once it is gone.
    bool signal(int sig) const;
    // More bytes for standard input (with `input_open`), and its end.
    void send(std::string_view bytes);
    void close_input();
    // What the program has written so far.
    std::string out() const;
    std::string err() const;
    // Waits for the end, at most `timeout` (the options' timeout if omitted);
    // a program still running then is killed and reported as timed out.
    Result wait();
    Result wait(milliseconds timeout);

private:
    void feed(bool block);
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1, exit_ = -1;
    std::string input_;
    size_t sent_ = 0;
    bool keep_input_open_ = false;
    milliseconds timeout_;
    bool reaped_ = false;
    Result result_;
};

// Starts `program` and waits for it: Process(program, opts).wait().
Result run(const std::string &program, const Options &opts = {});

// Path of a program built by this project (build/bin/NAME).
std::string bin(std::string_view name);
// Path of a helper program built for the tests (build/tests/helpers/NAME).
std::string helper(std::string_view name);

// Bytes made visible for failure messages: C escapes for control characters,
// so that prompts without newlines and trailing blanks can be seen.
std::string visible(std::string_view bytes);

// The descriptors open in process `pid` (0: this process), from /proc.
std::vector<int> open_fds(pid_t pid = 0);

// Whether this test program runs under the user-mode emulator: a 32-bit
// build on a host that cannot run 32-bit code itself and has qemu-i386
// registered for it. A few kernel behaviours differ there.
bool under_emulator();

// Whether a sanitizer's runtime (the address or the leak sanitizer) is in
// this test program, and so in the programs built with it: its allocator
// does not run under a memory ulimit, and it handles a fault itself.
bool sanitizer_runtime();

// Whether process `pid` exists and has not ended (a zombie has ended).
bool alive(pid_t pid);

// Children of this process that are zombies or still running, from /proc.
std::vector<pid_t> child_pids();

// The state letter of process `pid` from /proc ('R' running or runnable,
// 'T' stopped, 'Z' ended, ...), or 0 once it is gone.
char state_of(pid_t pid);

// Whether signal `signum` is pending for process `pid` (sent and not yet
// taken), from /proc.
bool signal_pending(pid_t pid, int signum);

// The command name of process `pid` from /proc, or "" once it is gone.
std::string name_of(pid_t pid);

// The children of process `pid` (of its main thread), from /proc.
std::vector<pid_t> children_of(pid_t pid);

// Waits for `ready` to hold, looking every few milliseconds; false if it
// still does not once `limit` has passed. The default is far beyond any
// pause of a loaded machine, so a row that waits for an event fails only
// when the event does not come.
bool eventually(const std::function<bool()> &ready, milliseconds limit = milliseconds(20000));

// Whether process `pid` is blocked reading descriptor 0 or, when `writing`,
// writing descriptor 1, from /proc: a signal sent now interrupts that call.
bool blocked_in(pid_t pid, bool writing = false);

// A fresh directory under TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const;  // path of an entry
    void write(std::string_view name, std::string_view contents, mode_t mode = 0644) const;
    std::string read(std::string_view name) const;

private:
    std::string path_;
};

// Set-up every runner needs once per test process: orphans are handed to this
// process (so their zombies can be reaped) and SIGPIPE is ignored (so a
// program that stops reading cannot kill the test).
void prepare_process();

}  // namespace ts
