/*
 * sarvolt-host: a Linux host for the agent library, written against
 * sarvolt_agent.h alone.
 *
 *   sarvolt-host [-c CONFIG] [-v] id            print the node's public key
 *   sarvolt-host [-c CONFIG] [-v] list          list the configured networks
 *   sarvolt-host [-c CONFIG] [-v] add|remove|enable|disable URL
 *   sarvolt-host [-c CONFIG] [-v] run [-t TUN] [-s STATUS_FILE] [--stdin]
 *
 * run locks the configuration (CONFIG.lock), opens the TUN device TUN
 * (default "sarvolt0"), sets its MTU to the agent's TUN MTU, starts the agent
 * and applies every network change to that interface with ip(8): the
 * addresses, the routes, and it prints the DNS server address. It runs until
 * SIGINT or SIGTERM. SIGUSR1 prints the status report (to STATUS_FILE when
 * given), and so do the lines "status" on stdin when stdin is a terminal or
 * --stdin is given; "quit" there ends the run.
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sarvolt_agent.h"

extern char** environ;

/* Exit codes (listed in the usage and the README). */
enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_LOCKED = 3 };

#define DEFAULT_CONFIG "agent.toml"
#define DEFAULT_TUN "sarvolt0"

static const char* g_tun_name = DEFAULT_TUN;
static int g_wake[2] = {-1, -1}; /* self-pipe: signals and changes wake the main loop */
static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_status = 0;

/* The last change, handed from the callback (a runtime thread) to main. */
static pthread_mutex_t g_change_mutex = PTHREAD_MUTEX_INITIALIZER;
static char* g_change[3] = {NULL, NULL, NULL};
static int g_change_pending = 0;

static void usage(FILE* out) {
  fprintf(out,
          "usage: sarvolt-host [-c CONFIG] [-v] id|list\n"
          "       sarvolt-host [-c CONFIG] [-v] add|remove|enable|disable URL\n"
          "       sarvolt-host [-c CONFIG] [-v] run [-t TUN] [-s STATUS_FILE] [--stdin]\n"
          "       sarvolt-host -h|--help|--version\n"
          "\n"
          "  -c CONFIG      the agent configuration (default: " DEFAULT_CONFIG
          " in the working directory;\n"
          "                 id, enable and disable create it when it is missing)\n"
          "  -t TUN         the TUN device run opens (default: " DEFAULT_TUN
          ", at most 15 characters)\n"
          "  -s FILE        run writes the status report to FILE instead of stdout\n"
          "  --stdin        run reads the commands status and quit from stdin (the\n"
          "                 default only when stdin is a terminal)\n"
          "  -v             show debug log lines, -vv trace (default: info and above,\n"
          "                 or the level SARVOLT_LOG names: trace, debug, info, warn, error)\n"
          "\n"
          "run runs until SIGINT or SIGTERM; SIGUSR1 prints the status report.\n"
          "URLs: file:///PATH, http://, https:// or controller:.\n"
          "Exit codes: 0 done, 1 failed (the message says why), 2 bad arguments,\n"
          "            3 another process runs an agent on CONFIG.\n");
}

/* ---- messages --------------------------------------------------------------- */

static const struct {
  int32_t code;
  const char* meaning;
} kCodes[] = {
    {SARVOLT_AGENT_ERR_UTF8, "a text argument is not valid UTF-8"},
    {SARVOLT_AGENT_ERR_FAILED, "the operation failed"},
    {SARVOLT_AGENT_ERR_URL, "the URL does not parse"},
    {SARVOLT_AGENT_ERR_NOT_FOUND, "the network is not in the configuration"},
    {SARVOLT_AGENT_ERR_EXISTS, "the network is already in the configuration"},
    {SARVOLT_AGENT_ERR_ENABLED, "the network is already enabled"},
    {SARVOLT_AGENT_ERR_DISABLED, "the network is already disabled"},
    {SARVOLT_AGENT_ERR_HTTP_CLIENT, "the HTTP client failed"},
    {SARVOLT_AGENT_ERR_AGENT_UTF8, "text is not valid UTF-8"},
    {SARVOLT_AGENT_ERR_IO, "input/output error"},
    {SARVOLT_AGENT_ERR_TOML, "the configuration is not valid TOML or has a wrong field"},
    {SARVOLT_AGENT_ERR_URL_PARSING, "a URL does not parse"},
    {SARVOLT_AGENT_ERR_NETWORK, "network error"},
    {SARVOLT_AGENT_ERR_IDENTITY, "the node's identity could not be made"},
    {SARVOLT_AGENT_ERR_NODE, "the overlay node could not start"},
    {SARVOLT_AGENT_ERR_TOML_SERIALIZATION, "the configuration could not be written"},
    {SARVOLT_AGENT_ERR_CONFIG_PARSE, "the configuration could not be parsed"},
    {SARVOLT_AGENT_ERR_NETWORK_EXISTS, "the network already exists"},
    {SARVOLT_AGENT_ERR_NETWORK_NOT_FOUND, "the network was not found"},
    {SARVOLT_AGENT_ERR_UNSUPPORTED_TUN, "TUN devices cannot be made on this platform"},
    {SARVOLT_AGENT_ERR_CONTROLLER_MANAGED, "controller-managed networks cannot be added or removed by hand"},
    {SARVOLT_AGENT_ERR_NOT_LOGGED_IN, "not logged in to the controller"},
    {SARVOLT_AGENT_ERR_CONTROLLER_UNLINK, "unlinking from the controller failed"},
};

static const char* meaning_of(int32_t code) {
  for (size_t i = 0; i < sizeof kCodes / sizeof kCodes[0]; ++i)
    if (kCodes[i].code == code) return kCodes[i].meaning;
  return "unknown error";
}

/* "sarvolt-host: WHAT: MEANING (CODE)[: DETAIL]" */
static void report(const char* what, int32_t code, const char* detail) {
  fprintf(stderr, "sarvolt-host: %s: %s (%d)%s%s\n", what, meaning_of(code), (int)code, detail ? ": " : "",
          detail ? detail : "");
}

/* The directory part of `path` into `out`. */
static void dir_of(const char* path, char* out, size_t n) {
  char copy[4096];
  snprintf(copy, sizeof copy, "%s", path);
  snprintf(out, n, "%s", dirname(copy));
}

/* What the operating system says about reading (and, with `for_write`,
 * replacing) the file at `path`; NULL when it sees no problem. */
static const char* path_problem(const char* path, int must_exist, int for_write, char* buf, size_t n) {
  char dir[4096];
  dir_of(path, dir, sizeof dir);
  struct stat st;
  if (stat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      snprintf(buf, n, "%s: %s", path, strerror(EISDIR));
      return buf;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      snprintf(buf, n, "%s: %s", path, strerror(errno));
      return buf;
    }
    close(fd);
    if (for_write && access(dir, W_OK | X_OK) != 0) {
      snprintf(buf, n, "%s: %s", dir, strerror(errno));
      return buf;
    }
    return NULL;
  }
  if (errno != ENOENT) {
    snprintf(buf, n, "%s: %s", path, strerror(errno));
    return buf;
  }
  if (stat(dir, &st) != 0) {
    snprintf(buf, n, "%s: %s", dir, strerror(errno));
    return buf;
  }
  if (!S_ISDIR(st.st_mode)) {
    snprintf(buf, n, "%s: %s", dir, strerror(ENOTDIR));
    return buf;
  }
  if (must_exist) {
    snprintf(buf, n, "%s: %s", path, strerror(ENOENT));
    return buf;
  }
  if (access(dir, W_OK | X_OK) != 0) {
    snprintf(buf, n, "%s: %s", dir, strerror(errno));
    return buf;
  }
  return NULL;
}

/* Explains a failed sarvolt_agent_config_load_or_generate. */
static void report_load(const char* path, int32_t code) {
  char what[4200], buf[4200];
  snprintf(what, sizeof what, "cannot load %s", path);
  report(what, code, path_problem(path, 0, 0, buf, sizeof buf));
}

/* ---- ip(8) --------------------------------------------------------------------- */

/* Runs ip(8) with the arguments; 0 when it succeeded, else one line on
 * stderr with the command and the first line of what ip printed there. */
static int run_ip(const char* const argv[]) {
  char cmd[512] = "";
  for (int i = 0; argv[i]; ++i) {
    const size_t used = strlen(cmd);
    snprintf(cmd + used, sizeof cmd - used, "%s%s", i ? " " : "", argv[i]);
  }
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) {
    fprintf(stderr, "sarvolt-host: %s: %s\n", cmd, strerror(errno));
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, "ip", &actions, NULL, (char* const*)argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  if (spawned != 0) {
    close(err[0]);
    fprintf(stderr, "sarvolt-host: %s: %s\n", cmd, strerror(spawned));
    return -1;
  }
  /* Keep the first line; read the rest away, for at most 10 s. */
  char first[256];
  size_t have = 0;
  int line_done = 0, timed_out = 0;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited = (long)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited >= 10000) {
      timed_out = 1;
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd p = {err[0], POLLIN, 0};
    const int ready = poll(&p, 1, (int)(10000 - waited));
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) break;
    char chunk[256];
    const ssize_t got = read(err[0], chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    for (ssize_t i = 0; i < got && !line_done; ++i) {
      if (chunk[i] == '\n')
        line_done = 1;
      else if (have + 1 < sizeof first)
        first[have++] = chunk[i];
    }
  }
  close(err[0]);
  first[have] = '\0';
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !timed_out) return 0;
  if (timed_out)
    fprintf(stderr, "sarvolt-host: %s: no answer within 10 s\n", cmd);
  else if (have)
    fprintf(stderr, "sarvolt-host: %s: %s\n", cmd, first);
  else
    fprintf(stderr, "sarvolt-host: %s: exit status %d\n", cmd, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return -1;
}

/* Calls `fn` for each comma-separated item of `list`. */
static void for_each_item(const char* list, void (*fn)(const char*)) {
  char* copy = strdup(list);
  if (!copy) return;
  char* save = NULL;
  for (char* item = strtok_r(copy, ",", &save); item; item = strtok_r(NULL, ",", &save)) fn(item);
  free(copy);
}

static void add_address(const char* net) {
  const char* argv[] = {"ip", "addr", "add", net, "dev", g_tun_name, NULL};
  run_ip(argv);
}

static void add_route(const char* net) {
  const char* argv[] = {"ip", "route", "replace", net, "dev", g_tun_name, NULL};
  run_ip(argv);
}

/* Makes the interface hold exactly the addresses and routes of the change. */
static void apply_change(const char* ips, const char* routes, const char* dns) {
  const char* flush_addr[] = {"ip", "addr", "flush", "dev", g_tun_name, NULL};
  const char* flush_routes[] = {"ip", "route", "flush", "dev", g_tun_name, NULL};
  const char* up[] = {"ip", "link", "set", g_tun_name, "up", NULL};
  run_ip(flush_addr);
  run_ip(flush_routes);
  run_ip(up);
  for_each_item(ips, add_address);
  for_each_item(routes, add_route);
  printf("network change: addresses [%s] routes [%s] dns server [%s]\n", ips, routes, dns);
  fflush(stdout);
}

/* ---- run ------------------------------------------------------------------------ */

static void wake_main(void) {
  const char b = 1;
  ssize_t ignored = write(g_wake[1], &b, 1);
  (void)ignored;
}

static void on_signal(int sig) {
  if (sig == SIGUSR1)
    g_status = 1;
  else
    g_stop = 1;
  wake_main();
}

/* The agent's callback: keep a copy, let the main thread apply it. */
static void on_network_change(const NetworkChangeInfo* change) {
  const char* fields[3] = {sarvolt_agent_network_change_ips(change), sarvolt_agent_network_change_routes(change),
                           sarvolt_agent_network_change_dns_server(change)};
  pthread_mutex_lock(&g_change_mutex);
  for (int i = 0; i < 3; ++i) {
    free(g_change[i]);
    g_change[i] = strdup(fields[i] ? fields[i] : "");
  }
  g_change_pending = 1;
  pthread_mutex_unlock(&g_change_mutex);
  wake_main();
}

static void take_change(void) {
  char* fields[3] = {NULL, NULL, NULL};
  pthread_mutex_lock(&g_change_mutex);
  if (g_change_pending) {
    for (int i = 0; i < 3; ++i) {
      fields[i] = g_change[i];
      g_change[i] = NULL;
    }
    g_change_pending = 0;
  }
  pthread_mutex_unlock(&g_change_mutex);
  if (fields[0]) apply_change(fields[0], fields[1] ? fields[1] : "", fields[2] ? fields[2] : "");
  for (int i = 0; i < 3; ++i) free(fields[i]);
}

static void print_status(RuntimePtr* rt, AgentPtr* agent, const char* status_file) {
  char* text = sarvolt_agent_status(rt, agent);
  if (!text) return;
  FILE* out = stdout;
  if (status_file) {
    /* A FIFO nobody reads is refused, not waited on. */
    const int fd = open(status_file, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    out = fd >= 0 ? fdopen(fd, "w") : NULL;
    if (!out && fd >= 0) close(fd);
  }
  if (!out) {
    fprintf(stderr, "sarvolt-host: cannot write the status report to %s: %s\n", status_file, strerror(errno));
  } else {
    fputs(text, out);
    const int failed = out != stdout ? fclose(out) : fflush(out);
    if (failed && status_file)
      fprintf(stderr, "sarvolt-host: cannot write the status report to %s: %s\n", status_file, strerror(errno));
  }
  free(text); /* the library's strings are released with free() */
}

/* A name the kernel takes as it is (TUNSETIFF would cut a longer one, and
 * turns "%d" into a number). */
static int valid_ifname(const char* name) {
  const size_t len = strlen(name);
  if (len == 0 || len >= IFNAMSIZ || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  for (size_t i = 0; i < len; ++i)
    if (name[i] == '/' || name[i] == ':' || name[i] == '%' || isspace((unsigned char)name[i]) ||
        iscntrl((unsigned char)name[i]))
      return 0;
  return 1;
}

static int open_tun(const char* name) {
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct ifreq req;
  memset(&req, 0, sizeof req);
  req.ifr_flags = IFF_TUN | IFF_NO_PI;
  memcpy(req.ifr_name, name, strlen(name)); /* shorter than IFNAMSIZ: checked */
  if (ioctl(fd, TUNSETIFF, &req) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

/* Parses a TOML integer (decimal with '_' separators, or 0x/0o/0b); -1 when
 * the text is none or out of range. */
static long toml_int(const char* s) {
  int base = 10;
  if (*s == '+') ++s;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
    base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    s += 2;
  }
  long v = 0;
  int digits = 0;
  for (; *s && *s != '#' && !isspace((unsigned char)*s); ++s) {
    if (*s == '_') continue;
    int d;
    if (*s >= '0' && *s <= '9')
      d = *s - '0';
    else if (base == 16 && isxdigit((unsigned char)*s))
      d = tolower((unsigned char)*s) - 'a' + 10;
    else
      return -1;
    if (d >= base) return -1;
    v = v * base + d;
    if (v > 65535) return -1;
    ++digits;
  }
  while (isspace((unsigned char)*s)) ++s;
  return digits && (*s == '\0' || *s == '#') ? v : -1;
}

/* The TUN MTU the agent will use, by the library's rule: the configuration's
 * top-level `mtu` when it is at least 68, else 1280 (1328 with
 * SARVOLT_ARM_MESSAGES=false). */
static int agent_tun_mtu(const char* config_path) {
  const char* arm = getenv("SARVOLT_ARM_MESSAGES");
  const int fallback = arm && strcmp(arm, "false") == 0 ? 1328 : 1280;
  FILE* f = fopen(config_path, "re");
  if (!f) return fallback;
  char line[512];
  long mtu = -1;
  int lines = 0;
  while (fgets(line, sizeof line, f) && ++lines <= 100000) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '[') break; /* the top-level keys come before the tables */
    const char quote = *p == '"' || *p == '\'' ? *p : '\0';
    if (quote) ++p;
    if (strncmp(p, "mtu", 3) != 0) continue;
    p += 3;
    if (quote && *p++ != quote) continue;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '=') continue;
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    char* nl = strchr(p, '\n');
    if (nl) *nl = '\0';
    mtu = toml_int(p);
    break;
  }
  fclose(f);
  return mtu >= 68 ? (int)mtu : fallback;
}

static int set_mtu(const char* name, int mtu) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  struct ifreq req;
  memset(&req, 0, sizeof req);
  memcpy(req.ifr_name, name, strlen(name));
  req.ifr_mtu = mtu;
  const int r = ioctl(s, SIOCSIFMTU, &req);
  const int e = errno;
  close(s);
  errno = e;
  return r;
}

/* Takes the lock file beside the configuration for the whole run and writes
 * our process id into it; -1 (reported) when that fails, -2 when another
 * process holds it. */
static int lock_config(const char* config_path) {
  char path[4200];
  snprintf(path, sizeof path, "%s.lock", config_path);
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    fprintf(stderr, "sarvolt-host: cannot lock %s: %s: %s\n", config_path, path, strerror(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e == EWOULDBLOCK) {
      char pid[32];
      const ssize_t got = pread(fd, pid, sizeof pid - 1, 0);
      pid[got > 0 ? got : 0] = '\0';
      pid[strcspn(pid, "\n")] = '\0';
      fprintf(stderr, "sarvolt-host: %s is in use: process %s runs an agent on it (lock file %s)\n", config_path,
              pid[0] ? pid : "(unknown)", path);
    } else {
      fprintf(stderr, "sarvolt-host: cannot lock %s: %s: %s\n", config_path, path, strerror(e));
    }
    close(fd);
    return e == EWOULDBLOCK ? -2 : -1;
  }
  char pid[32];
  const int n = snprintf(pid, sizeof pid, "%ld\n", (long)getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, (size_t)n, 0) != n) {
    fprintf(stderr, "sarvolt-host: cannot write %s: %s\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

static void unlock_config(int fd) {
  if (fd < 0) return;
  if (ftruncate(fd, 0) != 0) {
  }
  close(fd);
}

/* Reads what arrived on stdin and runs its complete lines; 0 at its end. */
static int read_commands(RuntimePtr* rt, AgentPtr* agent, const char* status_file) {
  static char line[256];
  static size_t have = 0;
  const ssize_t got = read(STDIN_FILENO, line + have, sizeof line - 1 - have);
  if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return 0;
  if (got < 0) return 1;
  have += (size_t)got;
  line[have] = '\0';
  char* nl;
  while ((nl = strchr(line, '\n')) != NULL) {
    *nl = '\0';
    if (strcmp(line, "status") == 0)
      print_status(rt, agent, status_file);
    else if (strcmp(line, "quit") == 0)
      g_stop = 1;
    else if (line[0])
      fprintf(stderr, "sarvolt-host: unknown command (known: status, quit)\n");
    const size_t used = (size_t)(nl + 1 - line);
    memmove(line, nl + 1, have - used + 1);
    have -= used;
  }
  if (have == sizeof line - 1) have = 0; /* an overlong line is dropped */
  return 1;
}

static int run_agent(const char* config_path, const char* status_file, int use_stdin) {
  if (status_file) {
    const int fd = open(status_file, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
      fprintf(stderr, "sarvolt-host: cannot open the status file %s: %s\n", status_file, strerror(errno));
      return EXIT_FAILED;
    }
    close(fd);
  }
  const int lock = lock_config(config_path);
  if (lock < 0) return lock == -2 ? EXIT_LOCKED : EXIT_FAILED;

  RuntimePtr* rt = NULL;
  AgentConfigPtr* config = NULL;
  TunDevicePtr* tun = NULL;
  AgentPtr* agent = NULL;
  int rc = EXIT_FAILED;
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "sarvolt-host: %s\n", strerror(errno));
    unlock_config(lock);
    return EXIT_FAILED;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGUSR1, &sa, NULL);

  if (sarvolt_agent_runtime(&rt) != 0) {
    fprintf(stderr, "sarvolt-host: cannot start the runtime\n");
    goto out;
  }
  int32_t r = sarvolt_agent_config_load_or_generate(config_path, &config);
  if (r != 0) {
    report_load(config_path, r);
    goto out;
  }
  const int fd = open_tun(g_tun_name);
  if (fd < 0) {
    fprintf(stderr, "sarvolt-host: cannot open the TUN device %s: %s\n", g_tun_name, strerror(errno));
    goto out;
  }
  const int mtu = agent_tun_mtu(config_path);
  if (set_mtu(g_tun_name, mtu) != 0) {
    fprintf(stderr, "sarvolt-host: cannot set the MTU of %s to %d: %s\n", g_tun_name, mtu, strerror(errno));
    close(fd);
    goto out;
  }
  if (sarvolt_agent_tun_device_create(rt, fd, &tun) != 0) {
    fprintf(stderr, "sarvolt-host: the agent refused the TUN device %s\n", g_tun_name);
    close(fd);
    goto out;
  }
  /* Everything the callback's changes need is ready: the callback may come
   * before start returns. */
  r = sarvolt_agent_start(rt, config, config_path, tun, on_network_change, NULL, &agent);
  if (r != 0) {
    report("cannot start the agent", r, NULL);
    goto out;
  }
  printf("agent started: %s (TUN %s, MTU %d)\n", sarvolt_agent_version(), g_tun_name, mtu);
  fflush(stdout);

  while (!g_stop) {
    struct pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = poll(fds, use_stdin ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) break;
    char drain[64];
    while (read(g_wake[0], drain, sizeof drain) > 0) {
    }
    if (g_stop) break;
    take_change();
    if (g_status) {
      g_status = 0;
      print_status(rt, agent, status_file);
    }
    if (use_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
      use_stdin = read_commands(rt, agent, status_file); /* its end leaves the agent running */
  }
  sarvolt_agent_shutdown(rt, agent);
  rc = EXIT_OK;
out:
  /* Released in the documented order: agent, device, configuration, runtime.
   * A change still pending is dropped: its device is gone. */
  sarvolt_agent_free(agent);
  sarvolt_agent_tun_device_free(tun);
  sarvolt_agent_config_free(config);
  sarvolt_agent_runtime_free(rt);
  for (int i = 0; i < 3; ++i) free(g_change[i]);
  unlock_config(lock);
  return rc;
}

/* ---- configuration commands ------------------------------------------------------ */

static int print_id(const char* config_path) {
  AgentConfigPtr* config = NULL;
  const int32_t r = sarvolt_agent_config_load_or_generate(config_path, &config);
  if (r != 0) {
    report_load(config_path, r);
    return EXIT_FAILED;
  }
  uint8_t pk[32];
  sarvolt_agent_config_id_pk(config, pk);
  for (int i = 0; i < 32; ++i) printf("%02x", pk[i]);
  printf("\n");
  sarvolt_agent_config_free(config);
  return EXIT_OK;
}

/* Explains why an edit or a listing could not load or save the file (the
 * library says only -2 then). */
static void report_file_failure(const char* what, const char* config_path, int must_exist) {
  char buf[4200];
  struct stat st;
  if (stat(config_path, &st) == 0 && S_ISREG(st.st_mode) && !path_problem(config_path, 1, 0, buf, sizeof buf)) {
    /* Readable: load it once more for the reason's code. The library logged
     * its error line already, so this load's log goes nowhere. */
    AgentConfigPtr* config = NULL;
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    const int32_t r = sarvolt_agent_config_load_or_generate(config_path, &config);
    fflush(stderr);
    if (saved >= 0) {
      dup2(saved, STDERR_FILENO);
      close(saved);
    }
    if (null >= 0) close(null);
    sarvolt_agent_config_free(config);
    if (r != 0) {
      char load[4400];
      snprintf(load, sizeof load, "%s: cannot load %s", what, config_path);
      report(load, r, NULL);
      return;
    }
    char save[4400];
    snprintf(save, sizeof save, "%s: cannot save %s", what, config_path);
    report(save, SARVOLT_AGENT_ERR_FAILED, path_problem(config_path, 1, 1, buf, sizeof buf));
    return;
  }
  char load[4400];
  snprintf(load, sizeof load, "%s: cannot load %s", what, config_path);
  report(load, SARVOLT_AGENT_ERR_FAILED, path_problem(config_path, must_exist, 1, buf, sizeof buf));
}

static int list_networks(const char* config_path) {
  NetworkInfo* networks = NULL;
  int32_t count = 0;
  const int32_t r = sarvolt_agent_config_networks(config_path, &networks, &count);
  if (r != 0) {
    if (r == SARVOLT_AGENT_ERR_FAILED)
      report_file_failure("list", config_path, 1);
    else
      report("list", r, config_path);
    return EXIT_FAILED;
  }
  for (int32_t i = 0; i < count; ++i) {
    const char* name = sarvolt_agent_network_name(networks, i);
    printf("%s%s%s%s\n", sarvolt_agent_network_url(networks, i), sarvolt_agent_network_disabled(networks, i) ? " (disabled)" : "",
           name ? " " : "", name ? name : "");
  }
  sarvolt_agent_config_networks_free(networks, count);
  return EXIT_OK;
}

/* Decodes the %XX escapes of a URL path into `out`. */
static void percent_decode(const char* in, size_t len, char* out, size_t n) {
  size_t o = 0;
  for (size_t i = 0; i < len && o + 1 < n; ++i) {
    if (in[i] == '%' && i + 2 < len && isxdigit((unsigned char)in[i + 1]) && isxdigit((unsigned char)in[i + 2])) {
      const char hex[3] = {in[i + 1], in[i + 2], '\0'};
      out[o++] = (char)strtol(hex, NULL, 16);
      i += 2;
    } else {
      out[o++] = in[i];
    }
  }
  out[o] = '\0';
}

/* Refuses (EXIT_USAGE) a URL the agent could never fetch, warns about a file
 * URL that names no readable file; EXIT_OK otherwise. */
static int check_network_url(const char* url) {
  const char* colon = strchr(url, ':');
  size_t scheme_len = colon ? (size_t)(colon - url) : 0;
  for (size_t i = 0; i < scheme_len; ++i)
    if (!isalnum((unsigned char)url[i]) && url[i] != '+' && url[i] != '-' && url[i] != '.') scheme_len = 0;
  if (scheme_len == 0) {
    fprintf(stderr, "sarvolt-host: %s is not a URL (file:///PATH, http://, https:// or controller:)\n", url);
    return EXIT_USAGE;
  }
  static const char* const kFetched[] = {"file", "http", "https", "controller"};
  int known = 0;
  for (size_t i = 0; i < 4; ++i)
    if (strlen(kFetched[i]) == scheme_len && strncasecmp(url, kFetched[i], scheme_len) == 0) known = 1;
  if (!known) {
    fprintf(stderr, "sarvolt-host: %s: the agent cannot fetch %.*s URLs (only file, http, https and controller)\n",
            url, (int)scheme_len, url);
    return EXIT_USAGE;
  }
  if (scheme_len != 4 || strncasecmp(url, "file", 4) != 0) return EXIT_OK;
  const char* path = colon + 1;
  if (strncmp(path, "//", 2) == 0) {
    const char* host = path + 2;
    const size_t host_len = strcspn(host, "/?#");
    if (host_len != 0 && !(host_len == 9 && strncasecmp(host, "localhost", 9) == 0)) {
      fprintf(stderr,
              "sarvolt-host: %s: a file URL names a file on this machine, not on host \"%.*s\" "
              "(for an absolute path write file:///PATH)\n",
              url, (int)host_len, host);
      return EXIT_USAGE;
    }
    path = host + host_len;
  }
  char file[4096];
  if (*path != '/') {
    file[0] = '/';
    percent_decode(path, strcspn(path, "?#"), file + 1, sizeof file - 1);
  } else {
    percent_decode(path, strcspn(path, "?#"), file, sizeof file);
  }
  struct stat st;
  const int fd = open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    fprintf(stderr, "sarvolt-host: warning: %s names no readable file: %s: %s\n", url, file, strerror(errno));
  else if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
    fprintf(stderr, "sarvolt-host: warning: %s names no readable file: %s is not a regular file\n", url, file);
  if (fd >= 0) close(fd);
  return EXIT_OK;
}

static int edit_network(const char* cmd, const char* config_path, const char* url) {
  if (strcmp(cmd, "add") == 0) {
    const int checked = check_network_url(url);
    if (checked != EXIT_OK) return checked;
  }
  int32_t r;
  if (strcmp(cmd, "add") == 0)
    r = sarvolt_agent_config_network_add(config_path, url);
  else if (strcmp(cmd, "remove") == 0)
    r = sarvolt_agent_config_network_remove(config_path, url);
  else if (strcmp(cmd, "enable") == 0)
    r = sarvolt_agent_config_network_enable(config_path, url);
  else
    r = sarvolt_agent_config_network_disable(config_path, url);
  if (r == 0) return EXIT_OK;
  char what[4400];
  snprintf(what, sizeof what, "%s %s", cmd, url);
  if (r == SARVOLT_AGENT_ERR_FAILED) {
    const int creates = strcmp(cmd, "enable") == 0 || strcmp(cmd, "disable") == 0;
    report_file_failure(what, config_path, !creates);
  } else {
    /* A URL error is about the URL already named; others about the file. */
    report(what, r, r == SARVOLT_AGENT_ERR_URL ? NULL : config_path);
  }
  return EXIT_FAILED;
}

/* ---- arguments ---------------------------------------------------------------------- */

static int usage_error(const char* fmt, const char* arg) {
  fprintf(stderr, "sarvolt-host: ");
  fprintf(stderr, fmt, arg);
  fprintf(stderr, " (sarvolt-host --help shows the usage)\n");
  return EXIT_USAGE;
}

int main(int argc, char** argv) {
  const char* config_path = DEFAULT_CONFIG;
  const char* status_file = NULL;
  const char* tun = NULL;
  const char* cmd = NULL;
  const char* arg = NULL;
  int verbose = 0, use_stdin = 0, positional = 0, only_positional = 0;

  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (only_positional || a[0] != '-' || a[1] == '\0') {
      if (positional == 0)
        cmd = a;
      else if (positional == 1)
        arg = a;
      else
        return usage_error("unexpected argument %s", a);
      ++positional;
    } else if (strcmp(a, "--") == 0) {
      only_positional = 1;
    } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      usage(stdout);
      return EXIT_OK;
    } else if (strcmp(a, "--version") == 0) {
      printf("sarvolt-host %s\n", sarvolt_agent_version());
      return EXIT_OK;
    } else if (strcmp(a, "--stdin") == 0) {
      use_stdin = 1;
    } else if (strcmp(a, "-c") == 0 || strcmp(a, "-t") == 0 || strcmp(a, "-s") == 0) {
      if (i + 1 >= argc) return usage_error("%s needs a value", a);
      const char* v = argv[++i];
      if (a[1] == 'c')
        config_path = v;
      else if (a[1] == 't')
        tun = v;
      else
        status_file = v;
    } else if (a[1] == 'v' && strspn(a + 1, "v") == strlen(a + 1)) {
      verbose += (int)strlen(a + 1);
    } else {
      return usage_error("unknown option %s", a);
    }
  }
  if (!cmd) return usage_error("%s", "no command given");
  const int is_run = strcmp(cmd, "run") == 0;
  const int is_edit = strcmp(cmd, "add") == 0 || strcmp(cmd, "remove") == 0 || strcmp(cmd, "enable") == 0 ||
                      strcmp(cmd, "disable") == 0;
  if (!is_run && !is_edit && strcmp(cmd, "id") != 0 && strcmp(cmd, "list") != 0)
    return usage_error("unknown command %s", cmd);
  if (!is_run && (tun || status_file || use_stdin)) return usage_error("-t, -s and --stdin belong to run, not %s", cmd);
  if (is_edit && !arg) return usage_error("%s needs a URL", cmd);
  if (!is_edit && arg) return usage_error("unexpected argument %s", arg);
  if (!config_path[0]) return usage_error("%s", "-c needs a file name");
  if (tun) {
    if (!valid_ifname(tun))
      return usage_error("%s cannot name a network interface (1 to 15 characters, no '/', ':', '%%' or spaces)",
                         tun);
    g_tun_name = tun;
  }

  if (verbose) setenv("SARVOLT_LOG", verbose > 1 ? "trace" : "debug", 1);
  if (sarvolt_agent_init_logging() != 0) fprintf(stderr, "sarvolt-host: logging was set up already\n");
  signal(SIGPIPE, SIG_IGN);

  if (strcmp(cmd, "id") == 0) return print_id(config_path);
  if (strcmp(cmd, "list") == 0) return list_networks(config_path);
  if (is_run) return run_agent(config_path, status_file, use_stdin || isatty(STDIN_FILENO));
  return edit_network(cmd, config_path, arg);
}
