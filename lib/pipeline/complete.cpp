// SPDX-License-Identifier: ISC
// Completion of command and file names for the line editor. The word before
// the cursor is read with the quoting crack_pipeline understands, and what is
// added to it is quoted the same way, so that the line runs with the names
// as they are on disk.
//
// A 32-bit build reads a directory whose entries' offsets do not fit 32 bits
// (ext4's do not) only through the 64-bit interface.
#define _FILE_OFFSET_BITS 64  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's own switch

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "complete.h"
#include "internal.h"

namespace {

using pipeline_internal::Completion;
using pipeline_internal::grow;

// Where commands are looked for when PATH is not set, as the runner does.
constexpr const char *kDefaultPath = "/bin:/usr/bin";

// A growable text, terminated.
struct Text {
    char *data;
    size_t len, cap;
};

bool put(Text *t, const char *s, size_t n)
{
    char *data = static_cast<char *>(grow(t->data, &t->cap, t->len + n + 1, 1, 64));
    if (!data)
        return false;
    t->data = data;
    memcpy(t->data + t->len, s, n);
    t->len += n;
    t->data[t->len] = '\0';
    return true;
}

// The word that ends at the cursor, its quotes removed.
struct Word {
    Text text;
    char quote;    // the quote open at the cursor
    bool command;  // the first word of its stage
};

bool ends_word(char c) { return c == ' ' || c == '\t' || c == '|' || c == '<' || c == '>'; }

// How far the reading of the line has come, and what it has seen.
struct Reading {
    const char *line;
    size_t point;    // the cursor
    size_t at = 0;   // the byte read now
    char quote = 0;  // the quote open, or 0
    bool in_word = false, stage_has_command = false, redirected = false;
};

// A byte inside quotes: the quote's end, or a byte of the word.
bool quoted(Reading *r, Text *word)
{
    char c = r->line[r->at];
    if (c == r->quote) {
        r->quote = 0;
        return true;
    }
    if (r->quote == '"' && c == '\\' && r->at + 1 < r->point && strchr("$`\"\\", r->line[r->at + 1]))
        c = r->line[++r->at];
    return put(word, &c, 1);
}

// A blank, a pipe or a redirection: the end of a word, if one was read, and
// what the next word is.
void word_ends(Reading *r, char c)
{
    if (r->in_word && !r->redirected)
        r->stage_has_command = true;
    if (r->in_word)
        r->redirected = false;
    r->in_word = false;
    if (c == '|')
        r->stage_has_command = r->redirected = false;
    else if (c == '<' || c == '>')
        r->redirected = true;
}

// A byte outside quotes.
bool unquoted(Reading *r, Text *word)
{
    char c = r->line[r->at];
    if (ends_word(c)) {
        word_ends(r, c);
        return true;
    }
    if (!r->in_word) {
        r->in_word = true;
        word->len = 0;
    }
    if (c == '\'' || c == '"') {
        r->quote = c;
        return true;
    }
    if (c == '\\') {
        if (r->at + 1 == r->point)
            return true;  // the next character is not typed yet
        c = r->line[++r->at];
    }
    return put(word, &c, 1);
}

// Reads `line` up to `point` as crack_pipeline would, keeping the last word.
bool last_word(const char *line, size_t point, Word *w)
{
    Reading r{.line = line, .point = point};
    for (; r.at < point; ++r.at)
        if (!(r.quote ? quoted(&r, &w->text) : unquoted(&r, &w->text)))
            return false;
    if (!r.in_word)
        w->text.len = 0;
    w->quote = r.quote;
    w->command = !r.stage_has_command && !r.redirected;
    return put(&w->text, "", 0);
}

struct Names {
    char **items;
    size_t count, cap;
};

bool add_name(Names *n, const char *name, bool dir)
{
    char **items = static_cast<char **>(grow(n->items, &n->cap, n->count + 1, sizeof(char *), 32));
    if (!items)
        return false;
    n->items = items;
    size_t len = strlen(name);
    char *copy = static_cast<char *>(malloc(len + 2));
    if (!copy)
        return false;
    memcpy(copy, name, len);
    copy[len] = '/';
    copy[len + dir] = '\0';
    n->items[n->count++] = copy;
    return true;
}

// Adds the entries of `dir` that start with `base`: directories and other
// files, or, for `commands`, the files that may be executed. A directory
// that cannot be read has nothing to add.
bool scan(const char *dir, const char *base, bool commands, Names *n)
{
    DIR *d = opendir(*dir ? dir : ".");
    if (!d)
        return errno != ENOMEM && errno != EMFILE && errno != ENFILE;
    size_t blen = strlen(base);
    bool ok = true;
    while (dirent *ent = readdir(d)) {
        const char *name = ent->d_name;
        if (strncmp(name, base, blen) != 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (name[0] == '.' && base[0] != '.')
            continue;  // hidden unless asked for
        bool dir_entry = ent->d_type == DT_DIR;
        if (commands || ent->d_type == DT_LNK || ent->d_type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dirfd(d), name, &st, 0) != 0)
                continue;
            if (commands && (!S_ISREG(st.st_mode) || !(st.st_mode & 0111)))
                continue;
            dir_entry = S_ISDIR(st.st_mode);
        }
#if !defined(__clang__)
// gcc's analyser loses the copy once it is stored in the array grow() gave.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wanalyzer-malloc-leak"
#endif
        if (!add_name(n, name, dir_entry && !commands)) {
            ok = false;
            break;
        }
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }
    closedir(d);
    return ok;
}

int by_name(const void *a, const void *b)
{
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

bool commands_named(const char *base, Names *n)
{
    const char *path = getenv("PATH");
    if (!path)
        path = kDefaultPath;
    Text dir{};
    bool ok = true;
    for (const char *at = path; ok; ++at) {
        const char *end = strchrnul(at, ':');
        dir.len = 0;
        ok = put(&dir, at, static_cast<size_t>(end - at)) && scan(dir.data, base, true, n);
        if (!*end)
            break;
        at = end;
    }
    free(dir.data);
    return ok;
}

}  // namespace

bool pipeline_internal::find_completions(const char *line, size_t point, Completion *c)
{
    *c = Completion{};
    Word w{};
    Names n{};
    bool ok = last_word(line, point, &w);
    if (ok) {
        char *slash = strrchr(w.text.data, '/');
        const char *base = slash ? slash + 1 : w.text.data;
        c->quote = w.quote;
        c->typed = strlen(base);
        if (w.command && !slash) {
            ok = commands_named(base, &n);
        } else {
            // The directory part keeps its slash: "/" stays the root.
            Text dir{};
            ok = put(&dir, w.text.data, static_cast<size_t>(base - w.text.data)) &&
                 scan(dir.data, base, false, &n);
            free(dir.data);
        }
    }
    free(w.text.data);
    if (ok && n.count > 0) {
        qsort(n.items, n.count, sizeof *n.items, by_name);
        size_t kept = 1;
        for (size_t i = 1; i < n.count; ++i) {
            if (strcmp(n.items[i], n.items[kept - 1]) == 0)
                free(n.items[i]);
            else
                n.items[kept++] = n.items[i];
        }
        n.count = kept;
    }
    c->names = n.items;
    c->count = n.count;
    if (!ok)
        free_completions(c);
    return ok;
}

void pipeline_internal::free_completions(Completion *c)
{
    for (size_t i = 0; i < c->count; ++i)
        free(c->names[i]);
    free(c->names);
    *c = Completion{};
}

size_t pipeline_internal::quote_name(const char *name, size_t from, size_t to, char quote, char *out)
{
    size_t n = 0;
    for (size_t i = from; i < to; ++i) {
        char ch = name[i];
        if (quote == '\'' && ch == '\'') {
            memcpy(out + n, "'\\''", 4);  // close, a quoted quote, open again
            n += 4;
            continue;
        }
        bool escape = quote == '"' ? ch == '"' || ch == '\\'
                                   : !quote && (ends_word(ch) || strchr("'\"\\*?[", ch));
        if (escape)
            out[n++] = '\\';
        out[n++] = ch;
    }
    out[n] = '\0';
    return n;
}
