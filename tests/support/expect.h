// SPDX-License-Identifier: ISC
// GoogleTest checks shared by the tools' table-driven tests.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "run.h"

namespace ts {

// The run exited with `status` and wrote exactly `out` and `err`. On failure
// says how it ended and shows each stream that differs with its invisible
// bytes escaped.
inline ::testing::AssertionResult ended(const Result &r, int status, std::string_view out,
                                        std::string_view err)
{
    if (r.exited() && r.exit_code() == status && r.out == out && r.err == err)
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    if (!r.exited() || r.exit_code() != status)
        failure << "ended by " << r.describe() << ", expected exit " << status << "\n";
    if (r.out != out)
        failure << "stdout: \"" << visible(r.out) << "\"\n  want: \"" << visible(out) << "\"\n";
    if (r.err != err)
        failure << "stderr: \"" << visible(r.err) << "\"\n  want: \"" << visible(err) << "\"\n";
    return failure;
}

// A table case for a program run with arguments alone, perhaps with calls
// made to fail or its output sent to a file: how it must end.
struct ArgsCase {
    const char *name;
    std::vector<std::string> args{};
    std::string out{};
    std::string err{};
    int status;
    const char *fault = "";           // see Options::fault
    const char *stdout_to = nullptr;  // a file, opened by the shell that starts the program
};

inline void PrintTo(const ArgsCase &c, std::ostream *os) { *os << c.name; }

// Runs `program` as the case says and checks it as `ended` does, and that it
// left no process behind.
inline ::testing::AssertionResult ends_as(std::string program, const ArgsCase &c)
{
    Options o;
    o.args = c.args;
    o.fault = c.fault;
    if (c.stdout_to) {
        o.args.insert(o.args.begin(), {"-c", std::string("exec \"$0\" \"$@\" >") + c.stdout_to, program});
        program = "/bin/sh";
    }
    Result r = run(program, o);
    if (!r.left.empty())
        return ::testing::AssertionFailure() << "left behind:\n" << r.left;
    return ended(r, c.status, c.out, c.err);
}

// Names each case of a parameterized test after its `name` member.
struct CaseName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param> &info) const
    {
        return info.param.name;
    }
};

}  // namespace ts
