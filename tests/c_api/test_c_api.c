/* The C interface, driven as a host would: compiled as C and linked only
 * through sarvolt_agent.h. Every export is called, with each NULL and UTF-8
 * case and each result code of the editing functions. Exit status 0 when
 * every check held. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sarvolt_agent.h"

static int g_failed = 0;
#define CHECK(cond) \
  ((cond) ? (void)0 : (void)(fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), ++g_failed))

static char g_dir[] = "/tmp/sarvolt-c-api.XXXXXX";
static char g_path[256], g_missing[256], g_doc[256], g_doc_url[300];
static const char kBad[] = "\xff\xfe";          /* not UTF-8 */
static const char kOverlong[] = "\xc0\xaf";      /* an overlong '/' */
static const char kSurrogate[] = "\xed\xa0\x80"; /* U+D800 */

static char* read_all(const char* path) {
  static char buf[65536];
  FILE* f = fopen(path, "rb");
  buf[f ? fread(buf, 1, sizeof buf - 1, f) : 0] = '\0';
  if (f) fclose(f);
  return strdup(buf);
}

static void write_all(const char* path, const char* text) {
  FILE* f = fopen(path, "w");
  fputs(text, f);
  fclose(f);
}

static void test_version_logging_runtime(void) {
  const char* v = sarvolt_agent_version();
  CHECK(v != NULL && strchr(v, '(') != NULL && v[strlen(v) - 1] == ')');
  CHECK(sarvolt_agent_version() == v);
  CHECK(sarvolt_agent_init_logging() == 0);
  CHECK(sarvolt_agent_init_logging() == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_runtime(NULL) == SARVOLT_AGENT_ERR_FAILED);
  sarvolt_agent_runtime_free(NULL);
  sarvolt_agent_config_free(NULL);
  sarvolt_agent_free(NULL);
  sarvolt_agent_tun_device_free(NULL);
  sarvolt_agent_config_networks_free(NULL, 3);
  CHECK(sarvolt_agent_network_change_ips(NULL) == NULL);
  CHECK(sarvolt_agent_network_change_routes(NULL) == NULL);
  CHECK(sarvolt_agent_network_change_dns_server(NULL) == NULL);
}

static void test_config_file(void) {
  AgentConfigPtr* cfg = NULL;
  CHECK(sarvolt_agent_config_load_or_generate(NULL, &cfg) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_load_or_generate(g_path, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_load_or_generate(kBad, &cfg) == SARVOLT_AGENT_ERR_UTF8);
  CHECK(sarvolt_agent_config_load_or_generate(g_path, &cfg) == 0 && cfg != NULL);
  sarvolt_agent_config_free(cfg);

  /* A file that does not parse: the agent error code of its kind (TOML). */
  write_all(g_doc, "identity = 5\n");
  CHECK(sarvolt_agent_config_load_or_generate(g_doc, &cfg) == SARVOLT_AGENT_ERR_TOML);
}

/* The four editing exports share their argument checks. */
static void test_editing(void) {
  CHECK(sarvolt_agent_config_network_remove(NULL, "https://a/") == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_network_remove(g_path, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_network_remove(kBad, "https://a/") == SARVOLT_AGENT_ERR_UTF8);
  CHECK(sarvolt_agent_config_network_remove(g_path, kOverlong) == SARVOLT_AGENT_ERR_UTF8);
  CHECK(sarvolt_agent_config_network_remove(g_path, kSurrogate) == SARVOLT_AGENT_ERR_UTF8);
  CHECK(sarvolt_agent_config_network_remove(g_path, "no url") == SARVOLT_AGENT_ERR_URL);
  CHECK(sarvolt_agent_config_network_add(g_path, "https://example.com/net.toml") == 0);
  char* before = read_all(g_path);
  CHECK(sarvolt_agent_config_network_add(g_path, "HTTPS://EXAMPLE.com/net.toml") == SARVOLT_AGENT_ERR_EXISTS);
  char* after = read_all(g_path);
  CHECK(strcmp(before, after) == 0); /* unchanged */
  free(before), free(after);
  CHECK(sarvolt_agent_config_network_enable(g_path, "https://example.com/net.toml") == SARVOLT_AGENT_ERR_ENABLED);
  CHECK(sarvolt_agent_config_network_disable(g_path, "https://example.com/net.toml") == 0);
  CHECK(sarvolt_agent_config_network_disable(g_path, "https://example.com/net.toml") == SARVOLT_AGENT_ERR_DISABLED);
  CHECK(sarvolt_agent_config_network_remove(g_path, "https://other.example/") == SARVOLT_AGENT_ERR_NOT_FOUND);
  CHECK(sarvolt_agent_config_network_add(g_path, "controller://1b4e28ba-2fa1-11d2-883f-0016d3cca427") == 0);
  /* Missing files: add and remove fail before the URL is looked at; enable
   * and disable create the file and then find nothing. */
  CHECK(sarvolt_agent_config_network_add(g_missing, "no url") == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_network_remove(g_missing, "https://a/") == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_network_enable(g_missing, "https://a/") == SARVOLT_AGENT_ERR_NOT_FOUND);
  CHECK(access(g_missing, F_OK) == 0);
}

static void test_listing(void) {
  NetworkInfo* list = NULL;
  int32_t count = -1;
  CHECK(sarvolt_agent_config_networks(NULL, &list, &count) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_networks(g_path, NULL, &count) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_networks(g_path, &list, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_networks(kBad, &list, &count) == SARVOLT_AGENT_ERR_UTF8);
  CHECK(sarvolt_agent_config_networks(g_missing, &list, &count) == 0 && list == NULL && count == 0);
  CHECK(sarvolt_agent_config_networks(g_path, &list, &count) == 0 && count == 2);
  for (int32_t i = 0; i < count; ++i) {
    const char* url = sarvolt_agent_network_url(list, i);
    CHECK(url != NULL);
    CHECK(sarvolt_agent_network_name(list, i) == NULL);
    /* Only the example.com network was disabled above. */
    CHECK(sarvolt_agent_network_disabled(list, i) == (url && strstr(url, "example.com") != NULL));
  }
  /* Past the end, before the start, no list. */
  CHECK(!sarvolt_agent_network_url(list, count) && !sarvolt_agent_network_name(list, -1) && !sarvolt_agent_network_url(NULL, 0));
  CHECK(sarvolt_agent_network_disabled(list, count) == -1 && sarvolt_agent_network_disabled(list, -1) == -1 &&
        sarvolt_agent_network_disabled(NULL, 0) == -1);
  sarvolt_agent_config_networks_free(list, 0); /* the array knows its own count */
}

/* ---- a started agent ----------------------------------------------------------- */

static RuntimePtr* g_rt;
static AgentPtr* g_agent;
static char g_ips[128], g_dns[64];
static int g_changes = 0, g_refused_inside = 0;

static void on_change(const NetworkChangeInfo* change) {
  snprintf(g_ips, sizeof g_ips, "%s", sarvolt_agent_network_change_ips(change));
  snprintf(g_dns, sizeof g_dns, "%s", sarvolt_agent_network_change_dns_server(change));
  /* Blocking exports are refused on a runtime thread instead of deadlocking
   * (the status would wait for the state this pass holds). The first pass may
   * run before sarvolt_agent_start has returned the handle. */
  AgentPtr* agent = NULL;
  for (int i = 0; i < 200 && !(agent = __atomic_load_n(&g_agent, __ATOMIC_ACQUIRE)); ++i) usleep(10 * 1000);
  char* status = sarvolt_agent_status(g_rt, agent);
  g_refused_inside = agent && status == NULL && sarvolt_agent_shutdown(g_rt, agent) == SARVOLT_AGENT_ERR_FAILED;
  free(status);
  __atomic_add_fetch(&g_changes, 1, __ATOMIC_RELEASE);
}

static void test_agent(void) {
  CHECK(sarvolt_agent_runtime(&g_rt) == 0 && g_rt != NULL);
  AgentConfigPtr* cfg = NULL;
  char path[300];
  snprintf(path, sizeof path, "%s/run.toml", g_dir);
  CHECK(sarvolt_agent_config_load_or_generate(path, &cfg) == 0);
  CHECK(sarvolt_agent_config_network_add(path, g_doc_url) == 0);
  sarvolt_agent_config_free(cfg);
  CHECK(sarvolt_agent_config_load_or_generate(path, &cfg) == 0);
  uint8_t pk[32];
  char text[200] = "network = \"10.44.0.0/16\"\n[[node]]\nip = \"10.44.0.7\"\nhostname = \"me\"\npk = \"";
  CHECK(sarvolt_agent_config_id_pk(cfg, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_id_pk(NULL, pk) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_config_id_pk(cfg, pk) == 0); /* the node below is this agent only with its key */
  for (int i = 0; i < 32; ++i) sprintf(text + strlen(text), "%02x", pk[i]);
  write_all(g_doc, strcat(text, "\"\n"));

  /* The TUN device: a descriptor that is not a TUN device stays the caller's. */
  TunDevicePtr* tun = NULL;
  int pipefd[2];
  CHECK(pipe(pipefd) == 0);
  CHECK(sarvolt_agent_tun_device_create(g_rt, pipefd[0], NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_tun_device_create(NULL, pipefd[0], &tun) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_tun_device_create(g_rt, pipefd[0], &tun) == SARVOLT_AGENT_ERR_FAILED && tun == NULL);
  CHECK(fcntl(pipefd[0], F_GETFD) >= 0);
  close(pipefd[0]);
  close(pipefd[1]);

  AgentPtr* agent = NULL;
  CHECK(sarvolt_agent_start(g_rt, cfg, NULL, NULL, on_change, NULL, &agent) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_start(g_rt, cfg, path, NULL, on_change, NULL, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_start(NULL, cfg, path, NULL, on_change, NULL, &agent) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_start(g_rt, NULL, path, NULL, on_change, NULL, &agent) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_start(g_rt, cfg, kBad, NULL, on_change, NULL, &agent) == SARVOLT_AGENT_ERR_UTF8);
  /* A start that fails on the node options leaves nothing and no handle. */
  setenv("SARVOLT_MAX_PEERS", "1000", 1);
  CHECK(sarvolt_agent_start(g_rt, cfg, path, NULL, on_change, NULL, &agent) == SARVOLT_AGENT_ERR_NODE && !agent);
  unsetenv("SARVOLT_MAX_PEERS");

  AgentPtr* started = NULL;
  CHECK(sarvolt_agent_start(g_rt, cfg, path, NULL, on_change, NULL, &started) == 0 && started != NULL);
  __atomic_store_n(&g_agent, started, __ATOMIC_RELEASE);
  sarvolt_agent_config_free(cfg); /* the agent holds its own copy */
  for (int i = 0; i < 100 && __atomic_load_n(&g_changes, __ATOMIC_ACQUIRE) == 0; ++i) usleep(50 * 1000);
  CHECK(g_changes == 1);
  /* The host applies addresses; the agent reports the node's with its prefix. */
  CHECK(strcmp(g_ips, "10.44.0.7/16") == 0 && strcmp(g_dns, "10.44.255.254") == 0);
  CHECK(g_refused_inside);

  char* status = sarvolt_agent_status(g_rt, g_agent);
  CHECK(status != NULL && strstr(status, "Networks:") != NULL);
  free(status);
  CHECK(sarvolt_agent_status(NULL, g_agent) == NULL);
  CHECK(sarvolt_agent_status(g_rt, NULL) == NULL);
  CHECK(sarvolt_agent_close_udp_sockets(NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_close_udp_sockets(g_agent) == 0);
  CHECK(sarvolt_agent_shutdown(NULL, g_agent) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_shutdown(g_rt, NULL) == SARVOLT_AGENT_ERR_FAILED);
  CHECK(sarvolt_agent_shutdown(g_rt, g_agent) == 0);
  CHECK(sarvolt_agent_shutdown(g_rt, g_agent) == 0);
  status = sarvolt_agent_status(g_rt, g_agent);
  CHECK(status != NULL);
  free(status);
  /* Releasing the runtime before the agent must not crash. */
  sarvolt_agent_runtime_free(g_rt);
  sarvolt_agent_free(g_agent);
}

int main(void) {
  if (!mkdtemp(g_dir)) return 1;
  snprintf(g_path, sizeof g_path, "%s/agent.toml", g_dir);
  snprintf(g_missing, sizeof g_missing, "%s/missing.toml", g_dir);
  snprintf(g_doc, sizeof g_doc, "%s/net.toml", g_dir);
  snprintf(g_doc_url, sizeof g_doc_url, "file://%s", g_doc);
  setenv("SARVOLT_MIN_POW_DIFFICULTY", "8", 1); /* quick identities */
  setenv("SARVOLT_UDP_PORT", "0", 1);           /* a free port */
  test_version_logging_runtime();
  test_config_file();
  test_editing();
  test_listing();
  test_agent();
  char cmd[300];
  snprintf(cmd, sizeof cmd, "rm -rf '%s'", g_dir);
  if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", g_dir);
  if (g_failed) fprintf(stderr, "%d check(s) failed\n", g_failed);
  return g_failed ? 1 : 0;
}
