// SPDX-License-Identifier: ISC
// A program run on a fresh pseudo-terminal, driven like a user at a keyboard:
// send keystrokes, expect text on the screen within a deadline.
#pragma once

#include <termios.h>

#include <functional>
#include <string>
#include <string_view>

#include "run.h"

namespace ts {

// Text as a terminal in its usual output mode shows it: "\n" becomes "\r\n".
std::string crlf(std::string_view text);

class Pty {
public:
    // Starts `program` as the leader of a new session whose controlling
    // terminal is the slave side (cooked mode with echo, 24x80). Uses the
    // options' args, argv0, cwd, environment and timeout; `input` is sent
    // once the program has started.
    Pty(const std::string &program, const Options &opts = {});
    // Hangs up, kills every process left in the session and reaps them.
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    pid_t pid() const { return pid_; }
    int master() const { return master_; }

    // Writes bytes as typed at the keyboard.
    void send(std::string_view bytes);
    // Sends the terminal's own interrupt, quit, suspend or end-of-file character.
    void send_intr() { send_cc(VINTR); }
    void send_quit() { send_cc(VQUIT); }
    void send_susp() { send_cc(VSUSP); }
    void send_eof() { send_cc(VEOF); }
    // Closes the terminal, as closing its window does: what runs on it is
    // hung up. Nothing more is read from it.
    void hang_up();

    // Waits until `text` appears in the output after the point reached by the
    // previous successful expect, and moves that point past it. False when
    // the deadline passes or the terminal closes first.
    bool expect(std::string_view text, milliseconds timeout = milliseconds(10000));
    // Reads for `quiet` and returns what arrived (does not move the expect point).
    std::string settle(milliseconds quiet = milliseconds(200));
    // Everything read from the terminal so far, and the part after the expect point.
    const std::string &transcript() const { return seen_; }
    std::string rest() const { return seen_.substr(mark_); }

    // The terminal's current settings, as the program set them.
    termios attrs() const;
    // Waits until `ready` holds for the terminal's settings.
    bool wait_attrs(const std::function<bool(const termios &)> &ready,
                    milliseconds timeout = milliseconds(10000));

    // Waits for the program to end while collecting its output; kills it
    // if it is still running at the deadline (reported as timed out).
    Result wait(milliseconds timeout = milliseconds(10000));

private:
    void send_cc(int index);
    bool pump(int wait_ms);  // reads what is available; false once the slave is closed
    pid_t pid_ = -1;
    int master_ = -1;
    std::string seen_;
    size_t mark_ = 0;
    bool closed_ = false, reaped_ = false;
    Result result_;
};

}  // namespace ts
