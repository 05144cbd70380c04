#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into tests/fuzz/corpus/<target>/.

Files named seed-* are rewritten; regress-* files (inputs that once found a
fault) are left alone. Run it again after changing an input layout."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# A valid secret key: Ed25519 seed 07..07 followed by its public key.
SK = ("07" * 32) + "ea4a6c63e29c520abef5507b132ec5f9954776aebebe7b92421eea691446d22c"
PK = {c: c * 64 for c in "abcdef"}
IDENT = f'[identity]\nsk = "{SK}"\npow = 1234\n'
SP = f'udp://127.0.0.1:22527?publicKey={PK["a"]}&networkId=1'
UUID = "0b0d7d06-8f3e-4b8a-9f51-2f0e5a3c1d77"
NET = (f'id = "{UUID}"\nnetwork = "10.0.0.0/24"\nname = "lab"\n'
       '[[node]]\npk = "{a}"\nip = "10.0.0.1"\nhostname = "alpha"\ngroups = ["admins", "dev"]\n'
       '[[node]]\npk = "{b}"\nip = "10.0.0.2"\nhostname = "Beta"\ngroups = ["dev"]\n'
       '[[node]]\npk = "{c}"\nip = "10.0.0.3"\nhostname = "gamma-1"\n'
       '[[route]]\ndest = "192.168.1.0/24"\ngw = "{b}"\n'
       '[[route]]\ndest = "0.0.0.0/0"\ngw = "{a}"\ngroups = ["dev"]\n'
       '[[policy]]\nsource_groups = ["admins"]\ndestination_groups = ["ALL"]\n'
       '[[policy]]\nsource_groups = ["dev"]\ndestination_groups = ["dev"]\n').format(**PK)
LIST_ENTRY = NET.replace("[[", "[[network.")
NODE = '[[node]]\npk = "{}"\nip = "{}"\nhostname = "{}"\n'
URLS = [
    "https://user:pw@h.example:8443/a/b?x=1#frag", "http://[::1]:80/", "HTTP://EXAMPLE.com/%7e/..",
    "file:///etc/sarvolt/net.toml", "file://host/share/n.toml", "controller://" + UUID,
    "http://0x7f.1/", "https://xn--nxasmq6b.example/", "https://bücher.example/", "sc:opaque path?q",
    "sc://u@h/p//q", "https:\\\\u:p@h\\x", "  http://h/ \t\n", "ws://h:0/", "http://a@b@c/", "//u:p@h/", SP,
    "http://192.168.0.257/", "web+x:/.//p",
]
MAGIC = b"\x1e\x3f\x50\x01"


def dns_name(name):
    return b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label) + b"\0"


def query(qid, name, qtype=1, qclass=1, flags=0x0100, opt=False, extra_q=()):
    qd = [(dns_name(name), qtype, qclass), *extra_q]
    body = b"".join(n + struct.pack(">HH", t, c) for n, t, c in qd)
    ar = b"\0" + struct.pack(">HHIH", 41, 1232, 0x8000, 0) if opt else b""
    return struct.pack(">HHHHHH", qid, flags, len(qd), 0, 0, int(opt)) + body + ar


def ipv4(src, dst, proto, payload, ihl=5, flags_frag=0):
    opts = b"\x01" * ((ihl - 5) * 4)
    addr = lambda a: bytes(map(int, a.split(".")))
    h = struct.pack(">BBHHHBBH4s4s", 0x40 | ihl, 0, (20 + len(opts) + len(payload)) & 0xFFFF, 0, flags_frag, 64, proto,
                    0, addr(src), addr(dst))
    return h + opts + payload


def udp(sport, dport, payload):
    return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload


def icmp_input(mtu, locals_, packet):
    nets = b"".join(bytes(map(int, net.split("."))) + bytes([length]) for net, length in locals_)
    return struct.pack(">HB", mtu, len(locals_)) + nets + packet


def net3(base, noise, length):
    return bytes([base, noise, length])


def firewall():
    # The first byte has no meaning. The prefix-map seeds are older inputs,
    # kept as they were.
    ops = b"".join(b"\x00" + net3(i % 8, i * 7 % 256, 8 + i) + struct.pack(">H", i) for i in range(20))
    ops += b"".join(b"\x03" + bytes([i % 8, i * 29 % 256]) for i in range(10))
    ops += b"\x04" + struct.pack(">I", 0x12345678) + b"\xc8" + bytes(range(16))
    ops += b"\x05\x01" + bytes(range(16)) + b"\x06\x00\x01\x01" + b"\x02" + net3(0, 0, 8)
    small = b"\x00" + b"".join(b"\x00" + net3(i % 8, i, 16 + i) + struct.pack(">H", i) for i in range(6))

    def rules(entries):
        return bytes([len(entries)]) + b"".join(bytes([out, 1]) + src + dst + bytes([pk]) for out, src, dst, pk in entries)

    probes = b"".join(bytes([i % 8, i, (i + 3) % 8, i * 3 % 256]) for i in range(8))
    net_a = b"\x00" + rules([(1, net3(0, 1, 32), net3(0, 2, 32), 0), (0, net3(0, 2, 32), net3(0, 1, 32), 0),
                             (1, net3(0, 1, 32), net3(3, 0, 24), 1), (0, net3(3, 0, 24), net3(0, 1, 32), 1)])
    net_b = b"\x00" + rules([(1, net3(0, 1, 32), net3(3, 0, 24), 2), (1, net3(4, 0, 0), net3(4, 0, 0), 3)])
    rounds = b"\x01" + net_a + net_b + probes + b"\x00" + net_a + probes
    return {"prefix-map": b"\x00" + ops, "prefix-map-small": small + b"\x03\x00\x01\x01\x00\x00\x00\x10",
            "rebuild": b"\x01\xff" + rounds, "rebuild-refused": b"\x01\x01" + rounds,
            "rebuild-skipped": b"\x01\xff\x02\x01" + net_a + b"\x02" + net_a + probes + b"\x00\x00" + probes}


def p2p():
    a, b = bytes.fromhex(PK["a"]), bytes.fromhex(PK["b"])
    hello = struct.pack(">BiiIQ", 2, 0, 1, 0, 4242)
    unite = b + b"\x04" + bytes([127, 0, 0, 1]) + b"\0" * 12 + struct.pack(">H", 4000)
    unite6 = b + b"\x06" + b"\0" * 10 + b"\xff\xff" + bytes([10, 0, 0, 1]) + struct.pack(">H", 9)

    # Super peer: kind byte (low 3 bits the operation), endpoint byte, then
    # the operation's bytes. HELLO: identity/flags, padding, timestamp,
    # epoch, counter.
    def hello_op(ep, k):
        return bytes([2, ep, k, 0]) + struct.pack(">I", 99) + b"\0" + struct.pack(">H", 0)

    def app_op(ep, k, short_id=0):
        return bytes([4 | 8, ep, k, short_id, 160])

    return {
        "hello": b"\x00" + MAGIC + b"\x01\x00" + a + b + hello,
        "unite": b"\x00" + MAGIC + b"\x03\x00" + a + b + unite,
        "unite-mapped": b"\x00" + MAGIC + b"\x03\x00" + a + b + unite6,
        "app-short": b"\x00" + MAGIC + b"\x04\x02" + a + b"\0\0\0\x07" + b"payload",
        "sealed": b"\x00" + MAGIC + b"\x04\x01" + a + b + b"\0" * 24 + b"\1" * 16,
        "relay": b"\x01" + hello_op(0, 0) + hello_op(1, 1) + app_op(0, 1 << 2) + app_op(1, 1),
        "relay-sealed": b"\x01" + hello_op(2, 4) + hello_op(3, 5) + app_op(2, 1 << 2) + hello_op(2, 4) + b"\xf6\0",
        "relay-moved": b"\x01" + hello_op(0, 0) + hello_op(4, 0) + hello_op(1, 1) + app_op(1, 1 | 0x40, 5) + b"\xfe\0",
        "relay-raw": b"\x01\0\0" + struct.pack(">H", 91) + MAGIC + b"\x01\x00" + a + b + hello,
    }


def seeds():
    q = query(1, "alpha.sarvolt.zz")
    lan = [("10.0.0.0", 24)]
    return {
        "fuzz_agent_config": {
            "minimal": IDENT,
            "full": f'mtu = 1400\nsuper_peers = [\n    "{SP}",\n]\nupdate_check = false\nauto_connect = true\n\n' +
            IDENT + f'\n[[network]]\nconfig_url = "controller://{UUID}"\ndisabled = false\n'
            '\n[[network]]\nconfig_url = "file:///etc/n.toml"\ndisabled = true\nname = "Lab \\"west\\"\\n"\n'
            '\n[[network]]\nconfig_url = "https://user:pw@h.example/b.toml?x=1#f"\ndisabled = false\n'
            '\n[dns]\ndisabled = true\n\n[controller]\nurl = "https://c.example/api"\n'
            'auth_url = "https://auth.example/"\nauth_client_id = "id"\ndisplay_login_email = "a@b.c"\n'
            'shared_secret = "s3cr\\u0001t"\n',
            "bare-sections": IDENT + "[dns]\n[controller]\nstatus = \"Ok\"\n",
            "empty-lists": "network = []\nsuper_peers = []\n" + IDENT,
            "bad-mtu": "mtu = 70000\n" + IDENT,
        },
        "fuzz_network_config": {
            "lab": NET,
            "arrays": 'network = "10.1.0.0/16"\nnode = [\n'
            f'  ["{PK["a"]}", "10.1.0.1", "a", ["g"]],\n  {{ pk = "{PK["b"]}", ip = "10.1.0.2", hostname = "b" }},\n]\n'
            f'route = [["10.2.0.0/16", "{PK["a"]}", []]]\npolicy = [[["g"], ["ALL"]]]\n',
            "duplicate-rule": 'network = "10.0.0.0/24"\n' + NODE.format(PK["a"], "10.0.0.1", "a") +
            NODE.format(PK["b"], "10.0.0.2", "b") + f'[[route]]\ndest = "10.0.0.2/32"\ngw = "{PK["b"]}"\n'
            '[[policy]]\nsource_groups = ["ALL"]\ndestination_groups = ["ALL"]\n',
            "invalid": 'network = "10.0.0.0/24"\n' + NODE.format(PK["a"], "10.9.0.1", "-x") +
            f'[[route]]\ndest = "10.5.0.7/16"\ngw = "{PK["f"]}"\n',
            "duplicates": 'network = "10.0.0.0/24"\n' + NODE.format(PK["a"], "10.0.0.1", "Ärger") +
            NODE.format(PK["b"], "10.0.0.2", "ärger"),
        },
        "fuzz_network_list": {
            "one": "[[network]]\n" + LIST_ENTRY,
            "two": "[[network]]\n" + LIST_ENTRY + '[[network]]\nnetwork = "10.9.0.0/16"\n'
            f'node = [{{ pk = "{PK["d"]}", ip = "10.9.0.1", hostname = "d" }}]\n',
            "inline": 'network = [{ network = "10.0.0.0/8" }, '
            '["0b0d7d068f3e4b8a9f512f0e5a3c1d77", "10.0.0.0/8", "n", [], [], []]]\n',
            "empty": "network = []\n",
        },
        "fuzz_url": {f"{i:02d}": u for i, u in enumerate(URLS)},
        "fuzz_dns_respond": {
            "a": query(0x1234, "alpha.sarvolt.zz"),
            "a-edns": query(7, "BeTa.SARVOLT.zz", opt=True),
            "aaaa": query(8, "gamma-1.sarvolt.zz", qtype=28),
            "any-class": query(9, "x.sarvolt.zz", qclass=255),
            "nxdomain": query(10, "nobody.sarvolt.zz"),
            "outside": query(11, "example.com"),
            "no-rd": query(12, "alpha.sarvolt.zz", flags=0),
            "notify": query(13, "alpha.sarvolt.zz", flags=0x2000 | 0x0100),
            "two-questions": query(14, "alpha.sarvolt.zz", extra_q=[(dns_name("beta.sarvolt.zz"), 1, 1)]),
            "response": query(15, "alpha.sarvolt.zz", flags=0x8100),
            # The question name by a compression pointer into a first question.
            "pointer": query(16, "alpha.sarvolt.zz", extra_q=[(b"\xc0\x0c", 1, 1)]),
        },
        "fuzz_dns_intercept": {  # cut byte, then the packet
            "query": b"\0" + ipv4("10.0.0.1", "10.0.0.254", 17, udp(5353, 53, q)),
            "second-server": b"\0" + ipv4("10.1.0.1", "10.1.255.254", 17, udp(1, 53, q)),
            "options": b"\0" + ipv4("10.0.0.1", "10.0.0.254", 17, udp(5353, 53, q), ihl=7),
            "cut": bytes([len(q) + 1]) + ipv4("10.0.0.1", "10.0.0.254", 17, udp(5353, 53, q)),
            "fragment": b"\0" + ipv4("10.0.0.1", "10.0.0.254", 17, udp(5, 53, q), flags_frag=0x2000),
            "port-5353": b"\0" + ipv4("10.0.0.1", "10.0.0.254", 17, udp(5, 5353, q)),
            "tcp": b"\0" + ipv4("10.0.0.1", "10.0.0.254", 6, udp(5, 53, q)),
        },
        "fuzz_icmp": {
            "udp": icmp_input(1280, lan, ipv4("10.0.0.1", "10.0.0.2", 17, udp(1000, 2000, b"x" * 30))),
            "echo": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.9", 1, b"\x08\0\0\0\0\1\0\1abcd")),
            "icmp-error": icmp_input(576, [], ipv4("10.0.0.1", "10.0.0.9", 1, b"\x03\x01\0\0\0\0\0\0")),
            "options": icmp_input(1400, lan, ipv4("10.0.0.1", "8.8.8.8", 17, udp(1, 2, b"p" * 12), ihl=15)),
            "fragment": icmp_input(1280, lan, ipv4("10.0.0.1", "8.8.8.8", 17, b"z" * 40, flags_frag=0x0010)),
            "directed-broadcast": icmp_input(1280, lan + [("10.1.0.0", 16)],
                                             ipv4("10.0.0.1", "10.1.255.255", 17, udp(1, 2, b""))),
            "control": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, MAGIC + b"\0" * 66))),
            "short": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 17, b"")),
            "odd": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 6, b"odd")),
            "control-options": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, MAGIC), ihl=15)),
            "control-tcp": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 6, udp(1, 2, MAGIC))),
            "control-cut": icmp_input(1280, [], ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, MAGIC))[:31]),
            # The control test reads neither the total length nor the fragment fields.
            "control-fields": icmp_input(1280, [], b"\x45\0\xff\xff\0\0\x21\x23" +
                                         ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, MAGIC))[8:]),
            "control-v6": icmp_input(1280, [], b"\x65" + ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, MAGIC))[1:]),
        },
        "fuzz_firewall": firewall(),
        "fuzz_p2p_wire": p2p(),
    }


if __name__ == "__main__":
    for target, files in seeds().items():
        os.makedirs(os.path.join(ROOT, target), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(ROOT, target, "seed-" + name), "wb") as f:
                f.write(data.encode() if isinstance(data, str) else data)
