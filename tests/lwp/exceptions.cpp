// SPDX-License-Identifier: ISC
// Threads that throw, catch and rethrow exceptions between their yields and
// inside their handlers, and the caller of lwp_start doing the same around
// a run. Each thread must find its own exceptions after any yield, and no
// exception object may outlive its last user or die before it. Prints one
// line per case: its name and "ok", or what went wrong.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "lwp/lwp.h"

namespace {

std::string failures;

void expect(bool ok, const char *what)
{
    if (!ok)
        failures += std::string(failures.empty() ? "" : "; ") + what;
}

// Counts its live objects, so that an exception freed twice or never shows.
struct Tagged {
    const char *tag;
    static int alive;
    explicit Tagged(const char *t) : tag(t) { alive++; }
    Tagged(const Tagged &other) : tag(other.tag) { alive++; }
    ~Tagged() { alive--; }
};
int Tagged::alive;

void make(lwp_function body, const void *arg)
{
    if (new_lwp(body, const_cast<void *>(arg), 4096) < 0) {
        perror("new_lwp");
        exit(1);
    }
}

// `throw;` from inside a handler must find the exception that handler caught.
void expect_rethrown(const char *tag)
{
    try {
        throw;
    } catch (const Tagged &t) {
        expect(strcmp(t.tag, tag) == 0, "rethrew another thread's exception");
    }
}

int caught;

__attribute__((noinline)) void fail_at(int depth)
{
    if (depth == 0)
        throw Tagged("deep");
    fail_at(depth - 1);
}

void throws_between_yields(void *)
{
    for (int i = 0; i < 3; i++) {
        try {
            fail_at(i * 4);
        } catch (const Tagged &) {
            caught++;
        }
        lwp_yield();
    }
}

struct Pair {
    const char *outer, *inner;
};

// Yields inside two nested handlers and rethrows from each.
void rethrows_its_own(void *arg)
{
    const Pair *p = static_cast<const Pair *>(arg);
    try {
        throw Tagged(p->outer);
    } catch (const Tagged &) {
        lwp_yield();
        try {
            throw Tagged(p->inner);
        } catch (const Tagged &) {
            lwp_yield();
            expect_rethrown(p->inner);
        }
        lwp_yield();
        expect_rethrown(p->outer);
    }
}

const Pair kPairs[] = {{"a", "a2"}, {"b", "b2"}, {"c", "c2"}};

struct YieldsWhileUnwinding {
    ~YieldsWhileUnwinding()
    {
        lwp_yield();
        expect(std::uncaught_exceptions() == 1, "lost its own exception in flight");
    }
};

void unwinds_across_a_yield(void *)
{
    try {
        YieldsWhileUnwinding y;
        throw Tagged("unwinding");
    } catch (const Tagged &) {
    }
    expect(std::uncaught_exceptions() == 0, "an exception in flight after the catch");
}

void sees_none_in_flight(void *)
{
    for (int i = 0; i < 3; i++) {
        expect(std::uncaught_exceptions() == 0, "sees another thread's exception in flight");
        lwp_yield();
    }
}

std::exception_ptr kept;

// Ends inside its handler: the exception it caught must be released, unless
// something still holds it.
void ends_in_handler(void *keep)
{
    try {
        throw Tagged(keep ? "kept" : "dropped");
    } catch (const Tagged &) {
        if (keep)
            kept = std::current_exception();
        lwp_exit();
    }
}

void rethrows_kept(void *)
{
    try {
        std::rethrow_exception(kept);
    } catch (const Tagged &t) {
        expect(strcmp(t.tag, "kept") == 0, "kept exception changed");
    }
    kept = nullptr;
}

struct Case {
    const char *name;
    void (*run)();
};

const Case kCases[] = {
    {"throws_between_yields", [] {
         caught = 0;
         for (int i = 0; i < 3; i++)
             make(throws_between_yields, nullptr);
         lwp_start();
         try {
             fail_at(2);
         } catch (const Tagged &) {
             caught++;
         }
         expect(caught == 10, "not every exception caught");
     }},
    {"rethrows_after_yields_in_handlers", [] {
         for (const Pair &p : kPairs)
             make(rethrows_its_own, &p);
         lwp_start();
     }},
    {"in_flight_count_per_thread", [] {
         make(unwinds_across_a_yield, nullptr);
         make(sees_none_in_flight, nullptr);
         lwp_start();
     }},
    {"caller_of_start_keeps_its_own", [] {
         try {
             throw Tagged("caller");
         } catch (const Tagged &) {
             for (const Pair &p : kPairs)
                 make(rethrows_its_own, &p);
             lwp_start();
             expect_rethrown("caller");
         }
     }},
    {"thread_ends_inside_a_handler", [] {
         make(ends_in_handler, nullptr);
         make(ends_in_handler, &kept);
         make(rethrows_kept, nullptr);
         lwp_start();
     }},
};

}  // namespace

int main()
{
    int failed = 0;
    for (const Case &c : kCases) {
        failures.clear();
        c.run();
        expect(Tagged::alive == 0, "exception objects left alive");
        Tagged::alive = 0;
        printf("%s: %s\n", c.name, failures.empty() ? "ok" : failures.c_str());
        failed += !failures.empty();
    }
    return failed ? 1 : 0;
}
