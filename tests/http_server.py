#!/usr/bin/env python3
# HTTP(S) server and test controller for tests (standard library only).
#
# Usage: http_server.py --dir DIR --parent PID [--cert FILE --key FILE] [--secret S]
#
# Listens on a free port of 127.0.0.1, speaks HTTP/1.1 (HTTPS with --cert and
# --key) and writes the port to DIR/port once it accepts connections. It is
# killed when the thread that started it ends, and exits at once when its
# parent is no longer PID. Every request is appended to DIR/requests.jsonl as
# one JSON line before it is answered: the object /echo returns, plus "body"
# (text) and, with --secret, "auth" ("ok" or why not).
#
# Routes (any method; query parameters in brackets are optional):
#   /status/<code>      answers <code>, body "status <code>\n" (none for 204)
#   /body?text=T|hex=H[&type=CT]
#                       answers 200 with T (UTF-8) or the bytes of hex H
#   /redirect/<n>[?to=URL]
#                       n > 0: 302 to /redirect/<n-1> with the same query, or
#                       to URL (default /redirect/0) when n = 1; n = 0: "done\n"
#   /slow?seconds=S[&text=T]
#                       200 "ok" (or T) after S seconds
#   /big?size=N[&length=0]
#                       N bytes of "x", with Content-Length, or chunked (length=0)
#   /echo               200 JSON: method, path, headers ([name, value] in
#                       received order), body_hex
#
# With --secret the server is the test controller, whose routes are
#   GET /api/nodes/me/networks/config.toml   DIR/<sarvolt-pk>.toml (served first)
#   PUT /api/nodes/me/metrics                200, empty body
# Each request is checked with this script's own base64url and HMAC code:
# "Authorization: HMAC-Auth <ts>:sha256:32:hmac:<mac>", <mac> the unpadded
# base64url HMAC-SHA256 keyed with the secret (unpadded base64url) of "<ts>:"
# and the exact body bytes, <ts> within 300 s of now; and one "sarvolt-pk" of
# 64 lower-case hex digits. A failing request gets 401. DIR/behaviour.json,
# read at every request, is a JSON object (or null) with optional keys
# "networks" and "metrics", each with "status": N (answer N, body
# "status N\n") and/or "delay": S (answer after S seconds).

import argparse
import base64
import ctypes
import hashlib
import hmac
import http.server
import json
import os
import re
import signal
import ssl
import threading
import time
import urllib.parse

AUTH = re.compile(r"HMAC-Auth (-?[0-9]+):sha256:32:hmac:([A-Za-z0-9_-]{43})")


def b64url(raw):
    return base64.urlsafe_b64encode(raw).decode().rstrip("=")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        seen = {"method": self.command, "path": self.path,
                "headers": [[k, v] for k, v in self.headers.items()], "body_hex": body.hex()}
        record = dict(seen, body=body.decode("utf-8", "replace"))
        if self.server.key is not None:
            record["auth"] = self.check_auth(body)
        self.server.record(record)
        # A failure (the client went, say) ends the connection; Server.handle_error keeps quiet.
        if self.server.key is not None:
            self.controller_route(record["auth"], url.path)
        else:
            self.route(seen, url, query)

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_GET

    def route(self, seen, url, q):
        parts = [p for p in url.path.split("/") if p] or [""]
        arg = parts[1] if len(parts) == 2 else None
        if parts[0] == "status" and arg:
            self.answer(int(arg), b"" if arg == "204" else b"status %d\n" % int(arg))
        elif parts[0] == "body":
            data = bytes.fromhex(q["hex"]) if "hex" in q else q.get("text", "").encode()
            self.answer(200, data, q.get("type", "application/octet-stream"))
        elif parts[0] == "redirect" and arg:
            n = int(arg)
            if n <= 0:
                return self.answer(200, b"done\n")
            target = "/redirect/%d%s" % (n - 1, "?" + url.query if url.query else "")
            self.send_response(302)
            self.send_header("Location", target if n > 1 else q.get("to", "/redirect/0"))
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif parts[0] == "slow":
            time.sleep(float(q.get("seconds", 10)))
            self.answer(200, q.get("text", "ok").encode())
        elif parts[0] == "big":
            self.big(int(q.get("size", 0)), q.get("length", "1") == "0")
        elif parts[0] == "echo":
            self.answer(200, json.dumps(seen).encode(), "application/json")
        else:
            self.answer(404, b"no such route\n")

    def check_auth(self, body):
        m = AUTH.fullmatch(self.headers.get("Authorization") or "")
        if not m:
            return "missing or malformed Authorization header"
        if abs(time.time() - int(m.group(1))) > 300:
            return "time stamp out of range"
        message = m.group(1).encode() + b":" + body
        if not hmac.compare_digest(b64url(hmac.new(self.server.key, message, hashlib.sha256).digest()), m.group(2)):
            return "MAC mismatch"
        pks = self.headers.get_all("sarvolt-pk") or []
        if len(pks) != 1 or not re.fullmatch(r"[0-9a-f]{64}", pks[0]):
            return "missing or malformed sarvolt-pk"
        return "ok"

    def controller_route(self, auth, path):
        routes = {"/api/nodes/me/networks/config.toml": ("GET", "networks"),
                  "/api/nodes/me/metrics": ("PUT", "metrics")}
        if routes.get(path, ("",))[0] != self.command:
            return self.answer(404, b"no such route\n")
        if auth != "ok":
            return self.answer(401, ("unauthorized: %s\n" % auth).encode())
        what = routes[path][1]
        how = self.server.behaviour().get(what, {})
        time.sleep(float(how.get("delay", 0)))
        if "status" in how:
            return self.answer(int(how["status"]), b"status %d\n" % int(how["status"]), "text/plain; charset=utf-8")
        if what == "metrics":
            return self.answer(200, b"")
        with open(os.path.join(self.server.dir, self.headers["sarvolt-pk"] + ".toml"), "rb") as f:
            self.answer(200, f.read(), "application/toml")

    def answer(self, status, body, ctype="text/plain"):
        self.send_response(status)
        if body:
            self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def big(self, size, chunked):
        data = b"x" * size
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header(*(("Transfer-Encoding", "chunked") if chunked else ("Content-Length", str(size))))
        self.end_headers()
        self.wfile.write(b"%x\r\n%s\r\n0\r\n\r\n" % (size, data) if chunked else data)


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128

    def __init__(self, a, key):
        super().__init__(("127.0.0.1", 0), Handler)
        self.dir, self.key = a.dir, key
        self.lock = threading.Lock()

    def behaviour(self):
        with open(os.path.join(self.dir, "behaviour.json")) as f:
            return json.load(f) or {}

    def record(self, seen):
        with self.lock, open(os.path.join(self.dir, "requests.jsonl"), "a") as f:
            f.write(json.dumps(seen) + "\n")

    def handle_error(self, request, client_address):
        pass


def main():
    p = argparse.ArgumentParser()
    for name in ("--dir", "--parent", "--cert", "--key", "--secret"):
        p.add_argument(name)
    a = p.parse_args()
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() != int(a.parent):
        raise SystemExit("http_server.py: the parent is gone")
    key = None if a.secret is None else base64.urlsafe_b64decode(a.secret + "=" * (-len(a.secret) % 4))
    server = Server(a, key)
    if a.cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(a.cert, a.key)
        # Each handshake happens at the first read, on the request's own thread.
        server.socket = tls.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    port = os.path.join(a.dir, "port")
    with open(port + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port + ".tmp", port)
    server.serve_forever(poll_interval=0.1)


if __name__ == "__main__":
    main()
