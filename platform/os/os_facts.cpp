#include "platform/os/os_facts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

extern char** environ;

namespace sarvolt::os {

namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnActions() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnActions() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

// Reaps `pid` if it has ended; true when it is gone.
bool reaped(pid_t pid) {
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

void kill_and_reap(pid_t pid) {
  ::kill(-pid, SIGKILL);  // the process group the child leads
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::mutex g_mutex;
CommandRunner g_runner;

}  // namespace

std::optional<std::string> run_command(const std::string& program, const std::vector<std::string>& args,
                                       const CommandLimits& limits) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  Fd read_end{pipe_fds[0]}, write_end{pipe_fds[1]};

  SpawnActions sp;
  posix_spawn_file_actions_addopen(&sp.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&sp.actions, write_end.fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&sp.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&sp.actions, STDERR_FILENO + 1);
  // A group of its own, so that a timeout also ends what the command started.
  posix_spawnattr_setflags(&sp.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&sp.attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&sp.attr, &none);
  posix_spawnattr_setsigdefault(&sp.attr, &all);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawnp(&pid, program.c_str(), &sp.actions, &sp.attr, argv.data(), environ) != 0) return std::nullopt;
  write_end.reset();

  const auto deadline = Clock::now() + limits.timeout;
  std::string out;
  char buf[4096];
  bool open = true;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    if (!open) {
      // Output closed: wait for the exit, still within the limit.
      if (reaped(pid)) return out;
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
      continue;
    }
    pollfd p{read_end.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t n = ::read(read_end.fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (n == 0) {
      open = false;
      continue;
    }
    if (out.size() + static_cast<std::size_t>(n) > limits.max_output) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  kill_and_reap(pid);
  return std::nullopt;
}

CommandRunner command_runner() {
  std::lock_guard lock(g_mutex);
  if (g_runner) return g_runner;
  return [](const std::string& program, const std::vector<std::string>& args) { return run_command(program, args); };
}

CommandRunner set_command_runner(CommandRunner runner) {
  std::lock_guard lock(g_mutex);
  return std::exchange(g_runner, std::move(runner));
}

}  // namespace sarvolt::os
