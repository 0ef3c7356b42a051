// SPDX-License-Identifier: ISC
// crack_pipeline and free_pipeline: a command line as words, quotes,
// redirections and pipes.
//
//   line     := blanks | stage { "|" stage }
//   stage    := { word | "<" word | ">" word }    (at least one word)
//
// Blanks are spaces and tabs. Single quotes keep everything up to the next
// single quote; double quotes keep everything but a backslash before $ ` " or
// a backslash; outside quotes a backslash keeps the next character. Unquoted
// words holding *, ? or [ are file name patterns. Redirection targets are
// taken as written (no patterns).
#include <glob.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "grow.h"
#include "pipeline/parser.h"
#include "pipeline/pipeline.h"
#include "report.h"

int lineno = 1;

void pipeline_internal::line_failed(const char *call)
{
    fprintf(stderr, "line %d: %s: %s\n", lineno, call, strerror(errno));
}

namespace {

using pipeline_internal::line_failed;

enum Token { WORD, PIPE, FROM, TO, END, FAIL };

// A growable text, always terminated once it holds anything.
struct Text {
    char *data;
    size_t len, cap;
};

struct Lexer {
    const char *at;
    Text word;     // the word with its quotes removed
    Text pattern;  // the same with every quoted character escaped, for glob
    bool wild;     // an unquoted *, ? or [ makes the word a pattern
};

void syntax(const char *what) { fprintf(stderr, "line %d: %s\n", lineno, what); }

bool put(Text *t, char c)
{
    char *data = static_cast<char *>(pipeline_internal::grow(t->data, &t->cap, t->len + 2, 1, 32));
    if (!data)
        return false;
    t->data = data;
    t->data[t->len++] = c;
    t->data[t->len] = '\0';
    return true;
}

// One character of the word. A quoted one is escaped in the pattern, but for
// a slash: glob never takes it as special, and escaped it would be hidden
// from the split into directories.
bool add(Lexer *lx, char c, bool quoted)
{
    if (!put(&lx->word, c))
        return false;
    if (quoted && c != '/' && !put(&lx->pattern, '\\'))
        return false;
    return put(&lx->pattern, c);
}

bool ends_word(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '|' || c == '<' || c == '>'; }

Token next(Lexer *lx)
{
    while (*lx->at == ' ' || *lx->at == '\t')
        lx->at++;
    switch (*lx->at) {
    case '\0':
        return END;
    case '|':
        lx->at++;
        return PIPE;
    case '<':
        lx->at++;
        return FROM;
    case '>':
        lx->at++;
        return TO;
    }

    lx->word.len = lx->pattern.len = 0;
    if (lx->word.data)
        lx->word.data[0] = '\0';
    lx->wild = false;
    while (!ends_word(*lx->at)) {
        char c = *lx->at++;
        if (c == '\'') {
            for (; *lx->at != '\''; lx->at++) {
                if (*lx->at == '\0') {
                    syntax("unterminated single quote");
                    return FAIL;
                }
                if (!add(lx, *lx->at, true))
                    goto no_memory;
            }
            lx->at++;
        } else if (c == '"') {
            for (; *lx->at != '"'; lx->at++) {
                if (*lx->at == '\0') {
                    syntax("unterminated double quote");
                    return FAIL;
                }
                if (lx->at[0] == '\\' && lx->at[1] && strchr("$`\"\\", lx->at[1]))
                    lx->at++;
                if (!add(lx, *lx->at, true))
                    goto no_memory;
            }
            lx->at++;
        } else if (c == '\\') {
            if (*lx->at == '\0') {
                syntax("backslash at end of line");
                return FAIL;
            }
            if (!add(lx, *lx->at++, true))
                goto no_memory;
        } else {
            if (!add(lx, c, false))
                goto no_memory;
            if (c == '*' || c == '?' || c == '[')
                lx->wild = true;
        }
    }
    return WORD;

no_memory:
    line_failed("malloc");
    return FAIL;
}

// Appends a copy of `text` to the stage's arguments, keeping argv terminated.
bool push(clstage st, size_t *cap, const char *text)
{
    if (st->argc >= INT_MAX - 1) {
        syntax("too many words");
        return false;
    }
    void *argv = pipeline_internal::grow(st->argv, cap, static_cast<size_t>(st->argc) + 2, sizeof(char *), 8);
    if (!argv) {
        line_failed("malloc");
        return false;
    }
    st->argv = static_cast<char **>(argv);
    char *copy = strdup(text);
    if (!copy) {
        line_failed("malloc");
        return false;
    }
    st->argv[st->argc++] = copy;
    st->argv[st->argc] = nullptr;
    return true;
}

// A directory that cannot be read for want of memory or descriptors ends the
// match: glob would otherwise pass it over, and a pattern whose names it
// holds would stay as written without a word. One that may not be read has
// no match, as in any directory listing.
int unreadable_directory(const char *, int err) { return err == ENOMEM || err == EMFILE || err == ENFILE; }

// The word just read, or the names its pattern matches (in glob's order);
// a pattern that matches nothing stays as written.
bool add_word(clstage st, size_t *cap, const Lexer *lx)
{
    const char *word = lx->word.data ? lx->word.data : "";
    if (!lx->wild)
        return push(st, cap, word);
    glob_t g{};
    int rc = glob(lx->pattern.data, 0, unreadable_directory, &g);
    bool ok = true;
    if (rc == 0) {
        for (size_t i = 0; ok && i < g.gl_pathc; ++i)
            ok = push(st, cap, g.gl_pathv[i]);
    } else if (rc == GLOB_NOSPACE || rc == GLOB_ABORTED) {
        // Given up on a directory, glob returns at once, errno still telling
        // why the directory could not be opened; for its own want of memory
        // it sets nothing.
        if (rc == GLOB_NOSPACE)
            errno = ENOMEM;
        line_failed("glob");
        ok = false;
    } else {
        ok = push(st, cap, word);
    }
    globfree(&g);
    return ok;
}

clstage add_stage(pipeline pl, clstage last)
{
    clstage st = static_cast<clstage>(calloc(1, sizeof *st));
    if (!st) {
        line_failed("malloc");
        return nullptr;
    }
    if (last)
        last->next = st;
    else
        pl->stage = st;
    pl->length++;
    return st;
}

bool redirect(Lexer *lx, Token op, pipeline pl, clstage st)
{
    Token t = next(lx);
    if (t == FAIL)
        return false;
    if (t != WORD) {
        syntax(op == FROM ? "missing file name after <" : "missing file name after >");
        return false;
    }
    char **slot = op == FROM ? &st->inname : &st->outname;
    if (*slot) {
        syntax(op == FROM ? "more than one input redirection" : "more than one output redirection");
        return false;
    }
    if (op == FROM && pl->length > 1) {
        syntax("input redirection conflicts with the pipe");
        return false;
    }
    *slot = strdup(lx->word.data ? lx->word.data : "");
    if (!*slot) {
        line_failed("malloc");
        return false;
    }
    return true;
}

// A stage without words still gets its terminated argv.
bool close_stage(clstage st)
{
    if (st->argv)
        return true;
    st->argv = static_cast<char **>(calloc(1, sizeof(char *)));
    if (!st->argv)
        line_failed("malloc");
    return st->argv != nullptr;
}

bool parse(Lexer *lx, pipeline pl)
{
    clstage st = add_stage(pl, nullptr);
    size_t cap = 0;
    if (!st)
        return false;
    for (;;) {
        Token t = next(lx);
        switch (t) {
        case FAIL:
            return false;
        case WORD:
            if (!add_word(st, &cap, lx))
                return false;
            break;
        case FROM:
        case TO:
            if (!redirect(lx, t, pl, st))
                return false;
            break;
        case PIPE:
            if (st->argc == 0) {
                syntax("missing command before |");
                return false;
            }
            if (st->outname) {
                syntax("output redirection conflicts with the pipe");
                return false;
            }
            if (pl->length == INT_MAX) {
                syntax("too many stages");
                return false;
            }
            st = add_stage(pl, st);
            cap = 0;
            if (!st)
                return false;
            break;
        case END:
            if (st->argc == 0 && pl->length > 1) {
                syntax("missing command after |");
                return false;
            }
            if (st->argc == 0 && (st->inname || st->outname)) {
                syntax("missing command");
                return false;
            }
            return close_stage(st);
        }
    }
}

}  // namespace

pipeline crack_pipeline(char *line)
{
    if (!line) {
        errno = EINVAL;
        return nullptr;
    }
    pipeline pl = static_cast<pipeline>(calloc(1, sizeof *pl));
    if (!pl) {
        line_failed("malloc");
        free(line);
        return nullptr;
    }
    pl->cline = line;
    Lexer lx{line, {}, {}, false};
    bool ok = parse(&lx, pl);
    free(lx.word.data);
    free(lx.pattern.data);
    if (!ok) {
        free_pipeline(pl);
        return nullptr;
    }
    return pl;
}

void free_pipeline(pipeline pl)
{
    if (!pl)
        return;
    clstage st = pl->stage;
    while (st) {
        clstage next = st->next;
        for (int i = 0; i < st->argc; ++i)
            free(st->argv[i]);
        free(st->argv);
        free(st->inname);
        free(st->outname);
        free(st);
        st = next;
    }
    free(pl->cline);
    free(pl);
}
