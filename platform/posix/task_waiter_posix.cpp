#include "platform/posix/task_waiter_posix.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/posix/spawn_posix.h"
#include "platform/posix/task_store_posix.h"

namespace platform::task_waiter {
namespace {

constexpr long kPollNanoseconds = 250'000'000;  // how soon a waiter notices its task was deleted or replaced

// Everything the waiter needs, made before fork: after it, in a process that may have other threads, only
// async-signal-safe calls are made.
struct Plan {
  std::string record_path;
  std::string expected_start;
  timespec fire{};
  std::vector<std::vector<std::string>> commands;
  std::vector<std::vector<char*>> argvs;
};

bool digits(const std::u16string& text, size_t at, size_t count, int* value) {
  *value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < u'0' || text[i] > u'9') {
      return false;
    }
    *value = *value * 10 + (text[i] - u'0');
  }
  return true;
}

int days_in_month(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool still_armed(const Plan& plan) {
  int fd = ::open(plan.record_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char buffer[128];
  size_t want = plan.expected_start.size() < sizeof buffer ? plan.expected_start.size() : sizeof buffer;
  size_t got = 0;
  while (got < want) {
    ssize_t n = ::read(fd, buffer + got, want - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return got == want && std::memcmp(buffer, plan.expected_start.data(), want) == 0;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

[[noreturn]] void run_waiter(const Plan& plan, char** envp) {
  // A scheduled task has no console and starts outside the registering program's directory.
  int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
  }
  ::close_range(3, ~0U, 0);
  if (::chdir("/") != 0) {
    ::_exit(1);
  }
  for (;;) {
    if (!still_armed(plan)) {
      ::_exit(0);
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (!before(now, plan.fire)) {
      break;
    }
    long long left = (plan.fire.tv_sec - now.tv_sec) * 1'000'000'000LL + (plan.fire.tv_nsec - now.tv_nsec);
    long long pause_ns = left < kPollNanoseconds ? left : kPollNanoseconds;
    timespec pause{static_cast<time_t>(pause_ns / 1'000'000'000LL), static_cast<long>(pause_ns % 1'000'000'000LL)};
    ::nanosleep(&pause, nullptr);
  }
  // The actions run one after the other, as the task scheduler runs them.
  for (const std::vector<char*>& argv : plan.argvs) {
    pid_t child = ::fork();
    if (child == 0) {
      ::execve(argv[0], argv.data(), envp);
      ::_exit(127);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::_exit(0);
}

bool start_waiter(Plan& plan) {
  for (std::vector<std::string>& command : plan.commands) {
    std::vector<char*>& argv = plan.argvs.emplace_back();
    for (std::string& word : command) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
  }
  char** envp = environ;
  pid_t child = ::fork();
  if (child < 0) {
    return false;
  }
  if (child == 0) {
    // Its own session, and a grandchild that nobody waits for: the waiter outlives the registering process.
    ::setsid();
    pid_t waiter = ::fork();
    if (waiter != 0) {
      ::_exit(waiter < 0 ? 1 : 0);
    }
    run_waiter(plan, envp);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool parse_boundary(const std::u16string& text, int64_t* seconds) {
  if (text.size() < 19 || text[4] != u'-' || text[7] != u'-' || text[10] != u'T' || text[13] != u':' ||
      text[16] != u':') {
    return false;
  }
  int year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, &year) || !digits(text, 5, 2, &month) || !digits(text, 8, 2, &day) ||
      !digits(text, 11, 2, &hour) || !digits(text, 14, 2, &minute) || !digits(text, 17, 2, &second) ||
      month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return false;
  }
  std::tm broken{};
  broken.tm_year = year - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = second;
  std::u16string zone = text.substr(19);
  if (zone.empty()) {
    broken.tm_isdst = -1;
    *seconds = static_cast<int64_t>(::mktime(&broken));
    return true;
  }
  int offset_hours = 0, offset_minutes = 0;
  if (zone != u"Z") {
    if (zone.size() != 6 || (zone[0] != u'+' && zone[0] != u'-') || zone[3] != u':' ||
        !digits(zone, 1, 2, &offset_hours) || !digits(zone, 4, 2, &offset_minutes) || offset_hours > 23 ||
        offset_minutes > 59) {
      return false;
    }
  }
  int64_t offset = (offset_hours * 60 + offset_minutes) * 60;
  *seconds = static_cast<int64_t>(::timegm(&broken)) - (zone[0] == u'-' ? -offset : offset);
  return true;
}

bool arm(const std::u16string& name, const TaskRecord& record, const std::string& instance) {
  if (!record.enabled || record.actions.empty()) {
    return true;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  for (const TimeTriggerRecord& trigger : record.triggers) {
    int64_t start = 0;
    int64_t end = INT64_MAX;
    if (!parse_boundary(trigger.start_boundary, &start) ||
        (!trigger.end_boundary.empty() && !parse_boundary(trigger.end_boundary, &end)) || start > end) {
      continue;
    }
    Plan plan;
    plan.fire = timespec{static_cast<time_t>(start), 0};
    if (before(plan.fire, now)) {
      // A start missed already: at once when the settings allow a late start, else never.
      if (!record.start_when_available || now.tv_sec > end) {
        continue;
      }
      plan.fire = now;
    }
    plan.record_path = task_store::record_path(name).string();
    plan.expected_start = task_store::instance_line(instance);
    for (const ExecActionRecord& action : record.actions) {
      std::vector<std::string>& command = plan.commands.emplace_back();
      command.push_back(task_store::to_utf8(action.path));
      for (std::string& argument : posix::split_command_line(task_store::to_utf8(action.arguments), false)) {
        command.push_back(std::move(argument));
      }
    }
    if (!start_waiter(plan)) {
      return false;
    }
  }
  return true;
}

}  // namespace platform::task_waiter
