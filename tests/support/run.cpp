// SPDX-License-Identifier: ISC
#include "run.h"
#include "plumbing.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>

extern char **environ;

namespace ts {

void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

namespace {

// Fields of /proc/PID/stat: the command name, state, ppid, pgrp, session.
struct ProcStat {
    std::string name;
    char state = '?';
    pid_t ppid = 0, pgrp = 0, session = 0;
};

bool read_stat(pid_t pid, ProcStat &st)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    auto open = text.find('('), close = text.rfind(')');  // the name may hold blanks and parentheses
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    st.name = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 1));
    return static_cast<bool>(rest >> st.state >> st.ppid >> st.pgrp >> st.session);
}

std::vector<pid_t> all_pids()
{
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    if (!d)
        return pids;
    while (dirent *e = readdir(d)) {
        char *end;
        long v = std::strtol(e->d_name, &end, 10);
        if (*end == '\0' && v > 0)
            pids.push_back(static_cast<pid_t>(v));
    }
    closedir(d);
    return pids;
}

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
}

}  // namespace

std::string Result::describe() const
{
    if (timed_out)
        return "timed out";
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

void prepare_process()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    // A user-mode emulator (the i386 tests on a host without 32-bit support)
    // may refuse this; orphans then go to init as usual.
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);
}

std::string bin(std::string_view name) { return std::string(TOOLS_BIN_DIR "/") += name; }
std::string helper(std::string_view name) { return std::string(TOOLS_HELPER_DIR "/") += name; }

std::string visible(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::vector<int> open_fds(pid_t pid)
{
    std::string dir = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
    std::vector<int> fds;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return fds;
    int own = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = std::atoi(e->d_name);
        if (pid || fd != own)
            fds.push_back(fd);
    }
    closedir(d);
    return fds;
}

bool under_emulator()
{
#if defined(__i386__)
    std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string state;
    return std::getline(entry, state) && state == "enabled";
#else
    return false;
#endif
}

bool sanitizer_runtime() { return dlsym(RTLD_DEFAULT, "__lsan_do_leak_check") != nullptr; }

bool alive(pid_t pid)
{
    ProcStat st;
    return read_stat(pid, st) && st.state != 'Z' && st.state != 'X';
}

char state_of(pid_t pid)
{
    ProcStat st;
    return read_stat(pid, st) ? st.state : 0;
}

bool signal_pending(pid_t pid, int signum)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    unsigned long long bit = 1ULL << (signum - 1);
    while (std::getline(status, line))
        if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:"))
            if (std::stoull(line.substr(7), nullptr, 16) & bit)
                return true;
    return false;
}

std::string name_of(pid_t pid)
{
    ProcStat st;
    return read_stat(pid, st) ? st.name : "";
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> kids;
    for (pid_t kid; list >> kid;)
        kids.push_back(kid);
    return kids;
}

bool eventually(const std::function<bool()> &ready, milliseconds limit)
{
    Deadline deadline(limit);
    while (!ready()) {
        if (deadline.passed())
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// x86-64's read and write are system calls 0 and 1, i386's 3 and 4; an
// emulated i386 program shows the host's.
bool blocked_in(pid_t pid, bool writing)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string call, fd;
    return in >> call >> fd && (call == (writing ? "1" : "0") || call == (writing ? "4" : "3")) &&
           fd == (writing ? "0x1" : "0x0");
}

std::vector<pid_t> child_pids()
{
    std::vector<pid_t> kids;
    pid_t self = getpid();
    for (pid_t p : all_pids()) {
        ProcStat st;
        if (read_stat(p, st) && st.ppid == self)
            kids.push_back(p);
    }
    return kids;
}

void kill_and_reap(pid_t id, bool session, milliseconds limit)
{
    pid_t self = getpid();
    Deadline deadline(limit);
    for (;;) {
        // Scanning /proc is slow on a busy machine; an empty group needs none.
        if (!session && kill(-id, 0) == -1 && errno == ESRCH)
            return;
        bool left = false;
        for (pid_t p : all_pids()) {
            ProcStat st;
            if (!read_stat(p, st) || (session ? st.session : st.pgrp) != id || p == self)
                continue;
            if (st.state != 'Z') {
                kill(p, SIGKILL);
                left = true;
            } else if (st.ppid == self) {
                waitpid(p, nullptr, WNOHANG);
                left = true;
            }  // a zombie of another parent is that parent's to reap
        }
        if (!left || deadline.passed())
            return;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

std::string survivors(pid_t id, bool session)
{
    Deadline deadline(milliseconds(2000));
    for (;;) {
        std::string left;
        bool running = false;
        for (pid_t p : all_pids()) {
            ProcStat st;
            if (!read_stat(p, st) || (session ? st.session : st.pgrp) != id || st.state == 'Z' ||
                st.state == 'X')
                continue;
            // A stopped process does not end by itself; one held by a tracer
            // does (LeakSanitizer holds a program so while it looks for leaks
            // at its exit).
            running = running || st.state != 'T';
            left += std::to_string(p) + " " + st.state + " (" + st.name + ")\n";
        }
        if (!running || deadline.passed())
            return left;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

ExecPlan make_plan(const std::string &program, const Options &opts)
{
    ExecPlan plan;
    plan.path = program;
    plan.cwd = opts.cwd;
    plan.argv_store.push_back(opts.argv0.empty() ? program : opts.argv0);
    plan.argv_store.insert(plan.argv_store.end(), opts.args.begin(), opts.args.end());

    auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> added;
    const char *inherited = std::getenv("ASAN_OPTIONS");
    std::string asan = inherited ? inherited : "";
    for (const auto &e : opts.env) {
        if (!opts.fault.empty() && name_of(e) == "ASAN_OPTIONS")
            asan = e.substr(e.find('=') + 1);
        else
            added.push_back(e);
    }
    // The fault library comes before the sanitizers' runtime, which must be
    // told not to refuse to start for that.
    if (!opts.fault.empty())
        added.insert(added.end(), {"LD_PRELOAD=" + helper("libfault.so"), "FAULT=" + opts.fault,
                                   "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"});
    auto dropped = [&](std::string_view entry) {
        for (const auto &u : opts.unset)
            if (name_of(entry) == u)
                return true;
        for (const auto &e : added)
            if (name_of(entry) == name_of(e))
                return true;
        return false;
    };
    if (!opts.clean_env)
        for (char **e = environ; *e; ++e)
            if (!dropped(*e))
                plan.envp_store.emplace_back(*e);
    plan.envp_store.insert(plan.envp_store.end(), added.begin(), added.end());

    for (auto &s : plan.argv_store)
        plan.argv.push_back(s.data());
    plan.argv.push_back(nullptr);
    for (auto &s : plan.envp_store)
        plan.envp.push_back(s.data());
    plan.envp.push_back(nullptr);
    return plan;
}

void exec_plan(const ExecPlan &plan)
{
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    // Only async-signal-safe calls from here on: the test may run threads.
    auto say = [](const std::string &what) {
        const char *why = strerrordesc_np(errno);
        (void)!::write(2, what.data(), what.size());
        (void)!::write(2, ": ", 2);
        (void)!::write(2, why, std::strlen(why));
        (void)!::write(2, "\n", 1);
    };
    if (!plan.cwd.empty() && chdir(plan.cwd.c_str()) != 0) {
        say(plan.cwd);
        _exit(126);
    }
    execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
    say(plan.path);
    _exit(127);
}

namespace {

std::string read_all(int fd)
{
    std::string all;
    char buf[65536];
    off_t at = 0;
    for (;;) {
        ssize_t got = pread(fd, buf, sizeof buf, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return all;
        all.append(buf, static_cast<size_t>(got));
        at += got;
    }
}

}  // namespace

Process::Process(const std::string &program, const Options &opts)
    : input_(opts.input), keep_input_open_(opts.input_open), timeout_(opts.timeout)
{
    prepare_process();
    ExecPlan plan = make_plan(program, opts);

    int in[2];
    if (pipe2(in, O_CLOEXEC))
        fail("pipe2");
    out_ = memfd_create("stdout", MFD_CLOEXEC);
    err_ = memfd_create("stderr", MFD_CLOEXEC);
    if (out_ < 0 || err_ < 0)
        fail("memfd_create");
    // Appending: a memory file's offset is not serialised between writers
    // the way a disk file's is, so processes writing at the same time (the
    // children of a scheduler that has let them all go) would overwrite
    // each other's lines.
    if (fcntl(out_, F_SETFL, O_APPEND) < 0 || fcntl(err_, F_SETFL, O_APPEND) < 0)
        fail("fcntl");

    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out_, 1);
        dup2(err_, 2);
        exec_plan(plan);
    }
    setpgid(pid_, pid_);  // also here, so the group exists before any kill below
    close(in[0]);
    in_ = in[1];
    exit_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0U));  // readable once it ends
    if (exit_ < 0)
        fail("pidfd_open");
    set_nonblocking(in_);
    feed(false);
}

Process::~Process()
{
    if (!reaped_)
        wait(milliseconds(0));
    for (int fd : {in_, out_, err_, exit_})
        if (fd >= 0)
            close(fd);
}

bool Process::signal(int sig) const { return !reaped_ && kill(pid_, sig) == 0; }

void Process::send(std::string_view bytes)
{
    input_.append(bytes);
    feed(true);
}

void Process::close_input()
{
    keep_input_open_ = false;
    feed(true);
}

// Writes pending input; closes the pipe once everything is sent unless the
// test keeps it open. With `block` it waits (boundedly) for the program to read.
void Process::feed(bool block)
{
    Deadline deadline(timeout_);
    while (in_ >= 0 && sent_ < input_.size()) {
        ssize_t w = ::write(in_, input_.data() + sent_, input_.size() - sent_);
        if (w > 0) {
            sent_ += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            if (!block || deadline.passed())
                return;
            pollfd p{in_, POLLOUT, 0};
            poll(&p, 1, 10);
            continue;
        }
        sent_ = input_.size();  // the program closed its input: drop the rest
    }
    if (in_ >= 0 && sent_ == input_.size() && !keep_input_open_) {
        close(in_);
        in_ = -1;
    }
}

std::string Process::out() const { return read_all(out_); }
std::string Process::err() const { return read_all(err_); }

Result Process::wait() { return wait(timeout_); }

Result Process::wait(milliseconds timeout)
{
    if (reaped_)
        return result_;
    Deadline deadline(timeout);
    bool ended = false;
    while (!ended) {
        pollfd fds[2] = {{exit_, POLLIN, 0}, {in_, POLLOUT, 0}};
        nfds_t n = in_ >= 0 && sent_ < input_.size() ? 2 : 1;
        int ready = poll(fds, n, deadline.poll_ms());
        if (ready < 0 && errno != EINTR)
            fail("poll");
        if (n == 2 && fds[1].revents)
            feed(false);
        if (fds[0].revents)
            ended = true;
        else if (deadline.passed())
            break;
    }
    // The zombie keeps its process group id reserved until it is reaped, so
    // the leftovers in that group can be told and killed without hitting a
    // stranger.
    result_.timed_out = !ended;
    if (ended)
        result_.left = survivors(pid_, false);
    kill(-pid_, SIGKILL);
    while (waitpid(pid_, &result_.status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    kill_and_reap(pid_, false);
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    result_.out = out();
    result_.err = err();
    return result_;
}

Result run(const std::string &program, const Options &opts)
{
    Process p(program, opts);
    return p.wait();
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tools-test.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        fail("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave entries without permissions; give them back first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            chmod(it->path().c_str(), 0700);
    chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

void TempDir::write(std::string_view name, std::string_view contents, mode_t mode) const
{
    std::string p = file(name);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        fail("open " + p);
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t w = ::write(fd, contents.data() + done, contents.size() - done);
        if (w < 0 && errno != EINTR)
            fail("write " + p);
        if (w > 0)
            done += static_cast<size_t>(w);
    }
    close(fd);
    chmod(p.c_str(), mode);
}

std::string TempDir::read(std::string_view name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace ts
