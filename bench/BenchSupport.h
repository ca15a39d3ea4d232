// What the control and scale benchmarks share: percentiles, resident memory, and the CPU time of the
// process's threads grouped by the names they give themselves.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace vantra_bench {

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct ThreadGroup {
    int threads = 0;
    uint64_t cpuNs = 0;  // time on a CPU since the thread started
    uint64_t runs = 0;   // times the threads were put on a CPU: a sleeping thread's wake-ups
};

// Per thread name: how many threads carry it and their CPU time so far, from /proc/self/task.
inline std::map<std::string, ThreadGroup> ThreadsByName() {
    std::map<std::string, ThreadGroup> groups;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return groups;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        uint64_t cpuNs = 0, waitNs = 0, runs = 0;
        std::ifstream comm(base + "/comm");
        std::getline(comm, name);
        std::ifstream schedstat(base + "/schedstat");
        if (name.empty() || !(schedstat >> cpuNs >> waitNs >> runs)) continue;
        ThreadGroup& group = groups[name];
        ++group.threads;
        group.cpuNs += cpuNs;
        group.runs += runs;
    }
    closedir(dir);
    return groups;
}

// What the named groups added to one of their counters between two readings; threads that ended in between
// are not counted.
inline uint64_t GrowthBetween(const std::map<std::string, ThreadGroup>& before,
                              const std::map<std::string, ThreadGroup>& after, const std::vector<std::string>& names,
                              uint64_t ThreadGroup::*counter) {
    uint64_t total = 0;
    for (const std::string& name : names) {
        auto a = after.find(name);
        auto b = before.find(name);
        if (a == after.end()) continue;
        const uint64_t start = b == before.end() ? 0 : b->second.*counter;
        if (a->second.*counter > start) total += a->second.*counter - start;
    }
    return total;
}

inline uint64_t CpuNsBetween(const std::map<std::string, ThreadGroup>& before,
                             const std::map<std::string, ThreadGroup>& after, const std::vector<std::string>& names) {
    return GrowthBetween(before, after, names, &ThreadGroup::cpuNs);
}

}  // namespace vantra_bench
