#pragma once
// How many processors this process may actually compute on: its affinity mask, capped by the
// CPU bandwidth limit (quota) of its control group. A container limited to 4 CPUs on a 64-core
// host, or a process pinned to one core, then sizes its worker pool to what it can use.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glent {

// The contents of a cgroup v2 `cpu.max` file, "$QUOTA $PERIOD" in microseconds: the number of
// processors the quota amounts to, rounded up ("150000 100000" -> 2). No limit ("max ...") and
// anything unreadable give nothing.
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// The contents of the cgroup v1 files `cpu.cfs_quota_us` and `cpu.cfs_period_us`, same meaning;
// a quota of -1 means no limit.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota_text, std::string_view period_text);

// A directory holding the CPU limit files of the process's control group or of one of its
// ancestors, with the cgroup version of its files.
struct CgroupCpuDirectory {
  std::string path;
  int version;  // 1: cpu.cfs_quota_us / cpu.cfs_period_us, 2: cpu.max
};

// From the contents of /proc/self/cgroup and /proc/self/mountinfo: the directories of the
// process's own cgroup for the CPU controller (v1 `cpu`, v2 unified) and of every ancestor up
// to the mount point, innermost first. A limit set on an ancestor binds the process too.
std::vector<CgroupCpuDirectory> cgroup_cpu_directories(std::string_view proc_self_cgroup,
                                                       std::string_view mountinfo);

// Processors in the affinity mask of the calling thread (sched_getaffinity, with a mask large
// enough for any machine); 0 if it cannot be read.
std::size_t affinity_cpu_count() noexcept;

// The smallest CPU limit of the process's control groups, if any is set.
std::optional<std::size_t> cgroup_cpu_limit() noexcept;

// min(affinity_cpu_count(), cgroup_cpu_limit()), falling back to the number of logical
// processors when the affinity cannot be read; never less than 1.
std::size_t available_cpu_count() noexcept;

}  // namespace glent
