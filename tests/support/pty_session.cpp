// SPDX-License-Identifier: ISC
#include "pty_session.h"
#include "plumbing.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace ts {

std::string crlf(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

Pty::Pty(const std::string &program, const Options &opts)
{
    prepare_process();
    ExecPlan plan = make_plan(program, opts);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;

    std::fflush(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0)
        fail("forkpty");
    if (pid_ == 0)
        exec_plan(plan);
    if (fcntl(master_, F_SETFD, FD_CLOEXEC) < 0 ||
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) < 0)
        fail("fcntl");
    if (!opts.input.empty())
        send(opts.input);
}

Pty::~Pty()
{
    if (master_ >= 0)
        close(master_);  // hang-up for whatever still has the terminal open
    kill_and_reap(pid_, true);
    if (!reaped_)
        waitpid(pid_, nullptr, 0);
}

void Pty::send(std::string_view bytes)
{
    Deadline deadline(milliseconds(10000));
    while (!bytes.empty()) {
        ssize_t w = ::write(master_, bytes.data(), bytes.size());
        if (w > 0) {
            bytes.remove_prefix(static_cast<size_t>(w));
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (deadline.passed())
                throw std::runtime_error("pty: the program does not read its input");
            pump(10);  // a full terminal queue drains as we read the echo
        } else {
            fail("write to pty");
        }
    }
}

void Pty::hang_up()
{
    pump(0);
    close(master_);
    master_ = -1;
    closed_ = true;
}

void Pty::send_cc(int index) { send(std::string(1, static_cast<char>(attrs().c_cc[index]))); }

bool Pty::pump(int wait_ms)
{
    if (closed_)
        return false;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) < 0 && errno != EINTR)
        fail("poll");
    char buf[4096];
    for (;;) {
        ssize_t got = ::read(master_, buf, sizeof buf);
        if (got > 0) {
            seen_.append(buf, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return true;
        closed_ = true;  // EIO: every slave descriptor is closed
        return false;
    }
}

bool Pty::expect(std::string_view text, milliseconds timeout)
{
    Deadline deadline(timeout);
    for (;;) {
        auto at = seen_.find(text, mark_);
        if (at != std::string::npos) {
            mark_ = at + text.size();
            return true;
        }
        if (closed_ || deadline.passed())
            return false;
        pump(std::min(deadline.poll_ms(), 50));
    }
}

std::string Pty::settle(milliseconds quiet)
{
    size_t from = seen_.size();
    Deadline deadline(quiet);
    while (!deadline.passed() && pump(deadline.poll_ms())) {
    }
    return seen_.substr(from);
}

termios Pty::attrs() const
{
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        fail("tcgetattr");
    return t;
}

bool Pty::wait_attrs(const std::function<bool(const termios &)> &ready, milliseconds timeout)
{
    Deadline deadline(timeout);
    for (;;) {
        if (ready(attrs()))
            return true;
        if (deadline.passed())
            return false;
        pump(5);
    }
}

Result Pty::wait(milliseconds timeout)
{
    if (reaped_)
        return result_;
    Deadline deadline(timeout);
    for (;;) {
        pid_t got = waitpid(pid_, &result_.status, WNOHANG);
        if (got == pid_)
            break;
        if (got < 0 && errno != EINTR)
            fail("waitpid");
        if (deadline.passed()) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &result_.status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (!pump(10))
            std::this_thread::sleep_for(milliseconds(2));
    }
    reaped_ = true;
    // The session keeps its id while any member is left in it.
    if (!result_.timed_out)
        result_.left = survivors(pid_, true);
    pump(50);  // what was written just before the end
    result_.out = seen_;
    return result_;
}

}  // namespace ts
