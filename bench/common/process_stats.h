#pragma once
// What the kernel says about a process and its threads: CPU time and memory,
// read from /proc, for benches that measure programs they started or the
// threads of their own process.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace benchproc {

// CPU seconds in user space and in the kernel of the process or thread
// whose /proc stat file this is; both 0 once it is gone.
struct CpuTimes {
    double user = 0;
    double system = 0;
};

inline CpuTimes cpuTimesOfStat(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    CpuTimes times;
    const auto tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) {
            times.user = std::stod(f) / tick;
        } else if (i == 15) {
            times.system = std::stod(f) / tick;
        }
    }
    return times;
}

// CPU seconds (user + system) of the process or thread whose /proc stat file
// this is; 0 once it is gone.
inline double cpuSecondsOfStat(const std::string& statPath) {
    const CpuTimes times = cpuTimesOfStat(statPath);
    return times.user + times.system;
}

// CPU seconds (user + system) of a process so far; 0 once it is gone.
inline double cpuSeconds(pid_t pid) {
    return cpuSecondsOfStat("/proc/" + std::to_string(pid) + "/stat");
}

// CPU seconds of a process so far in user space alone; 0 once it is gone.
inline double userCpuSeconds(pid_t pid) {
    return cpuTimesOfStat("/proc/" + std::to_string(pid) + "/stat").user;
}

// CPU seconds of this process so far, all threads.
inline double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct ThreadCpu {
    std::string id;    // the thread id; the process id for the main thread
    std::string name;  // as the thread named itself ("vardo-io")
    double seconds = 0;
};

// The CPU seconds of each thread of a process ("self": this one).
inline std::vector<ThreadCpu> threadCpu(const std::string& pid) {
    std::vector<ThreadCpu> threads;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/task", ec)) {
        ThreadCpu t;
        t.id = entry.path().filename().string();
        std::ifstream comm(entry.path() / "comm");
        std::getline(comm, t.name);
        t.seconds = cpuSecondsOfStat((entry.path() / "stat").string());
        threads.push_back(std::move(t));
    }
    return threads;
}

// Times the threads of a process gave up or were taken off a CPU so far
// (voluntary and involuntary context switches, summed over the threads
// alive now): how often it was put to sleep and woken again.
inline std::uint64_t contextSwitches(pid_t pid) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(entry.path() / "status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:")) {
                total += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

// Resident memory in MiB.
inline double rssMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

}  // namespace benchproc
