#include "common/cpu_count.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <thread>

namespace glent {

namespace {

constexpr std::size_t NO_LIMIT = std::numeric_limits<std::size_t>::max();

std::string_view trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal number made of digits only (no sign, no spaces) that fits in 63 bits.
std::optional<std::int64_t> parse_decimal(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Processors granted by `quota` microseconds of CPU time per `period`, rounded up.
std::optional<std::size_t> processors_for(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const std::int64_t whole = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<std::size_t>(whole);
}

// Splits at every `separator`: lines of a file, or fields of a line (the kernel writes its
// tables with single spaces).
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t end = text.find(separator);
    out.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

bool contains_item(std::string_view list, std::string_view item) {
  while (true) {
    const std::size_t comma = list.find(',');
    if (list.substr(0, comma) == item) return true;
    if (comma == std::string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

// mountinfo writes space, tab, newline and backslash in paths as three-digit octal escapes.
std::string unescape_octal(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1];
      const char b = s[i + 2];
      const char c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

struct CgroupMount {
  std::string root;         // the part of the hierarchy the mount shows
  std::string mount_point;  // where it is mounted
};

// The mount of the v2 hierarchy (version 2) or of the v1 hierarchy carrying the cpu
// controller (version 1).
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, int version) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::vector<std::string_view> f = split(line, ' ');
    // id parent major:minor root mount-point options [optional fields...] - type source super
    std::size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 5 || dash + 1 >= f.size()) continue;
    const std::string_view type = f[dash + 1];
    const bool match = version == 2 ? type == "cgroup2"
                                    : type == "cgroup" && dash + 3 < f.size() &&
                                          contains_item(f[dash + 3], "cpu");
    if (match) return CgroupMount{unescape_octal(f[3]), unescape_octal(f[4])};
  }
  return std::nullopt;
}

// The cgroup path of the process in the v2 hierarchy ("0::/path") or for the v1 cpu
// controller ("N:cpu,cpuacct:/path").
std::optional<std::string_view> own_cgroup(std::string_view proc_self_cgroup, int version) {
  for (std::string_view line : split(proc_self_cgroup, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    const bool match = version == 2 ? line.substr(0, first) == "0" && controllers.empty()
                                    : contains_item(controllers, "cpu");
    if (match && !path.empty() && path.front() == '/') return path;
  }
  return std::nullopt;
}

void append_directories(std::string_view proc_self_cgroup, std::string_view mountinfo,
                        int version, std::vector<CgroupCpuDirectory>& out) {
  const std::optional<std::string_view> path = own_cgroup(proc_self_cgroup, version);
  const std::optional<CgroupMount> mount = find_cgroup_mount(mountinfo, version);
  if (!path || !mount) return;
  // The mount shows the hierarchy from `root` down; the process's path is relative to the
  // hierarchy's top. Inside a container both are usually "/". A process outside the part the
  // mount shows can only read the mount point itself.
  std::string relative;
  const std::string_view root = mount->root == "/" ? std::string_view{} : mount->root;
  if (path->substr(0, root.size()) == root &&
      (path->size() == root.size() || (*path)[root.size()] == '/')) {
    relative = std::string(path->substr(root.size()));
  }
  std::string dir = mount->mount_point;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  const std::size_t top = dir.size();
  dir += relative;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  for (;;) {
    out.push_back({dir.empty() ? "/" : dir, version});
    if (dir.size() <= top) break;
    dir.resize(dir.rfind('/'));
    if (dir.size() < top) dir.resize(top);
  }
}

// The whole of a (small, virtual) file; nothing if it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
  const std::vector<std::string_view> f = split(trim(text), ' ');
  if (f.size() != 2) return std::nullopt;
  const auto quota = parse_decimal(f[0]);
  const auto period = parse_decimal(f[1]);
  if (!quota || !period) return std::nullopt;
  return processors_for(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota_text, std::string_view period_text) {
  const auto quota = parse_decimal(trim(quota_text));
  const auto period = parse_decimal(trim(period_text));
  if (!quota || !period) return std::nullopt;  // "-1" (no limit) is not a decimal here
  return processors_for(*quota, *period);
}

std::vector<CgroupCpuDirectory> cgroup_cpu_directories(std::string_view proc_self_cgroup,
                                                       std::string_view mountinfo) {
  std::vector<CgroupCpuDirectory> out;
  append_directories(proc_self_cgroup, mountinfo, 2, out);
  append_directories(proc_self_cgroup, mountinfo, 1, out);
  return out;
}

std::size_t affinity_cpu_count() noexcept {
  // Start with a mask for the configured processors (at least 1024, the size of cpu_set_t) and
  // grow it while the kernel says it is too small for its own mask.
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  std::size_t cpus = configured > 1024 ? static_cast<std::size_t>(configured) : 1024;
  for (int attempt = 0; attempt < 8; ++attempt, cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int error = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 0;
    if (error != EINVAL) return 0;
  }
  return 0;
}

std::optional<std::size_t> cgroup_cpu_limit() noexcept {
  try {
    const auto cgroup = read_file("/proc/self/cgroup");
    const auto mountinfo = read_file("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return std::nullopt;
    std::size_t limit = NO_LIMIT;
    for (const CgroupCpuDirectory& d : cgroup_cpu_directories(*cgroup, *mountinfo)) {
      std::optional<std::size_t> here;
      if (d.version == 2) {
        if (const auto text = read_file(d.path + "/cpu.max")) here = parse_cpu_max(*text);
      } else {
        const auto quota = read_file(d.path + "/cpu.cfs_quota_us");
        const auto period = read_file(d.path + "/cpu.cfs_period_us");
        if (quota && period) here = parse_cfs_quota(*quota, *period);
      }
      if (here && *here < limit) limit = *here;
    }
    if (limit == NO_LIMIT) return std::nullopt;
    return limit;
  } catch (...) {
    // Out of memory while reading a few small files: size the pool without the limit.
    return std::nullopt;
  }
}

std::size_t available_cpu_count() noexcept {
  std::size_t n = affinity_cpu_count();
  if (n == 0) n = std::thread::hardware_concurrency();
  if (const auto limit = cgroup_cpu_limit(); limit && *limit < n) n = *limit;
  return n == 0 ? 1 : n;
}

}  // namespace glent
