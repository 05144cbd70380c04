/*
 * sarvolt-host: a Linux host for the agent library, written against
 * sarvolt_agent.h alone.
 *
 *   sarvolt-host [-c CONFIG] id                 print the node's public key
 *   sarvolt-host [-c CONFIG] list               list the configured networks
 *   sarvolt-host [-c CONFIG] add|remove|enable|disable URL
 *   sarvolt-host [-c CONFIG] run [-t TUN] [-s STATUS_FILE]
 *
 * run opens the TUN device TUN (default "sarvolt0"), starts the agent and
 * applies every network change to that interface with ip(8): the addresses,
 * the routes, and it prints the DNS server address. SIGUSR1 or a line
 * "status" on stdin prints the status report (to STATUS_FILE when given);
 * SIGINT or SIGTERM (or the end of stdin with -s) shut the agent down and
 * release everything in order.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
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
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sarvolt_agent.h"

extern char** environ;

static const char* g_tun_name = "sarvolt0";
static int g_wake[2] = {-1, -1}; /* self-pipe: signals and changes wake the main loop */
static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_status = 0;

/* The last change, handed from the callback (a runtime thread) to main. */
static pthread_mutex_t g_change_mutex = PTHREAD_MUTEX_INITIALIZER;
static char* g_change[3] = {NULL, NULL, NULL};
static int g_change_pending = 0;

static void usage(void) {
  fprintf(stderr,
          "usage: sarvolt-host [-c CONFIG] id|list\n"
          "       sarvolt-host [-c CONFIG] add|remove|enable|disable URL\n"
          "       sarvolt-host [-c CONFIG] run [-t TUN] [-s STATUS_FILE]\n");
}

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

/* Runs ip(8) with the arguments; its exit status. */
static int run_ip(const char* const argv[]) {
  pid_t pid;
  if (posix_spawnp(&pid, "ip", NULL, NULL, (char* const*)argv, environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  if (run_ip(argv) != 0) fprintf(stderr, "sarvolt-host: could not add address %s\n", net);
}

static void add_route(const char* net) {
  const char* argv[] = {"ip", "route", "replace", net, "dev", g_tun_name, NULL};
  if (run_ip(argv) != 0) fprintf(stderr, "sarvolt-host: could not add route %s\n", net);
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
  FILE* out = status_file ? fopen(status_file, "w") : stdout;
  if (out) {
    fputs(text, out);
    if (out != stdout)
      fclose(out);
    else
      fflush(out);
  }
  free(text); /* the library's strings are released with free() */
}

static int open_tun(const char* name) {
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct ifreq req;
  memset(&req, 0, sizeof req);
  req.ifr_flags = IFF_TUN | IFF_NO_PI;
  strncpy(req.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &req) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int run_agent(const char* config_path, const char* status_file) {
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGUSR1, &sa, NULL);

  RuntimePtr* rt = NULL;
  AgentConfigPtr* config = NULL;
  TunDevicePtr* tun = NULL;
  AgentPtr* agent = NULL;
  int rc = 1;
  if (sarvolt_agent_runtime(&rt) != 0) {
    fprintf(stderr, "sarvolt-host: no runtime\n");
    return 1;
  }
  const int fd = open_tun(g_tun_name);
  if (fd < 0) {
    fprintf(stderr, "sarvolt-host: cannot open TUN device %s: %s\n", g_tun_name, strerror(errno));
    goto out;
  }
  if (sarvolt_agent_tun_device_create(rt, fd, &tun) != 0) {
    fprintf(stderr, "sarvolt-host: the agent refused the TUN device\n");
    close(fd);
    goto out;
  }
  int32_t r = sarvolt_agent_config_load_or_generate(config_path, &config);
  if (r != 0) {
    fprintf(stderr, "sarvolt-host: cannot load %s (%d)\n", config_path, r);
    goto out;
  }
  r = sarvolt_agent_start(rt, config, config_path, tun, on_network_change, NULL, &agent);
  if (r != 0) {
    fprintf(stderr, "sarvolt-host: start failed (%d)\n", r);
    goto out;
  }
  printf("agent started: %s\n", sarvolt_agent_version());
  fflush(stdout);

  char line[256];
  size_t have = 0;
  int stdin_open = 1;
  while (!g_stop) {
    struct pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = poll(fds, stdin_open ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) break;
    char drain[64];
    while (read(g_wake[0], drain, sizeof drain) > 0) {
    }
    take_change();
    if (g_status) {
      g_status = 0;
      print_status(rt, agent, status_file);
    }
    if (stdin_open && (fds[1].revents & (POLLIN | POLLHUP))) {
      const ssize_t got = read(STDIN_FILENO, line + have, sizeof line - 1 - have);
      if (got <= 0) {
        stdin_open = 0;
        if (status_file) g_stop = 1; /* driven by a script: the end of stdin ends the run */
        continue;
      }
      have += (size_t)got;
      line[have] = '\0';
      char* nl;
      while ((nl = strchr(line, '\n')) != NULL) {
        *nl = '\0';
        if (strcmp(line, "status") == 0) print_status(rt, agent, status_file);
        if (strcmp(line, "quit") == 0) g_stop = 1;
        memmove(line, nl + 1, have - (size_t)(nl + 1 - line) + 1);
        have -= (size_t)(nl + 1 - line);
      }
      if (have == sizeof line - 1) have = 0; /* an overlong line is dropped */
    }
  }
  sarvolt_agent_shutdown(rt, agent);
  rc = 0;
out:
  /* Released in the documented order: agent, device, configuration, runtime. */
  sarvolt_agent_free(agent);
  sarvolt_agent_tun_device_free(tun);
  sarvolt_agent_config_free(config);
  sarvolt_agent_runtime_free(rt);
  take_change();
  for (int i = 0; i < 3; ++i) free(g_change[i]);
  return rc;
}

static int print_id(const char* config_path) {
  AgentConfigPtr* config = NULL;
  const int32_t r = sarvolt_agent_config_load_or_generate(config_path, &config);
  if (r != 0) {
    fprintf(stderr, "sarvolt-host: cannot load %s (%d)\n", config_path, r);
    return 1;
  }
  uint8_t pk[32];
  sarvolt_agent_config_id_pk(config, pk);
  for (int i = 0; i < 32; ++i) printf("%02x", pk[i]);
  printf("\n");
  sarvolt_agent_config_free(config);
  return 0;
}

static int list_networks(const char* config_path) {
  NetworkInfo* networks = NULL;
  int32_t count = 0;
  const int32_t r = sarvolt_agent_config_networks(config_path, &networks, &count);
  if (r != 0) {
    fprintf(stderr, "sarvolt-host: cannot list %s (%d)\n", config_path, r);
    return 1;
  }
  for (int32_t i = 0; i < count; ++i) {
    const char* name = sarvolt_agent_network_name(networks, i);
    printf("%s%s%s%s\n", sarvolt_agent_network_url(networks, i), sarvolt_agent_network_disabled(networks, i) ? " (disabled)" : "",
           name ? " " : "", name ? name : "");
  }
  sarvolt_agent_config_networks_free(networks, count);
  return 0;
}

int main(int argc, char** argv) {
  const char* config_path = "agent.toml";
  const char* status_file = NULL;
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "-c") == 0) {
    config_path = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    usage();
    return 2;
  }
  const char* cmd = argv[i++];
  if (strcmp(cmd, "id") == 0) return print_id(config_path);
  if (strcmp(cmd, "list") == 0) return list_networks(config_path);
  if (strcmp(cmd, "run") == 0) {
    for (; i + 1 < argc; i += 2) {
      if (strcmp(argv[i], "-t") == 0)
        g_tun_name = argv[i + 1];
      else if (strcmp(argv[i], "-s") == 0)
        status_file = argv[i + 1];
      else
        break;
    }
    if (i != argc) {
      usage();
      return 2;
    }
    if (sarvolt_agent_init_logging() != 0) fprintf(stderr, "sarvolt-host: logging was set up already\n");
    return run_agent(config_path, status_file);
  }
  if (i + 1 != argc) {
    usage();
    return 2;
  }
  const char* url = argv[i];
  int32_t r;
  if (strcmp(cmd, "add") == 0)
    r = sarvolt_agent_config_network_add(config_path, url);
  else if (strcmp(cmd, "remove") == 0)
    r = sarvolt_agent_config_network_remove(config_path, url);
  else if (strcmp(cmd, "enable") == 0)
    r = sarvolt_agent_config_network_enable(config_path, url);
  else if (strcmp(cmd, "disable") == 0)
    r = sarvolt_agent_config_network_disable(config_path, url);
  else {
    usage();
    return 2;
  }
  if (r != 0) fprintf(stderr, "sarvolt-host: %s %s failed (%d)\n", cmd, url, r);
  return r == 0 ? 0 : 1;
}
