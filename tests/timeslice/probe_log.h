// SPDX-License-Identifier: ISC
// Reading what the probe children wrote: their run segments, put in time
// order, tell who ran when.
#pragma once

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace probe_log {

struct Segment {
    std::string name;
    long long start = 0, end = 0;  // CLOCK_MONOTONIC nanoseconds
};

struct Log {
    std::vector<Segment> segments;           // sorted by start
    std::map<std::string, int> pids;         // from "start NAME PID"
    std::map<std::string, long long> cpu;    // from "done NAME CPU [FROM]"
    std::map<std::string, long long> cpu_from;
    std::vector<std::string> events;         // "start A", "held A", "stop A", "done A" in output order
};

inline Log parse(const std::string &out)
{
    Log log;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind, name;
        words >> kind >> name;
        if (kind == "seg") {
            Segment s{name};
            if (words >> s.start >> s.end)
                log.segments.push_back(s);
        } else if (kind == "start" || kind == "held" || kind == "stop" || kind == "done") {
            log.events.push_back(kind + " " + name);
            long long value = 0;
            if (kind == "start" && words >> value)
                log.pids[name] = static_cast<int>(value);
            else if (kind == "done" && words >> value) {
                log.cpu[name] = value;
                if (words >> value)
                    log.cpu_from[name] = value;
            }
        }
    }
    std::sort(log.segments.begin(), log.segments.end(),
              [](const Segment &a, const Segment &b) { return a.start < b.start; });
    return log;
}

// The names of the probes in the order they held the processor, one entry
// per turn: consecutive segments of one probe (a pause of its own, such as
// the kernel running something else for a while) count as one turn.
inline std::vector<std::string> turns(const Log &log)
{
    std::vector<std::string> order;
    for (const Segment &s : log.segments)
        if (order.empty() || order.back() != s.name)
            order.push_back(s.name);
    return order;
}

inline std::string joined(const std::vector<std::string> &names)
{
    std::string all;
    for (const auto &n : names)
        all += n;
    return all;
}

// The first pair of segments of two different probes that overlap in time,
// described, or "" when no two probes ever ran at once.
inline std::string overlap(const Log &log)
{
    std::map<std::string, const Segment *> latest;  // per probe, the segment ending last so far
    for (const Segment &s : log.segments) {
        for (const auto &[name, other] : latest)
            if (name != s.name && other->end >= s.start)
                return other->name + " [" + std::to_string(other->start) + ", " + std::to_string(other->end) +
                       "] overlaps " + s.name + " [" + std::to_string(s.start) + ", " + std::to_string(s.end) + "]";
        auto &mine = latest[s.name];
        if (mine == nullptr || mine->end < s.end)
            mine = &s;
    }
    return "";
}

}  // namespace probe_log
