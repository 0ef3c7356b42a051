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

#include "internal.h"
#include "pipeline/parser.h"
#include "pipeline/pipeline.h"

namespace {

using pipeline_internal::line_failed;

enum class Token { word, pipe, from, to, end, fail };

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

// Says what is wrong with the line; false, for the caller to return.
bool syntax(const char *what)
{
    fprintf(stderr, "line %d: %s\n", lineno, what);
    return false;
}

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
// from the split into directories. False, after a message, when memory runs
// out.
bool add(Lexer *lx, char c, bool quoted)
{
    if (put(&lx->word, c) && (!quoted || c == '/' || put(&lx->pattern, '\\')) && put(&lx->pattern, c))
        return true;
    line_failed("malloc");
    return false;
}

// The rest of a single-quoted part, kept as it is.
bool single_quoted(Lexer *lx)
{
    for (; *lx->at != '\''; lx->at++) {
        if (*lx->at == '\0')
            return syntax("unterminated single quote");
        if (!add(lx, *lx->at, true))
            return false;
    }
    lx->at++;
    return true;
}

// The rest of a double-quoted part, where a backslash keeps only $ ` " and
// itself.
bool double_quoted(Lexer *lx)
{
    for (; *lx->at != '"'; lx->at++) {
        if (*lx->at == '\0')
            return syntax("unterminated double quote");
        if (lx->at[0] == '\\' && lx->at[1] && strchr("$`\"\\", lx->at[1]))
            lx->at++;
        if (!add(lx, *lx->at, true))
            return false;
    }
    lx->at++;
    return true;
}

// The character after a backslash outside quotes.
bool escaped(Lexer *lx)
{
    if (*lx->at == '\0')
        return syntax("backslash at end of line");
    return add(lx, *lx->at++, true);
}

bool ends_word(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '|' || c == '<' || c == '>'; }

// The word that starts at `lx->at`, quotes and all; false after a message.
bool read_word(Lexer *lx)
{
    lx->word.len = lx->pattern.len = 0;
    if (lx->word.data)
        lx->word.data[0] = '\0';
    lx->wild = false;
    while (!ends_word(*lx->at)) {
        char c = *lx->at++;
        bool ok;
        if (c == '\'')
            ok = single_quoted(lx);
        else if (c == '"')
            ok = double_quoted(lx);
        else if (c == '\\')
            ok = escaped(lx);
        else
            ok = add(lx, c, false);
        if (!ok)
            return false;
        if (c == '*' || c == '?' || c == '[')
            lx->wild = true;
    }
    return true;
}

Token next(Lexer *lx)
{
    while (*lx->at == ' ' || *lx->at == '\t')
        lx->at++;
    switch (*lx->at) {
    case '\0':
        return Token::end;
    case '|':
        lx->at++;
        return Token::pipe;
    case '<':
        lx->at++;
        return Token::from;
    case '>':
        lx->at++;
        return Token::to;
    }
    return read_word(lx) ? Token::word : Token::fail;
}

// Says that memory ran out; false, for the caller to return.
bool no_memory()
{
    line_failed("malloc");
    return false;
}

// Appends a copy of `text` to the stage's arguments, keeping argv terminated.
bool push(clstage st, size_t *cap, const char *text)
{
    if (st->argc >= INT_MAX - 1)
        return syntax("too many words");
    void *argv = pipeline_internal::grow(st->argv, cap, static_cast<size_t>(st->argc) + 2, sizeof(char *), 8);
    if (!argv)
        return no_memory();
    st->argv = static_cast<char **>(argv);
    char *copy = strdup(text);
    if (!copy)
        return no_memory();
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
    if (t == Token::fail)
        return false;
    bool in = op == Token::from;
    if (t != Token::word)
        return syntax(in ? "missing file name after <" : "missing file name after >");
    char **slot = in ? &st->inname : &st->outname;
    if (*slot)
        return syntax(in ? "more than one input redirection" : "more than one output redirection");
    if (in && pl->length > 1)
        return syntax("input redirection conflicts with the pipe");
    *slot = strdup(lx->word.data ? lx->word.data : "");
    return *slot ? true : no_memory();
}

// A pipe ends the stage before it, which must have a command and leave its
// output to the pipe.
bool end_at_pipe(pipeline pl, clstage st)
{
    if (st->argc == 0)
        return syntax("missing command before |");
    if (st->outname)
        return syntax("output redirection conflicts with the pipe");
    if (pl->length == INT_MAX)
        return syntax("too many stages");
    return true;
}

// The end of the line ends the last stage. Only a blank line may leave it
// without words, and it still gets its terminated argv.
bool end_at_line_end(pipeline pl, clstage st)
{
    if (st->argc == 0 && pl->length > 1)
        return syntax("missing command after |");
    if (st->argc == 0 && (st->inname || st->outname))
        return syntax("missing command");
    if (!st->argv)
        st->argv = static_cast<char **>(calloc(1, sizeof(char *)));
    return st->argv ? true : no_memory();
}

bool parse(Lexer *lx, pipeline pl)
{
    clstage st = add_stage(pl, nullptr);
    size_t cap = 0;  // room in st->argv
    while (st) {
        Token t = next(lx);
        switch (t) {
        case Token::fail:
            return false;
        case Token::end:
            return end_at_line_end(pl, st);
        case Token::word:
            if (!add_word(st, &cap, lx))
                return false;
            break;
        case Token::from:
        case Token::to:
            if (!redirect(lx, t, pl, st))
                return false;
            break;
        case Token::pipe:
            if (!end_at_pipe(pl, st))
                return false;
            st = add_stage(pl, st);
            cap = 0;
            break;
        }
    }
    return false;  // no memory for a stage, as add_stage said
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
