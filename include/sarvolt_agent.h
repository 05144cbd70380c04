/*
 * sarvolt agent: the C interface.
 *
 * A host program drives the agent only through these functions. Typical use:
 *
 *   sarvolt_agent_init_logging();                       once, first
 *   sarvolt_agent_runtime(&rt);                          the runtime every agent runs on
 *   sarvolt_agent_tun_device_create(rt, fd, &tun);      optional: the tunnel device
 *   sarvolt_agent_config_load_or_generate(path, &cfg);
 *   sarvolt_agent_start(rt, cfg, path, tun, on_change, NULL, &agent);
 *   ... sarvolt_agent_status(rt, agent), sarvolt_agent_close_udp_sockets(agent) ...
 *   sarvolt_agent_shutdown(rt, agent);
 *   sarvolt_agent_free(agent);
 *   sarvolt_agent_tun_device_free(tun); sarvolt_agent_config_free(cfg);
 *   sarvolt_agent_runtime_free(rt);                     last
 *
 * Handles (RuntimePtr, AgentConfigPtr, AgentPtr, TunDevicePtr) are opaque:
 * each is created by one function and released by its own *_free function,
 * which ignores NULL. Every function refuses NULL handles and NULL pointer
 * arguments (-2, a NULL string, or nothing for the void ones) and checks
 * strings as strict UTF-8 (-1) before doing any work.
 *
 * Threads: any host thread may call any function, except that the blocking
 * functions (sarvolt_agent_start, sarvolt_agent_shutdown,
 * sarvolt_agent_tun_device_create, sarvolt_agent_status, and the release
 * functions of agents and runtimes) must not be called from inside the
 * network-change callback or another runtime thread: there they are refused
 * (-2, or a NULL status string) and logged at WARN.
 *
 * No function lets a C++ exception escape.
 */
#ifndef SARVOLT_AGENT_H
#define SARVOLT_AGENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Agent errors give -101 ... -119 by their kind (below). */
#define SARVOLT_AGENT_OK 0
#define SARVOLT_AGENT_ERR_UTF8 (-1)            /* a string argument is not valid UTF-8 */
#define SARVOLT_AGENT_ERR_FAILED (-2)          /* NULL argument, or the operation failed */
#define SARVOLT_AGENT_ERR_URL (-3)             /* the network URL does not parse */
#define SARVOLT_AGENT_ERR_NOT_FOUND (-4)       /* the network is not in the file */
#define SARVOLT_AGENT_ERR_EXISTS (-5)          /* the network is already in the file */
#define SARVOLT_AGENT_ERR_ENABLED (-6)         /* the network is already enabled */
#define SARVOLT_AGENT_ERR_DISABLED (-7)        /* the network is already disabled */
#define SARVOLT_AGENT_ERR_HTTP_CLIENT (-101)
#define SARVOLT_AGENT_ERR_AGENT_UTF8 (-104)
#define SARVOLT_AGENT_ERR_IO (-105)
#define SARVOLT_AGENT_ERR_TOML (-106)
#define SARVOLT_AGENT_ERR_URL_PARSING (-108)
#define SARVOLT_AGENT_ERR_NETWORK (-109)
#define SARVOLT_AGENT_ERR_IDENTITY (-110)
#define SARVOLT_AGENT_ERR_NODE (-111)
#define SARVOLT_AGENT_ERR_TOML_SERIALIZATION (-112)
#define SARVOLT_AGENT_ERR_CONFIG_PARSE (-113)
#define SARVOLT_AGENT_ERR_NETWORK_EXISTS (-114)
#define SARVOLT_AGENT_ERR_NETWORK_NOT_FOUND (-115)
#define SARVOLT_AGENT_ERR_UNSUPPORTED_TUN (-116)
#define SARVOLT_AGENT_ERR_CONTROLLER_MANAGED (-117)
#define SARVOLT_AGENT_ERR_NOT_LOGGED_IN (-118)
#define SARVOLT_AGENT_ERR_CONTROLLER_UNLINK (-119)

typedef struct RuntimePtr RuntimePtr;
typedef struct AgentConfigPtr AgentConfigPtr;
typedef struct AgentPtr AgentPtr;
typedef struct TunDevicePtr TunDevicePtr;

/* One network of a configuration file (sarvolt_agent_config_networks). */
typedef struct NetworkInfo {
  const char* url;  /* the configuration URL */
  int32_t disabled; /* 1 when disabled, else 0 */
  const char* name; /* NULL when the network has none */
} NetworkInfo;

/* The addressing the tunnel interface needs, handed to the callback. Each
 * field is a NUL-terminated string, empty when there is nothing:
 *   ips         "10.0.0.2/24,10.1.0.2/16"  addresses with their prefixes
 *   routes      "10.9.0.0/16"              routes through the tunnel
 *   dns_server  "10.0.0.254"               the overlay DNS server
 * The record and its strings are valid only during the callback. */
typedef struct NetworkChangeInfo {
  const char* ips;
  const char* routes;
  const char* dns_server;
} NetworkChangeInfo;

/* Called on a runtime thread while the agent's state is locked: return
 * promptly, and call only non-blocking functions from it. NULL: no listener.
 * The first call may come before sarvolt_agent_start has returned (the first
 * housekeeping pass runs at once): have everything the callback uses ready
 * before calling start, and do not wait for start's AgentPtr inside it. */
typedef void (*sarvolt_agent_network_change_callback)(const NetworkChangeInfo* change);

/* ---- runtime, logging, version -------------------------------------------- */

/* "1.4.0 (3fa2b1c)" or "1.4.0 (3fa2b1c-dirty)"; the same address every time;
 * owned by the library, never to be freed. */
const char* sarvolt_agent_version(void);

/* Sends the agent's log (every level) to the process's log sink (stderr).
 * 0; -2 when logging was installed already. */
int32_t sarvolt_agent_init_logging(void);

/* A runtime with one worker thread per processor core; 0 and *out set, or -2. */
int32_t sarvolt_agent_runtime(RuntimePtr** out);
/* Stops the runtime; agents still started on it stop running (their handles
 * stay valid for sarvolt_agent_free). Blocking. */
void sarvolt_agent_runtime_free(RuntimePtr* runtime);

/* ---- configuration file ------------------------------------------------------ */

/* Loads the file, or creates it with a new identity (which can take a while).
 * 0 and *out set; -2; -1; an agent error code. */
int32_t sarvolt_agent_config_load_or_generate(const char* path, AgentConfigPtr** out);
/* Copies the node's 32-byte public key into `out`. 0; -2. */
int32_t sarvolt_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out);
void sarvolt_agent_config_free(AgentConfigPtr* config);

/* Each loads the file, makes one change and saves it.
 * add: 0, -2, -1, -3, -5      remove: 0, -2, -1, -3, -4
 * enable: 0, -2, -1, -3, -4, -6   disable: 0, -2, -1, -3, -4, -7 */
int32_t sarvolt_agent_config_network_add(const char* path, const char* network_url);
int32_t sarvolt_agent_config_network_remove(const char* path, const char* network_url);
int32_t sarvolt_agent_config_network_enable(const char* path, const char* network_url);
int32_t sarvolt_agent_config_network_disable(const char* path, const char* network_url);

/* The file's networks: *out an array of *count records (NULL and 0 when there
 * are none), to be given back with sarvolt_agent_config_networks_free. 0; -2; -1. */
int32_t sarvolt_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count);
/* Fields of record `index`; NULL (or -1) for a NULL array or an index outside it. */
const char* sarvolt_agent_network_url(const NetworkInfo* networks, int32_t index);
int32_t sarvolt_agent_network_disabled(const NetworkInfo* networks, int32_t index);
const char* sarvolt_agent_network_name(const NetworkInfo* networks, int32_t index);
/* Releases the array and its strings (the array knows its own count). */
void sarvolt_agent_config_networks_free(NetworkInfo* networks, int32_t count);

/* ---- agent --------------------------------------------------------------------- */

/* Wraps a TUN file descriptor; the device takes it over. A descriptor that is
 * not a TUN device gives -2 and stays the caller's. Blocking. */
int32_t sarvolt_agent_tun_device_create(RuntimePtr* runtime, int32_t fd, TunDevicePtr** out);
void sarvolt_agent_tun_device_free(TunDevicePtr* tun);

/* Starts an agent from a copy of `config`, saving changes to `path`. `tun` may
 * be NULL (no tunnel); `unused` is ignored. `callback` may already run
 * before this returns. The configuration and TUN handles
 * may be released once it returned. 0 and *out set; -2; -1; an agent error
 * code (nothing is left running then). Blocking. */
int32_t sarvolt_agent_start(RuntimePtr* runtime, const AgentConfigPtr* config, const char* path,
                            const TunDevicePtr* tun, sarvolt_agent_network_change_callback callback,
                            void* unused, AgentPtr** out);
/* Stops housekeeping and takes every network down; always 0 (-2 for NULL
 * handles or a call from a runtime thread). Blocking. */
int32_t sarvolt_agent_shutdown(RuntimePtr* runtime, AgentPtr* agent);
/* Stops what is left of the agent and releases it. Blocking. */
void sarvolt_agent_free(AgentPtr* agent);
/* Closes the overlay node's UDP sockets (e.g. when the device's network
 * changed); the node opens new ones at its next housekeeping. 0; -2. */
int32_t sarvolt_agent_close_udp_sockets(AgentPtr* agent);
/* The status report (secrets masked), a new string for the caller to
 * release with free(); NULL for NULL handles or a call from a runtime
 * thread. Blocking. */
char* sarvolt_agent_status(RuntimePtr* runtime, AgentPtr* agent);

/* Fields of a NetworkChangeInfo; NULL for NULL. */
const char* sarvolt_agent_network_change_ips(const NetworkChangeInfo* change);
const char* sarvolt_agent_network_change_routes(const NetworkChangeInfo* change);
const char* sarvolt_agent_network_change_dns_server(const NetworkChangeInfo* change);

#ifdef __cplusplus
}
#endif

#endif /* SARVOLT_AGENT_H */
