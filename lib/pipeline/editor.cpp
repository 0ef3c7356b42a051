// SPDX-License-Identifier: ISC
// The line editor: readLongString's reading at a terminal. Keys are read one
// byte at a time in the terminal's non-canonical mode and the line is drawn
// by the editor, with a history of the lines entered, a search of it, and
// completion of command and file names.
//
// The terminal is in the editor's mode only while a line is edited; the
// settings it had are back before the line is returned, before the process
// stops, and before a signal ends it. The editor imitates the terminal's own
// echo wherever that suffices: plain typing sends the typed bytes and Enter
// a newline, so that a transcript of plain use is what it is without the
// editor, and escape sequences go out only for keys that need them. The line
// is taken to start after the prompt (see set_line_prompt) at the left
// margin, on a terminal that wraps lines at its width.
#include <locale.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "complete.h"
#include "editor.h"
#include "internal.h"
#include "pipeline/parser.h"

#ifndef __GLIBC__
// cppcheck-suppress preprocessorErrorDirective
#error "the editor looks into glibc's FILE (see waiting_in)"
#endif

namespace {

using pipeline_internal::Edited;
using pipeline_internal::grow;
using pipeline_internal::Typed;

constexpr int kOut = STDOUT_FILENO;
// The history keeps the latest lines only, so that a session of any length
// takes bounded memory.
constexpr size_t kHistoryMost = 1000;

constexpr int ctrl(char c) { return c & 0x1f; }
constexpr int kEsc = 0x1b, kBackspace = 0x7f;

const char *prompt_text;  // see set_line_prompt

// The lines entered, oldest first, none empty and no two in a row alike.
struct History {
    char **items;
    size_t count, cap;
};
History history;

Typed cut;  // what Ctrl-K, Ctrl-U and Ctrl-W cut last, for Ctrl-Y

// An interrupt that came after a line was entered, while its newline was
// still being written (held up by Ctrl-S): it belongs to the next prompt,
// and the next call gives it to the program before it reads.
bool owed_interrupt;

// ---------------------------------------------------------------------------
// The terminal's mode, and the signals that must not find it in the editor's.

// The terminal being edited on, shared with the signal handlers: its
// descriptor, the settings it had (given back when editing stops) and the
// editor's own. Changed only by the handlers, which hold one another off, and
// while none of them is installed.
struct Terminal {
    int fd;
    termios cooked, raw;
};
Terminal term;

volatile sig_atomic_t interrupted;     // the interrupt came
volatile sig_atomic_t echo_interrupt;  // from the key, which the terminal did not echo
volatile sig_atomic_t resized;
volatile sig_atomic_t continued;  // after a stop: the line is drawn again

// While a key is waited for: what takes the cursor to the line's end, where
// the terminal would echo its quit and suspend keys.
volatile sig_atomic_t reading;
char tail[256];
volatile sig_atomic_t tail_len;

// Signals whose default action ends the process, caught (when at their
// default) so that the terminal's settings go back first. The real-time
// signals end it too and are added at run time.
constexpr int kEndingSignals[] = {SIGHUP,  SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

struct sigaction before[NSIG];  // the program's own actions, for those caught
sigset_t caught;

termios raw_from(const termios &cooked)
{
    termios raw = cooked;
    // Only the line discipline's editing and echo go: the interrupt, quit
    // and suspend keys, flow control and output processing stay as they are.
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

bool in_force(const termios &now)
{
    return now.c_iflag == term.raw.c_iflag && now.c_oflag == term.raw.c_oflag &&
           now.c_cflag == term.raw.c_cflag && now.c_lflag == term.raw.c_lflag &&
           memcmp(now.c_cc, term.raw.c_cc, sizeof now.c_cc) == 0;
}

// Gives the terminal its settings back, but only while the editor's are on
// it: otherwise they are someone else's now (the shell's, after a stop, or
// whoever changed them meanwhile). Changing them from the background would
// stop the process with SIGTTOU unless that is held, so it is held for the
// call. Only async-signal-safe calls.
void put_back()
{
    termios now;
    if (tcgetattr(term.fd, &now) != 0 || !in_force(now))
        return;  // a terminal that is gone has nothing to put back
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    (void)sigprocmask(SIG_BLOCK, &ttou, &old);
    (void)tcsetattr(term.fd, TCSANOW, &term.cooked);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
}

// After a stop: the settings found now are the ones to give back (the user
// may have changed them meanwhile), and the editor's go on again, but only in
// the foreground; in the background the next read stops the process, and the
// shell continues it when it brings it back.
void take_terminal()
{
    termios now;
    if (tcgetpgrp(term.fd) != getpgrp() || tcgetattr(term.fd, &now) != 0)
        return;
    if (!in_force(now)) {
        term.cooked = now;
        term.raw = raw_from(now);
    }
    (void)tcsetattr(term.fd, TCSANOW, &term.raw);
}

// The terminal's echo of one of its keys: ^X for a control character.
size_t echo_of(unsigned char c, char *out)
{
    const termios &t = term.cooked;
    if (!(t.c_lflag & ECHO) || c == _POSIX_VDISABLE)
        return 0;
    if ((t.c_lflag & ECHOCTL) && (c < 0x20 || c == 0x7f) && c != '\t') {
        out[0] = '^';
        out[1] = static_cast<char>(c ^ 0x40);
        return 2;
    }
    out[0] = static_cast<char>(c);
    return 1;
}

// Echoes the key behind signal `sig` as the terminal does, which it does not
// while the editor's settings are on; only while a key is waited for, so that
// the echo cannot cut into the editor's output. From a handler.
void echo_key(int sig, const siginfo_t *info)
{
    termios now;
    char shown[2];
    if (!reading || info->si_code != SI_KERNEL || tcgetattr(term.fd, &now) != 0 || !in_force(now))
        return;
    size_t n = echo_of(term.cooked.c_cc[sig == SIGQUIT ? VQUIT : VSUSP], shown);
    (void)!write(STDOUT_FILENO, tail, static_cast<size_t>(tail_len));
    (void)!write(STDOUT_FILENO, shown, n);
}

// Lets `sig` take its default action, from inside its handler.
void act_by_default(int sig)
{
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(sig, &dfl, nullptr);
    (void)raise(sig);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    (void)sigprocmask(SIG_UNBLOCK, &one, nullptr);  // the pending signal takes effect here
}

bool set_action(int sig, void (*fn)(int, siginfo_t *, void *))
{
    struct sigaction act{};
    act.sa_sigaction = fn;
    act.sa_mask = caught;  // no handler runs inside another
    // No SA_RESTART: the read of a key must end for each of them.
    act.sa_flags = SA_SIGINFO;
    return sigaction(sig, &act, nullptr) == 0;
}

void on_interrupt(int, siginfo_t *info, void *)
{
    int saved = errno;
    // The terminal echoes the key itself unless the editor's settings are on.
    termios now;
    echo_interrupt = info->si_code == SI_KERNEL && tcgetattr(term.fd, &now) == 0 && in_force(now);
    interrupted = 1;
    errno = saved;
}

void on_resize(int, siginfo_t *, void *) { resized = 1; }

void on_ending(int sig, siginfo_t *info, void *)
{
    if (sig == SIGQUIT)
        echo_key(sig, info);
    put_back();
    act_by_default(sig);
}

void on_suspend(int sig, siginfo_t *info, void *)
{
    int saved = errno;
    echo_key(sig, info);
    put_back();
    act_by_default(sig);  // stopped in there until continued
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    (void)sigprocmask(SIG_BLOCK, &one, nullptr);
    (void)set_action(sig, on_suspend);
    // Without a shell to continue it (an orphaned process group) the kernel
    // drops the stop, and no SIGCONT follows.
    take_terminal();
    continued = 1;
    errno = saved;
}

void on_continue(int, siginfo_t *, void *)
{
    int saved = errno;
    take_terminal();
    continued = 1;
    errno = saved;
}

bool is_handler(const struct sigaction &act)
{
    return (act.sa_flags & SA_SIGINFO) || (act.sa_handler != SIG_DFL && act.sa_handler != SIG_IGN);
}

// The signals the editor may have to see while the terminal is in its mode.
sigset_t editing_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals)
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    for (int sig : {SIGINT, SIGWINCH, SIGTSTP, SIGCONT})
        sigaddset(&set, sig);
    return set;
}

// Takes those of `wanted` the editor must see: the interrupt (unless
// ignored), the window's size (unless the program follows it itself), and
// suspend, continue and the ending signals while at their default. False,
// with nothing changed, if that cannot be done.
bool catch_signals(const sigset_t &wanted)
{
    sigemptyset(&caught);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&wanted, sig) != 1 || sigaction(sig, nullptr, &before[sig]) != 0)
            continue;
        bool at_default = !is_handler(before[sig]) && before[sig].sa_handler == SIG_DFL;
        if (sig == SIGINT ? before[sig].sa_handler != SIG_IGN || is_handler(before[sig])
                          : sig == SIGWINCH ? !is_handler(before[sig]) : at_default)
            sigaddset(&caught, sig);
    }
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&caught, sig) != 1)
            continue;
        void (*fn)(int, siginfo_t *, void *) = sig == SIGINT     ? on_interrupt
                                               : sig == SIGWINCH ? on_resize
                                               : sig == SIGTSTP  ? on_suspend
                                               : sig == SIGCONT  ? on_continue
                                                                 : on_ending;
        if (!set_action(sig, fn)) {
            for (int back = 1; back < sig; ++back)
                if (sigismember(&caught, back) == 1)
                    (void)sigaction(back, &before[back], nullptr);
            return false;
        }
    }
    return true;
}

void release_signals()
{
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&caught, sig) == 1)
            (void)sigaction(sig, &before[sig], nullptr);
}

// ---------------------------------------------------------------------------
// Characters: UTF-8, and the columns each takes.

// The columns a character takes, as the C library's UTF-8 tables have them
// in whatever locale the program runs: the editor reads UTF-8 always. A
// character they do not know (unassigned, or no tables installed) takes one.
int columns(char32_t c)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (c < 0x80 || utf8 == nullptr)
        return 1;
    locale_t was = uselocale(utf8);
    int w = wcwidth(static_cast<wchar_t>(c));
    uselocale(was);
    return w < 0 ? 1 : w;
}

// The character that starts at `s` (`n` bytes there) and its length, or 0
// when those bytes are no valid UTF-8.
size_t decode(const unsigned char *s, size_t n, char32_t *c)
{
    size_t len;
    char32_t least;
    if (s[0] < 0x80) {
        *c = s[0];
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        len = 2, *c = s[0] & 0x1F, least = 0x80;
    } else if ((s[0] & 0xF0) == 0xE0) {
        len = 3, *c = s[0] & 0x0F, least = 0x800;
    } else if ((s[0] & 0xF8) == 0xF0) {
        len = 4, *c = s[0] & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        *c = *c << 6 | (s[i] & 0x3F);
    }
    return *c < least || *c > 0x10FFFF || (*c >= 0xD800 && *c <= 0xDFFF) ? 0 : len;
}

// What the cursor moves over and a deletion takes as one: a character with
// the marks drawn on it, a control character (shown as ^X in two cells that
// may wrap apart), or a byte that is no UTF-8, kept as typed and taken to
// show in one column.
struct Glyph {
    size_t len;
    int width;
    bool caret;
};

Glyph glyph_at(const char *text, size_t len, size_t at)
{
    auto s = reinterpret_cast<const unsigned char *>(text);
    if (s[at] < 0x20 || s[at] == kBackspace)
        return {1, 2, true};
    char32_t c;
    size_t n = decode(s + at, len - at, &c);
    if (n == 0)
        return {1, 1, false};
    Glyph g{n, columns(c), false};
    while (at + g.len < len && s[at + g.len] >= 0x80 && (n = decode(s + at + g.len, len - at - g.len, &c)) &&
           columns(c) == 0)
        g.len += n;
    return g;
}

// Columns of the last line of `label` as the terminal shows it: escape
// sequences and control characters take none.
int label_width(const char *label, size_t len)
{
    int w = 0;
    for (size_t at = 0; at < len;) {
        auto b = static_cast<unsigned char>(label[at]);
        if (b == '\n' || b == '\r') {
            w = 0, ++at;
        } else if (b == kEsc && at + 1 < len && label[at + 1] == '[') {
            for (at += 2; at < len && (label[at] < 0x40 || label[at] > 0x7e); ++at) {
            }
            ++at;
        } else if (b < 0x20 || b == kBackspace) {
            ++at;
        } else {
            Glyph g = glyph_at(label, len, at);
            w += g.width, at += g.len;
        }
    }
    return w;
}

// ---------------------------------------------------------------------------
// The screen.

struct Out {
    int fd;
    size_t len;
    char buf[2048];
};

void flush(Out *o)
{
    for (size_t done = 0; done < o->len;) {
        ssize_t w = write(o->fd, o->buf + done, o->len - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (w < 0 && (errno == EINTR || (errno == EAGAIN && pipeline_internal::make_blocking(o->fd))))
            continue;
        else
            break;  // a terminal that is gone: its next read tells
    }
    o->len = 0;
}

void put(Out *o, const char *s, size_t n)
{
    while (n > 0) {
        if (o->len == sizeof o->buf)
            flush(o);
        size_t part = std::min(n, sizeof o->buf - o->len);
        memcpy(o->buf + o->len, s, part);
        o->len += part, s += part, n -= part;
    }
}

void put(Out *o, const char *s) { put(o, s, strlen(s)); }

// To the start of the next line, in the bytes the terminal's echo of a
// newline gives.
void put_newline(Out *o)
{
    bool translated = (term.cooked.c_oflag & (OPOST | ONLCR)) == (OPOST | ONLCR);
    put(o, translated ? "\n" : "\r\n");
}

// A control sequence with a count: cursor up, down, forward and back.
void put_csi(Out *o, int count, char what)
{
    char seq[24];
    put(o, seq, static_cast<size_t>(snprintf(seq, sizeof seq, "\x1b[%d%c", count, what)));
}

// A place on the screen, counted from where the label's last line starts.
// A column equal to the width is the cursor's place after the last column
// is written: it stays in that column until the next character wraps.
struct Pos {
    int row, col;
};

struct Editor {
    int in;
    Out out;
    int cols;
    Typed line;
    size_t point;  // the cursor, in bytes
    // The label before the line (the prompt, or the search's), and the
    // columns its last line takes.
    const char *label;
    size_t label_len;
    int width;
    Pos cursor;  // where the terminal's cursor is
    int last;    // the key before this one
    bool cutting;
    size_t recalled;  // the history entry shown; its count for the line being typed
    Typed fresh;      // the line being typed, while an older one is shown
    // Searching the history: what is looked for, and the line before.
    bool searching, failing;
    Typed query, before_search, search_label;
    size_t found;
    size_t queued;  // bytes still to read of those waiting when editing began
    int pushed;     // the byte after a broken character, to read again
};

// Steps from `p` over a cell `w` columns wide; one that does not fit on the
// row goes to the next, as the terminal puts it.
void advance(Pos *p, int w, int cols)
{
    if (p->col + w > cols)
        *p = {p->row + 1, 0};
    p->col += w;
}

Pos text_start(const Editor *e)
{
    Pos p{e->width / e->cols, e->width % e->cols};
    if (e->width > 0 && p.col == 0)
        p = {p.row - 1, e->cols};
    return p;
}

// Where the cursor is after the line's first `to` bytes are drawn.
Pos after(const Editor *e, size_t to)
{
    Pos p = text_start(e);
    for (size_t at = 0; at < to;) {
        Glyph g = glyph_at(e->line.text, e->line.len, at);
        if (g.caret)
            advance(&p, 1, e->cols);
        advance(&p, g.caret ? 1 : g.width, e->cols);
        at += g.len;
    }
    return p;
}

// The cell of the glyph at `at` (or the end): where the cursor stands on it.
Pos spot(const Editor *e, size_t at)
{
    Pos p = after(e, at);
    int w = 0;  // at the end, nothing to fit but the cursor
    if (at < e->line.len) {
        Glyph g = glyph_at(e->line.text, e->line.len, at);
        w = g.caret ? 1 : g.width;
    }
    if (p.col + w > e->cols || p.col >= e->cols)
        p = {p.row + 1, 0};
    return p;
}

void move_to(Editor *e, Pos t)
{
    Pos &c = e->cursor;
    if (c.col >= e->cols) {
        put(&e->out, "\r");
        c.col = 0;
    }
    if (t.row < c.row)
        put_csi(&e->out, c.row - t.row, 'A');
    // Down by newlines, which make the row where the screen ends.
    for (; c.row < t.row; ++c.row, c.col = 0)
        put_newline(&e->out);
    if (t.col == 0 && c.col != 0)
        put(&e->out, "\r");
    else if (t.col < c.col)
        put_csi(&e->out, c.col - t.col, 'D');
    else if (t.col > c.col)
        put_csi(&e->out, t.col - c.col, 'C');
    c = t;
}

// Writes the line's bytes from `from` to `to` where the cursor is, which must
// be where they go.
void draw(Editor *e, size_t from, size_t to)
{
    for (size_t at = from; at < to;) {
        Glyph g = glyph_at(e->line.text, e->line.len, at);
        if (g.caret) {
            char shown[2] = {'^', static_cast<char>(e->line.text[at] ^ 0x40)};
            put(&e->out, shown, 2);
            advance(&e->cursor, 1, e->cols);
            advance(&e->cursor, 1, e->cols);
        } else {
            put(&e->out, e->line.text + at, g.len);
            advance(&e->cursor, g.width, e->cols);
        }
        at += g.len;
    }
}

void place_cursor(Editor *e)
{
    if (e->point < e->line.len)
        move_to(e, spot(e, e->point));
}

// Draws the line again from byte `from` on, over what was there.
void refresh(Editor *e, size_t from)
{
    Pos p = after(e, from);
    if (p.col >= e->cols)
        p = {p.row + 1, 0};
    move_to(e, p);
    put(&e->out, "\x1b[J");
    draw(e, from, e->line.len);
    place_cursor(e);
}

// Draws the label's last line and the line over the old ones.
void redraw(Editor *e)
{
    move_to(e, {0, 0});
    put(&e->out, "\x1b[J");
    const char *last = e->label + e->label_len;
    while (last > e->label && last[-1] != '\n' && last[-1] != '\r')
        --last;
    put(&e->out, last, static_cast<size_t>(e->label + e->label_len - last));
    e->cursor = text_start(e);
    draw(e, 0, e->line.len);
    place_cursor(e);
}

// Draws the whole label and the line at the start of a row, as after a
// stop, a cleared screen or a list.
void draw_afresh(Editor *e)
{
    put(&e->out, e->label, e->label_len);
    e->cursor = text_start(e);
    draw(e, 0, e->line.len);
    place_cursor(e);
}

// Puts the cursor after the line's end as typing there would have, so that
// what follows (a newline, ^C) shows where the terminal's echo would put it.
void move_to_end(Editor *e)
{
    if (e->point == e->line.len)
        return;
    e->point = e->line.len;
    Pos end = after(e, e->line.len);
    if (end.col < e->cols) {
        move_to(e, end);
        return;
    }
    // Only writing the last glyph again leaves the cursor waiting to wrap.
    size_t last = 0;
    for (size_t at = 0; at < e->line.len; at += glyph_at(e->line.text, e->line.len, at).len)
        last = at;
    move_to(e, spot(e, last));
    draw(e, last, e->line.len);
}

int terminal_width()
{
    winsize ws{};
    return ioctl(kOut, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

// The terminal reflows the lines it shows for its new width, as most do:
// the cursor is where the line's layout for that width puts it.
void follow_resize(Editor *e)
{
    int cols = terminal_width();
    if (cols == e->cols)
        return;
    e->cols = cols;
    e->cursor = e->point < e->line.len ? spot(e, e->point) : after(e, e->line.len);
    redraw(e);
}

// What moves the cursor to the line's end, for echo_key.
void prepare_tail(const Editor *e)
{
    tail_len = 0;
    if (e->point == e->line.len)
        return;
    Editor scratch = *e;
    scratch.out.len = 0;
    move_to_end(&scratch);
    if (scratch.out.len <= sizeof tail) {
        memcpy(tail, scratch.out.buf, scratch.out.len);
        tail_len = static_cast<sig_atomic_t>(scratch.out.len);
    }
}

// ---------------------------------------------------------------------------
// Input.

// Bytes waiting at the terminal; in its own mode, those of whole lines only.
size_t waiting_at(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

// Bytes left waiting at the terminal when the last line was entered: typed
// or pasted after it while the editor read it, so not echoed yet.
struct Carried {
    int fd;
    size_t bytes;
};
Carried carried;

// A byte read, or why none was: the interrupt key, another signal that
// interrupted the read, the end of input, or a read error. At the end of a
// line, `entered` is Enter.
enum class Got { byte, entered, interrupt, other_signal, end, failed };

Got read_byte(Editor *e, unsigned char *b)
{
    if (e->pushed >= 0) {
        *b = static_cast<unsigned char>(e->pushed);
        e->pushed = -1;
        return Got::byte;
    }
    for (;;) {
        // From the last write on, the quit and suspend keys echo for
        // themselves (a signal comes between system calls, not within one).
        prepare_tail(e);
        reading = 1;
        flush(&e->out);
        // What came while the output was written is seen to before a key
        // is waited for. After a stop the line is drawn again once back in
        // the foreground; in the background the read stops the process
        // until then.
        bool resumed = continued && tcgetpgrp(e->in) == getpgrp();
        ssize_t n = interrupted || resized || resumed ? -1 : read(e->in, b, 1);
        reading = 0;
        if (n == 1) {
            e->queued -= e->queued > 0;
            return Got::byte;
        }
        if (interrupted)
            return Got::interrupt;
        if (resized) {
            resized = 0;
            follow_resize(e);
            continue;
        }
        if (resumed) {
            continued = 0;
            put(&e->out, "\r");
            draw_afresh(e);
            continue;
        }
        if (n == 0)
            return Got::end;  // the terminal has gone
        if (errno == EINTR && continued)
            continue;
        if (errno == EINTR)
            return Got::other_signal;
        if (errno == EAGAIN && pipeline_internal::make_blocking(e->in))
            continue;
        return Got::failed;
    }
}

// Keys beyond the bytes: cursor keys and the like, a character of text, and
// the null byte the terminal's end-of-file key left in its queue while it was
// in its own mode.
enum : int {
    kText = 256, kLeft, kRight, kUp, kDown, kHome, kEnd, kDelete, kWordLeft, kWordRight, kEndMark, kNone
};

struct Key {
    int code;  // a control character, or one of the above
    size_t len;
    char text[4];  // with kText: the character, or a byte that is none
};

int csi_key(const char *params, unsigned char final)
{
    // "1;5" and the like: a modifier, with Alt or Ctrl a move by words.
    const char *semi = strchr(params, ';');
    bool by_word = semi && ((strtol(semi + 1, nullptr, 10) - 1) & 6);
    switch (final) {
    case 'A':
        return kUp;
    case 'B':
        return kDown;
    case 'C':
        return by_word ? kWordRight : kRight;
    case 'D':
        return by_word ? kWordLeft : kLeft;
    case 'H':
        return kHome;
    case 'F':
        return kEnd;
    case '~':
        switch (strtol(params, nullptr, 10)) {
        case 1:
        case 7:
            return kHome;
        case 4:
        case 8:
            return kEnd;
        case 3:
            return kDelete;
        }
    }
    return kNone;
}

Got read_escape(Editor *e, Key *k)
{
    unsigned char b;
    Got got = read_byte(e, &b);
    if (got != Got::byte)
        return got;
    k->code = b == 'b' ? kWordLeft : b == 'f' ? kWordRight : kNone;
    if (b == 'O') {
        if ((got = read_byte(e, &b)) != Got::byte)
            return got;
        char none[1] = {'\0'};
        k->code = csi_key(none, b);
    } else if (b == '[') {
        char params[16];
        size_t n = 0;
        while ((got = read_byte(e, &b)) == Got::byte && (b < 0x40 || b > 0x7e))
            if (n < sizeof params - 1)
                params[n++] = static_cast<char>(b);
        params[n] = '\0';
        if (got != Got::byte)
            return got;
        k->code = csi_key(params, b);
    }
    return Got::byte;
}

// The terminal's own erase, kill, word-erase and end-of-file characters do
// what the editor's keys for them do.
int as_editor_key(unsigned char b)
{
    const cc_t *cc = term.cooked.c_cc;
    if (b == _POSIX_VDISABLE)
        return b;
    return b == cc[VERASE]    ? kBackspace
           : b == cc[VKILL]   ? ctrl('U')
           : b == cc[VWERASE] ? ctrl('W')
           : b == cc[VEOF]    ? ctrl('D')
                              : b;
}

Got read_key(Editor *e, Key *k)
{
    unsigned char b;
    bool queued = e->queued > 0;
    Got got = read_byte(e, &b);
    if (got != Got::byte)
        return got;
    if (b == kEsc)
        return read_escape(e, k);
    if (b == '\0' && queued) {
        k->code = kEndMark;
        return Got::byte;
    }
    if (b < 0x20 || b == kBackspace) {
        k->code = as_editor_key(b);
        return Got::byte;
    }
    // A character of text, or a byte of none, kept as typed: a byte that
    // cannot go on the character is the next key.
    k->code = kText;
    k->text[0] = static_cast<char>(b);
    k->len = 1;
    size_t need = b >= 0xF8 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    while (k->len < need) {
        if ((got = read_byte(e, &b)) != Got::byte)
            return got;
        if ((b & 0xC0) != 0x80) {
            e->pushed = b;
            break;
        }
        k->text[k->len++] = static_cast<char>(b);
    }
    return Got::byte;
}

// ---------------------------------------------------------------------------
// Editing.

bool make_room(Typed *t, size_t more)
{
    if (t->len + more < t->len)
        return false;
    char *text = static_cast<char *>(grow(t->text, &t->cap, t->len + more + 1, 1, 128));
    if (!text)
        return false;
    t->text = text;
    return true;
}

bool set_typed(Typed *t, const char *s, size_t n)
{
    t->len = 0;
    if (!make_room(t, n))
        return false;
    if (n > 0)
        memcpy(t->text, s, n);
    t->len = n;
    t->text[n] = '\0';
    return true;
}

size_t next_glyph(const Editor *e, size_t at)
{
    return at < e->line.len ? at + glyph_at(e->line.text, e->line.len, at).len : at;
}

size_t previous_glyph(const Editor *e, size_t at)
{
    size_t prev = 0;
    for (size_t i = 0; i < at; i = next_glyph(e, i))
        prev = i;
    return prev;
}

// Inserts `n` bytes at the cursor. At the end of the line they are simply
// written, as the terminal's echo would write them.
void insert(Editor *e, const char *s, size_t n)
{
    if (n == 0 || !make_room(&e->line, n))
        return;
    size_t at = e->point;
    memmove(e->line.text + at + n, e->line.text + at, e->line.len - at);
    memcpy(e->line.text + at, s, n);
    e->line.len += n;
    e->point += n;
    if (at + n == e->line.len)
        draw(e, at, e->line.len);
    else
        refresh(e, at);
}

void erase(Editor *e, size_t from, size_t to)
{
    if (from == to)
        return;
    memmove(e->line.text + from, e->line.text + to, e->line.len - to);
    e->line.len -= to - from;
    e->point = from;
    refresh(e, from);
}

void move_point(Editor *e, size_t to)
{
    e->point = to;
    move_to(e, spot(e, to));
}

void set_line(Editor *e, const char *s, size_t n, size_t point)
{
    if (!set_typed(&e->line, s, n))
        return;
    e->point = point;
    refresh(e, 0);
}

void backspace(Editor *e)
{
    if (e->point == 0)
        return;
    size_t from = previous_glyph(e, e->point);
    Glyph g = glyph_at(e->line.text, e->line.len, from);
    // At the end, within a row, the terminal's own erase will do.
    if (e->point == e->line.len && g.width == 1 && !g.caret && e->cursor.col > 0 && e->cursor.col < e->cols) {
        put(&e->out, "\b \b");
        e->cursor.col--;
        e->line.len = e->point = from;
        return;
    }
    erase(e, from, e->point);
}

void cut_out(Editor *e, size_t from, size_t to, bool ahead)
{
    if (from == to)
        return;
    size_t n = to - from;
    if (!e->cutting)
        cut.len = 0;
    if (!make_room(&cut, n))
        return;
    // Cuts in a row gather: backwards ones go before, forward ones after.
    if (!ahead)
        memmove(cut.text + n, cut.text, cut.len);
    memcpy(cut.text + (ahead ? cut.len : 0), e->line.text + from, n);
    cut.len += n;
    erase(e, from, to);
}

bool word_part(const Editor *e, size_t at)
{
    auto b = static_cast<unsigned char>(e->line.text[at]);
    return b >= 0x80 || b == '_' || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

bool blank(const Editor *e, size_t at) { return e->line.text[at] == ' ' || e->line.text[at] == '\t'; }

size_t word_left(const Editor *e, size_t at, bool (*part)(const Editor *, size_t))
{
    while (at > 0 && !part(e, previous_glyph(e, at)))
        at = previous_glyph(e, at);
    while (at > 0 && part(e, previous_glyph(e, at)))
        at = previous_glyph(e, at);
    return at;
}

size_t word_right(const Editor *e, size_t at)
{
    while (at < e->line.len && !word_part(e, at))
        at = next_glyph(e, at);
    while (at < e->line.len && word_part(e, at))
        at = next_glyph(e, at);
    return at;
}

bool not_blank(const Editor *e, size_t at) { return !blank(e, at); }

void reverse(char *a, char *b)
{
    while (a < b) {
        char c = *a;
        *a++ = *--b;
        *b = c;
    }
}

// Swaps the glyphs before and at the cursor (the last two at the end) and
// steps past them.
void transpose(Editor *e)
{
    size_t b = e->point == e->line.len ? previous_glyph(e, e->point) : e->point;
    if (b == 0)
        return;
    size_t a = previous_glyph(e, b), c = next_glyph(e, b);
    char *t = e->line.text;
    reverse(t + a, t + b);
    reverse(t + b, t + c);
    reverse(t + a, t + c);
    e->point = c;
    refresh(e, a);
}

// ---------------------------------------------------------------------------
// History.

bool all_blank(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (s[i] != ' ' && s[i] != '\t')
            return false;
    return true;
}

// Shows the entry `by` away from the one shown; what is being typed is kept
// aside meanwhile, and an entry's own edits are dropped on leaving it.
void recall(Editor *e, int by)
{
    size_t to = e->recalled + static_cast<size_t>(by);
    if ((by < 0 && e->recalled == 0) || (by > 0 && e->recalled == history.count))
        return;
    if (e->recalled == history.count && !set_typed(&e->fresh, e->line.text, e->line.len))
        return;
    e->recalled = to;
    const char *s = to == history.count ? e->fresh.text : history.items[to];
    size_t n = to == history.count ? e->fresh.len : strlen(s);
    set_line(e, s, n, n);
}

void show_search(Editor *e)
{
    Typed &l = e->search_label;
    const char *head = e->failing ? "no match [" : "search [";
    if (!set_typed(&l, head, strlen(head)) || !make_room(&l, e->query.len + 3))
        return;
    if (e->query.len > 0)
        memcpy(l.text + l.len, e->query.text, e->query.len);
    memcpy(l.text + l.len + e->query.len, "]: ", 3);
    l.len += e->query.len + 3;
    e->label = l.text;
    e->label_len = l.len;
    e->width = label_width(l.text, l.len);
    redraw(e);
}

// Looks for the query in the entries from `from` back; shows the first
// that holds it, with the cursor on it.
void search_from(Editor *e, size_t from)
{
    e->failing = e->query.len > 0;
    if (!e->failing) {
        e->found = history.count;
        if (set_typed(&e->line, e->before_search.text, e->before_search.len))
            e->point = e->line.len;
    } else {
        e->query.text[e->query.len] = '\0';
        for (size_t i = std::min(from, history.count); i-- > 0;) {
            const char *at = strstr(history.items[i], e->query.text);
            if (at) {
                e->found = i;
                e->failing = false;
                if (set_typed(&e->line, history.items[i], strlen(history.items[i])))
                    e->point = static_cast<size_t>(at - history.items[i]);
                break;
            }
        }
    }
    show_search(e);
}

void end_search(Editor *e, bool keep)
{
    if (!keep && set_typed(&e->line, e->before_search.text, e->before_search.len))
        e->point = e->line.len;
    e->searching = false;
    e->label = prompt_text ? prompt_text : "";
    e->label_len = strlen(e->label);
    e->width = label_width(e->label, e->label_len);
    redraw(e);
}

// A key while searching; false when it ends the search and is to be taken
// as an editing key.
bool search_key(Editor *e, const Key &k)
{
    if (k.code == kText && make_room(&e->query, k.len)) {
        memcpy(e->query.text + e->query.len, k.text, k.len);
        e->query.len += k.len;
        search_from(e, e->found + 1);
    } else if (k.code == ctrl('R')) {
        search_from(e, e->found);
    } else if (k.code == kBackspace || k.code == ctrl('H')) {
        while (e->query.len > 0 && (e->query.text[--e->query.len] & 0xC0) == 0x80) {
        }
        search_from(e, history.count);
    } else if (k.code == ctrl('G')) {
        end_search(e, false);
    } else {
        end_search(e, true);
        return false;
    }
    return true;
}

void start_search(Editor *e)
{
    if (!set_typed(&e->before_search, e->line.text, e->line.len))
        return;
    e->searching = true;
    e->failing = false;
    e->query.len = 0;
    e->found = history.count;
    show_search(e);
}

// ---------------------------------------------------------------------------
// Completion.

// The columns a name takes in a list, where each control character shows
// as one "?" (so an escape sequence in it is no sequence there).
int listed_width(const char *name)
{
    int w = 0;
    for (size_t at = 0, len = strlen(name); at < len;) {
        Glyph g = glyph_at(name, len, at);
        w += g.caret ? 1 : g.width;
        at += g.len;
    }
    return w;
}

void list_names(Editor *e, const pipeline_internal::Completion &c)
{
    int widest = 0;
    for (size_t i = 0; i < c.count; ++i)
        widest = std::max(widest, listed_width(c.names[i]));
    int per_row = std::max(1, e->cols / (widest + 2));
    size_t rows = (c.count + static_cast<size_t>(per_row) - 1) / static_cast<size_t>(per_row);
    move_to_end(e);
    put_newline(&e->out);
    for (size_t r = 0; r < rows; ++r) {
        for (size_t i = r; i < c.count; i += rows) {
            // A name's control characters would act on the terminal.
            for (const char *s = c.names[i]; *s; ++s)
                put(&e->out, static_cast<unsigned char>(*s) < 0x20 || *s == kBackspace ? "?" : s, 1);
            if (i + rows < c.count)
                for (int pad = listed_width(c.names[i]); pad < widest + 2; ++pad)
                    put(&e->out, " ");
        }
        put_newline(&e->out);
    }
    draw_afresh(e);
}

// Completes the word before the cursor: one name whole (a directory's with
// its slash, any other closed and followed by a blank), several as far as
// they agree, and on a second press they are listed.
void complete(Editor *e, bool list)
{
    pipeline_internal::Completion c;
    bool found = pipeline_internal::find_completions(e->line.text ? e->line.text : "", e->point, &c);
    if (!found || c.count == 0) {
        pipeline_internal::free_completions(&c);
        return;
    }
    const char *first = c.names[0], *last = c.names[c.count - 1];
    size_t same = 0;  // sorted, the first and last agree as far as all do
    while (first[same] && first[same] == last[same])
        ++same;
    while (same > c.typed && (first[same] & 0xC0) == 0x80)
        --same;  // never half a character
    char text[4 * 256 + 4];
    size_t n = same > c.typed ? pipeline_internal::quote_name(first, c.typed, same, c.quote, text) : 0;
    if (c.count == 1 && first[same - 1] != '/') {
        if (c.quote)
            text[n++] = c.quote;
        text[n++] = ' ';
    }
    if (n > 0)
        insert(e, text, n);
    else if (list)
        list_names(e, c);
    pipeline_internal::free_completions(&c);
}

// ---------------------------------------------------------------------------
// The line.

// What the bound keys do (see kBindings).
void delete_under(Editor *e) { erase(e, e->point, next_glyph(e, e->point)); }
void to_start(Editor *e) { move_point(e, 0); }
void to_end(Editor *e) { move_point(e, e->line.len); }
void back_char(Editor *e) { move_point(e, previous_glyph(e, e->point)); }
void forward_char(Editor *e) { move_point(e, next_glyph(e, e->point)); }
void back_word(Editor *e) { move_point(e, word_left(e, e->point, word_part)); }
void forward_word(Editor *e) { move_point(e, word_right(e, e->point)); }
void cut_to_end(Editor *e) { cut_out(e, e->point, e->line.len, true); }
void cut_to_start(Editor *e) { cut_out(e, 0, e->point, false); }
void cut_word(Editor *e) { cut_out(e, word_left(e, e->point, not_blank), e->point, false); }
void insert_cut(Editor *e) { insert(e, cut.text, cut.len); }
void older(Editor *e) { recall(e, -1); }
void newer(Editor *e) { recall(e, +1); }

void clear_screen(Editor *e)
{
    put(&e->out, "\x1b[H\x1b[2J");
    draw_afresh(e);
}

// A key and what it does; `cuts` for one whose cut gathers with those just
// before it (see cut_out).
struct Binding {  // NOLINT(clang-analyzer-optin.performance.Padding): in the order the table reads
    int code;
    void (*act)(Editor *);
    bool cuts = false;
};

constexpr bool kCuts = true;

// The keys that neither end the line nor need a decision; those that do
// (Enter, the end of input, Ctrl-D on an empty line, Tab) are seen to in
// edit and act_on.
constexpr Binding kBindings[] = {
    {kBackspace, backspace},         {ctrl('H'), backspace},
    {kDelete, delete_under},         {ctrl('D'), delete_under},
    {kHome, to_start},               {ctrl('A'), to_start},
    {kEnd, to_end},                  {ctrl('E'), to_end},
    {kLeft, back_char},              {ctrl('B'), back_char},
    {kRight, forward_char},          {ctrl('F'), forward_char},
    {kWordLeft, back_word},          {kWordRight, forward_word},
    {ctrl('K'), cut_to_end, kCuts},  {ctrl('U'), cut_to_start, kCuts},
    {ctrl('W'), cut_word, kCuts},    {ctrl('Y'), insert_cut},
    {ctrl('T'), transpose},          {ctrl('L'), clear_screen},
    {kUp, older},                    {ctrl('P'), older},
    {kDown, newer},                  {ctrl('N'), newer},
    {ctrl('R'), start_search},
};

const Binding *binding_of(int code)
{
    for (const Binding &b : kBindings)
        if (b.code == code)
            return &b;
    return nullptr;
}

// Tab completes, and a second in a row lists the choices; pasted text brings
// its tabs with the rest of it.
void tab(Editor *e)
{
    if (waiting_at(e->in) > 0)
        insert(e, "\t", 1);
    else
        complete(e, e->last == '\t');
}

// Does what key `k`, which does not end the line, does to it.
void act_on(Editor *e, const Key &k)
{
    bool cuts = false;
    if (k.code == kText) {
        insert(e, k.text, k.len);
    } else if (k.code == '\t') {
        tab(e);
    } else if (const Binding *b = binding_of(k.code)) {
        b->act(e);
        cuts = b->cuts;
    }
    e->cutting = cuts;
    e->last = k.code;
}

// What ended the line: Enter, or why there is no line.
Got edit(Editor *e)
{
    for (;;) {
        Key k{};
        Got got = read_key(e, &k);
        if (got != Got::byte)
            return got;
        if (e->searching && search_key(e, k))
            continue;
        if (k.code == '\n' || k.code == '\r')
            return Got::entered;
        // Ctrl-D, or the end of input, at the start of a line; within one
        // Ctrl-D deletes, and the terminal's end-of-file key only passed on
        // what was typed.
        if ((k.code == ctrl('D') || k.code == kEndMark) && e->line.len == 0)
            return Got::end;
        act_on(e, k);
    }
}

// stdio offers no way to ask whether a stream holds input it has read ahead,
// nor to set its end-of-file or error indicator; glibc's FILE answers both
// in its public layout, which its own getc and feof macros use.
size_t waiting_in(FILE *stream) { return static_cast<size_t>(stream->_IO_read_end - stream->_IO_read_ptr); }

void set_indicator(FILE *stream, int flag)
{
    flockfile(stream);
    stream->_flags |= flag;
    funlockfile(stream);
}

// Whether lines from `fd` are for the editor: the same terminal as standard
// output (where the prompt went), one that can show what the editor draws,
// in its own mode with echo, as a person types at it.
bool editable(int fd, termios *now)
{
    const char *name = getenv("TERM");
    struct stat in, out;
    return name && *name && strcmp(name, "dumb") != 0 && fstat(fd, &in) == 0 && fstat(kOut, &out) == 0 &&
           S_ISCHR(in.st_mode) && S_ISCHR(out.st_mode) && in.st_rdev == out.st_rdev && tcgetattr(fd, now) == 0 &&
           (now->c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}

// The editor's settings on; a stop on the way (SIGTTOU, from the background)
// is waited out.
bool enter_mode()
{
    int r;
    while ((r = tcsetattr(term.fd, TCSANOW, &term.raw)) != 0 && errno == EINTR) {
    }
    return r == 0;
}

// The terminal's own settings back, then the program's signal actions; what
// comes meanwhile waits for the latter.
void leave_mode()
{
    sigset_t old;
    (void)sigprocmask(SIG_BLOCK, &caught, &old);
    put_back();
    release_signals();
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
}


// Puts the terminal in the editor's mode and catches the signals it must
// see, for the terminal `fd` with its settings `now`; `*queued` is what was
// waiting there. False, with both as they were, if that cannot be done.
bool start_editing(int fd, const termios &now, size_t *queued)
{
    // What the caller printed (the prompt) goes out first.
    if (__fpending(stdout) > 0)
        (void)fflush(stdout);
    term = Terminal{fd, now, raw_from(now)};
    interrupted = 0;
    echo_interrupt = 0;
    resized = 0;
    continued = 0;
    // The editor's mode goes on first, for keys typed at once; a signal that
    // comes meanwhile waits for the handlers.
    sigset_t held = editing_signals(), old;
    (void)sigprocmask(SIG_BLOCK, &held, &old);
    bool in_mode = enter_mode();
    *queued = waiting_at(fd);
    bool ready = in_mode && catch_signals(held);
    if (in_mode && !ready)
        put_back();
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    return ready;
}

// Sets `e` to edit, on terminal `fd`, the line typed so far, which it takes
// over; `queued` bytes were waiting there.
void open_line(Editor *e, int fd, const Typed &typed, size_t queued)
{
    e->in = fd;
    e->out.fd = kOut;
    e->cols = terminal_width();
    e->line = typed;
    e->point = e->line.len;
    e->label = prompt_text ? prompt_text : "";
    e->label_len = strlen(e->label);
    e->width = label_width(e->label, e->label_len);
    e->cursor = text_start(e);
    e->recalled = history.count;
    e->queued = queued;
    e->pushed = -1;
    draw(e, 0, e->line.len);  // what a signal interrupted, after the prompt again
}

// What comes next shows after the line, as it would after the terminal's
// echo: Enter's newline, or the interrupt key's echo.
void close_line(Editor *e, Got how)
{
    move_to_end(e);
    if (how == Got::entered) {
        put(&e->out, "\n");
    } else if (how == Got::interrupt && echo_interrupt) {
        char shown[2];
        put(&e->out, shown, echo_of(term.cooked.c_cc[VINTR], shown));
    }
    flush(&e->out);
}

// Frees what the editor kept besides the line, which goes to the caller.
void free_editor(Editor *e)
{
    free(e->fresh.text);
    free(e->query.text);
    free(e->before_search.text);
    free(e->search_label.text);
}

// Gives the terminal its settings and the program its signal actions back,
// then the interrupt, if one came, to the program.
void stop_editing(Got how)
{
    carried = {term.fd, waiting_at(term.fd)};
    // One that came after the line was entered is not for this line (see
    // owed_interrupt).
    bool late = how != Got::interrupt && interrupted;
    leave_mode();
    if (late && how == Got::entered && is_handler(before[SIGINT]))
        owed_interrupt = true;
    else if (late || how == Got::interrupt)
        (void)raise(SIGINT);  // the program's own action, the terminal as it was
}

// What the caller is told of how the line ended, the stream's indicators set
// as stdio would set them; `why` is the errno of a failed read.
Edited outcome(FILE *stream, Got how, int why, Typed *typed, int *err)
{
    switch (how) {
    case Got::entered:
        if (!make_room(typed, 0))
            return Edited::no_memory;
        typed->text[typed->len] = '\0';
        pipeline_internal::remember_line(typed->text);
        return Edited::line;
    case Got::end:
        set_indicator(stream, _IO_EOF_SEEN);
        return Edited::end;
    case Got::failed:
        *err = why;
        set_indicator(stream, _IO_ERR_SEEN);
        return Edited::failed;
    case Got::byte:
    case Got::interrupt:
    case Got::other_signal:
        break;
    }
    return Edited::interrupted;
}

}  // namespace

void set_line_prompt(const char *prompt) { prompt_text = prompt; }

pipeline_internal::Edited pipeline_internal::edit_line(FILE *stream, Typed *typed, int *err)
{
    if (owed_interrupt) {
        owed_interrupt = false;
        (void)raise(SIGINT);
        return Edited::interrupted;
    }
    int fd = fileno(stream);
    termios now;
    if (fd < 0 || waiting_in(stream) > 0 || !isatty(fd) || !editable(fd, &now))
        return Edited::not_edited;
    // Whole lines typed ahead (the terminal, in its own mode, counts only
    // those) were shown as they were typed, and are read as the terminal
    // gives them. Bytes the editor left waiting were never shown.
    if (waiting_at(fd) > 0 && (carried.fd != fd || carried.bytes == 0))
        return Edited::typed_ahead;
    size_t queued;
    if (!start_editing(fd, now, &queued))
        return Edited::not_edited;
    Editor e{};
    open_line(&e, fd, *typed, queued);
    Got how = edit(&e);
    int why = errno;
    close_line(&e, how);
    free_editor(&e);
    stop_editing(how);
    if (how == Got::interrupt)
        e.line.len = 0;  // as the terminal drops the line on the key
    *typed = e.line;
    return outcome(stream, how, why, typed, err);
}

void pipeline_internal::remember_line(const char *line)
{
    // Blank lines, and one like the last, are left out.
    size_t len = strlen(line);
    if (all_blank(line, len) || (history.count > 0 && strcmp(history.items[history.count - 1], line) == 0))
        return;
    char *copy = strndup(line, len);
    if (!copy)
        return;
    if (history.count == kHistoryMost) {
        free(history.items[0]);
        memmove(history.items, history.items + 1, sizeof(char *) * --history.count);
    }
    void *items = grow(history.items, &history.cap, history.count + 1, sizeof(char *), 64);
    if (!items) {
        free(copy);
        return;
    }
    history.items = static_cast<char **>(items);
#if !defined(__clang__)
// gcc's analyser loses the copy once it is stored in the array grow() gave.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wanalyzer-malloc-leak"
#endif
    history.items[history.count++] = copy;
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}
