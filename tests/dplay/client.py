#!/usr/bin/env python3
"""A scripted DirectPlay 4 client machine, written from the protocol document alone: against the
scripted host player of tests/dplay/transport_test.cpp, or with --road through the real host on
the session its working directory holds. Loopback only; exits 0 when every step held."""
import argparse, contextlib, http.client, json, os, queue, shutil, socket, struct
import subprocess, sys, threading, time, uuid


TOKEN_REMOTE, SIGNATURE, NOADDR = 0xFAB, b"play", b"\0\0\0\0"
ENUMSESSIONSREPLY, ENUMSESSIONS, ENUMPLAYERSREPLY = 0x01, 0x02, 0x03
REQUESTPLAYERID, REQUESTPLAYERREPLY, CREATEPLAYER = 0x05, 0x07, 0x08
DELETEPLAYER, ADDPLAYERTOGROUP, PLAYERNAMECHANGED, ADDFORWARDREQUEST = 0x0B, 0x0D, 0x10, 0x13
PING, PINGREPLY, YOUAREDEAD, SESSIONDESCCHANGED = 0x16, 0x17, 0x18, 0x1A
SUPERENUMPLAYERSREPLY, ADDFORWARD, ADDFORWARDACK = 0x29, 0x2E, 0x2F
SP, NS, PG, PL = 0x1, 0x2, 0x4, 0x8  # player flags: system player, name server, player group, local

# The simulator's application messages (little-endian: type, size, fields).
NET_NAME_REQUEST, NET_POSITION, NET_MOTION, NET_LAUNCH, NET_KILL = 0x1002, 0x100A, 0x100B, 0x1012, 0x1016
NET_PROBE, NET_PROBE_REPLY, NET_JOIN_TEAM, NET_JOIN_REFUSED, NET_PAUSE_STATE = 0x101A, 0x101B, 0x101C, 0x101D, 0x1020
NET_OBJECT_DATA_REQUEST, NET_DAMAGE_PROFILE, NET_TEXT, NET_HITS = 0x1021, 0x1022, 0x1025, 0x20003

STEP_TIMEOUT = 5.0


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def eq(got, want, what):
    check(got == want, "%s: %r, not %r" % (what, got, want))


def sockaddr(port, addr=NOADDR):
    return struct.pack("<H", 2) + struct.pack(">H", port) + addr + bytes(8)


def wstr(text):
    return text.encode("utf-16-le") + b"\0\0" if text is not None else b""


def stream_frame(head, body, port, addr=NOADDR):
    """Token and size, the sender's address, 8 bytes of head (signature and command, or ids), body."""
    return struct.pack("<I", TOKEN_REMOTE << 20 | 28 + len(body)) + sockaddr(port, addr) + head + body


def system_frame(command, version, body, port, addr=NOADDR):
    return stream_frame(SIGNATURE + struct.pack("<HH", command, version), body, port, addr)


def player_frame(id_from, id_to, payload, port):
    return stream_frame(struct.pack("<II", id_from, id_to), payload, port)


def enum_request(app, flags, port, version):
    return system_frame(ENUMSESSIONS, version, uuid.UUID(app).bytes_le + struct.pack("<II", 0, flags), port)


def packed_player(flags, pid, short, long_, sp, sysid, version, data=b""):
    s, l = wstr(short), wstr(long_)
    fixed = struct.pack("<12I", 48 + len(s) + len(l) + len(sp) + len(data), flags, pid, len(s), len(l), len(sp),
                        len(data), 0, sysid, 48, version, 0)
    return fixed + s + l + sp + data


def bind_in_runtime_range(sock, host_ip):
    """Like the runtime, a port from 2300-2400, where the host's side link looks for a client."""
    for port in range(2350, 2401):
        with contextlib.suppress(OSError):
            sock.bind((host_ip, port))
            return sock
    sock.bind((host_ip, 0))
    return sock


class Frame:
    """A frame of a stream (system or player message) or a bare datagram (player ids and payload)."""

    def __init__(self, raw, via="tcp"):
        self.raw, self.via, self.command = raw, via, None
        self.system = via == "tcp" and len(raw) >= 28 and raw[20:24] == SIGNATURE
        if via == "tcp":
            self.port, = struct.unpack_from(">H", raw, 6)
        if self.system:
            self.command, self.version = struct.unpack_from("<HH", raw, 24)
            self.body = raw[20:]  # offsets count from the signature
        else:
            at = 20 if via == "tcp" else 0
            self.id_from, self.id_to = struct.unpack_from("<II", raw, at)
            self.payload = raw[at + 8:]

    def u32(self, off):
        return struct.unpack_from("<I", self.body, off)[0]

    def string_at(self, off):
        return read_wstr(self.body, off)[0] if off else None


def split_frames(buf):
    """The whole frames at the start of a stream's bytes, and the rest."""
    frames = []
    while len(buf) >= 4 and 20 <= (size := struct.unpack_from("<I", buf)[0] & 0xFFFFF) <= len(buf):
        frames.append(buf[:size])
        buf = buf[size:]
    return frames, buf


def read_wstr(buf, pos):
    end = next((i for i in range(pos, len(buf) - 1, 2) if buf[i:i + 2] == b"\0\0"), None)
    check(end is not None, "string at %d runs past the end" % pos)
    return buf[pos:end].decode("utf-16-le"), end + 2


def session_desc(body, off):
    f = struct.unpack_from("<II16s16sII", body, off)
    return {"app": uuid.UUID(bytes_le=f[3]), "max": f[4], "current": f[5]}


def counted(buf, pos, kind, unit):
    """A count in a field of `kind` (0 absent, 1 byte, 2 word, 3 dword), then that many units."""
    size = (0, 1, 2, 4)[kind]
    n = int.from_bytes(buf[pos:pos + size], "little") * unit
    return buf[pos + size:pos + size + n], pos + size + n


def super_packed(buf, pos):
    size, flags, pid, mask, vers = struct.unpack_from("<5I", buf, pos)
    eq(size, 16, "super-packed player's size")
    e, pos = {"flags": flags, "id": pid, "version_or_system": vers, "short": None, "long": None}, pos + 20
    for key, bit in (("short", 1), ("long", 2)):
        if mask & bit:
            e[key], pos = read_wstr(buf, pos)
    e["data"], pos = counted(buf, pos, (mask >> 4) & 3, 1)
    e["sp"], pos = counted(buf, pos, (mask >> 2) & 3, 1)
    ids, pos = counted(buf, pos, (mask >> 6) & 3, 4)
    e["ids"] = list(struct.unpack("<%dI" % (len(ids) // 4), ids))
    pos += 4 if mask & 0x100 else 0  # the parent
    return e, counted(buf, pos, (mask >> 9) & 3, 4)[1]  # the shortcuts


def packed(buf, pos):
    size, flags, pid, slen, llen, splen, dlen, count, _sys, fixed, _ver, _parent = struct.unpack_from("<12I", buf, pos)
    eq(fixed, 48, "packed player's fixed size")
    p = pos + 48
    e = {"flags": flags, "id": pid, "short": buf[p:p + slen - 2].decode("utf-16-le") if slen else None,
         "long": buf[p + slen:p + slen + llen - 2].decode("utf-16-le") if llen else None}
    p += slen + llen
    e["sp"] = buf[p:p + splen]
    p += splen + dlen
    e["ids"] = list(struct.unpack_from("<%dI" % count, buf, p))
    return e, p + 4 * count


def sp_data(raw):
    eq(len(raw), 32, "SP data's size")
    return {k: (socket.inet_ntoa(raw[at + 4:at + 8]), struct.unpack_from(">H", raw, at + 2)[0])
            for k, at in (("stream", 0), ("datagram", 16))}


def name_table(f, command=None):
    if command is not None:
        eq(f.command, command, "name table's command")
    players, groups, packed_off, _shortcuts, desc_off, name_off = struct.unpack_from("<6I", f.body, 8)
    t = {"desc": session_desc(f.body, desc_off), "name": f.string_at(name_off), "players": [], "groups": []}
    reader, pos = super_packed if f.command == SUPERENUMPLAYERSREPLY else packed, packed_off
    for key in ["players"] * players + ["groups"] * groups:
        e, pos = reader(f.body, pos)
        t[key].append(e)
    return t


def need(entries, what, **kw):
    """The name table's entry with the values of `kw`."""
    e = next((e for e in entries if all(e.get(k) == v for k, v in kw.items())), None)
    check(e is not None, "no %s (%r) in the name table" % (what, kw))
    return e


class Inbox:
    """What arrives on a queue (None: nothing more will), claimed by the steps that expect it."""

    def __init__(self, label):
        self.label, self.inbox, self.backlog = label, queue.Queue(), []

    def expect(self, what, pred, timeout=STEP_TIMEOUT):
        """The first that satisfies `pred`; the others wait in the backlog for later steps."""
        for i, f in enumerate(self.backlog):
            if pred(f):
                return self.backlog.pop(i)
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            try:
                f = self.inbox.get(timeout=left)
            except queue.Empty:
                break
            check(f is not None, "%s: gone while waiting for %s" % (self.label, what))
            if pred(f):
                return f
            self.backlog.append(f)
        raise Failure("%s: no %s within %.1f s (unclaimed: %s)" % (self.label, what, timeout,
                                                                  ", ".join(map(self.show, self.backlog[-30:]))))

    def pending(self):
        while not self.inbox.empty():
            self.backlog.append(self.inbox.get())
        out, self.backlog = self.backlog, []
        return out


class Machine(Inbox):
    """A client machine: a stream listener and datagram socket of its own, a stream to the host.
    Another loopback address stands for another machine."""

    def __init__(self, label, host_ip, version, source=None):
        super().__init__(label)
        self.host_ip, self.version, self.source = host_ip, version, source or host_ip
        self.ack_forwards, self.alive, self.system_id, self.out = True, True, None, None
        self.claimed_addr = NOADDR  # what the prefix says; the host must not believe it
        self.send_lock = threading.Lock()
        self.received = []  # (source port, our port, bytes): every stream frame, for the capture
        self.listener = bind_in_runtime_range(socket.socket(socket.AF_INET, socket.SOCK_STREAM), self.source)
        self.listener.listen(16)
        self.udp = bind_in_runtime_range(socket.socket(socket.AF_INET, socket.SOCK_DGRAM), self.source)
        self.stream_port, self.datagram_port = self.listener.getsockname()[1], self.udp.getsockname()[1]
        self.sockets = [self.listener, self.udp]
        threading.Thread(target=self._accept, daemon=True).start()
        threading.Thread(target=self._udp, daemon=True).start()

    def _accept(self):
        with contextlib.suppress(OSError):
            while self.alive:
                conn, peer = self.listener.accept()
                self.sockets.append(conn)
                threading.Thread(target=self._read, args=(conn, peer[1]), daemon=True).start()

    def _read(self, conn, peer):
        buf = b""
        with contextlib.suppress(OSError):
            for chunk in iter(lambda: conn.recv(65536), b""):
                frames, buf = split_frames(buf + chunk)
                for raw in frames:
                    self.received.append((peer, self.stream_port, raw))
                    f = Frame(raw)
                    if f.command == ADDFORWARD and self.ack_forwards:
                        self.send(ADDFORWARDACK, struct.pack("<I", f.u32(12)))  # at once, as a runtime does
                    if f.command == PING and self.system_id:
                        self.send(PINGREPLY, struct.pack("<II", self.system_id, f.u32(12)))
                    self.inbox.put(f)

    def _udp(self):
        with contextlib.suppress(OSError):
            while self.alive:
                data = self.udp.recv(65536)
                if self.alive and len(data) >= 8:
                    self.inbox.put(Frame(data, "udp"))

    def expect_command(self, command, what, extra=lambda f: True, timeout=STEP_TIMEOUT):
        return self.expect(what, lambda f: f.command == command and extra(f), timeout)

    @staticmethod
    def show(f):
        return "cmd 0x%02X" % f.command if f.system else "net 0x%X %08X->%08X" % (net_kind(f) or 0, f.id_from, f.id_to)

    def connect(self, port):
        self.out = socket.create_connection((self.host_ip, port), STEP_TIMEOUT, (self.source, 0))
        self.sockets.append(self.out)

    def send(self, command, body):
        with self.send_lock:
            self.out.sendall(system_frame(command, self.version, body, self.stream_port, self.claimed_addr))

    def say(self, frm, to, payload):  # guaranteed, on our stream
        with self.send_lock:
            self.out.sendall(player_frame(frm, to, payload, self.stream_port))

    def datagram(self, frm, to, payload, port):  # unguaranteed, to the host's datagram port
        self.udp.sendto(struct.pack("<II", frm, to) + payload, (self.host_ip, port))

    def sp(self):
        return sockaddr(self.stream_port) + sockaddr(self.datagram_port)

    def request_id(self, flags):
        self.send(REQUESTPLAYERID, struct.pack("<I", flags))
        f = self.expect_command(REQUESTPLAYERREPLY, "RequestPlayerReply")
        eq((f.version, f.u32(44)), (self.version, 0), "%s: RequestPlayerReply's dialect and result" % self.label)
        return f.u32(8)

    def join(self, host_stream_port):
        """Our system player, asked for and forwarded; returns the name table's frame."""
        self.connect(host_stream_port)
        self.system_id = self.request_id(SP | PL)
        player = packed_player(SP | PL, self.system_id, None, None, self.sp(), self.system_id, self.version)
        self.send(ADDFORWARDREQUEST, struct.pack("<5I", 0, self.system_id, 0, 28, 0) + player + struct.pack("<I", 1))
        f = self.expect("name table", lambda f: f.command in (SUPERENUMPLAYERSREPLY, ENUMPLAYERSREPLY))
        eq(f.version, self.version, "%s: name table's dialect" % self.label)
        return f

    def create_player(self, short, long_, data=b""):
        pid = self.request_id(PL)
        info = packed_player(PL, pid, short, long_, self.sp(), self.system_id, self.version, data)
        self.send(CREATEPLAYER, struct.pack("<5I", 0, pid, 0, 28, 0) + info + bytes(6))
        return pid

    def rename(self, pid, short, long_):
        s, l = wstr(short), wstr(long_)
        self.send(PLAYERNAMECHANGED, struct.pack("<4I", 0, pid, 24, 24 + len(s)) + s + l)

    def ask(self, pid, host_player, text, prefix):
        """A text command to the scripted host player; its answer."""
        self.say(pid, host_player, text.encode("ascii"))
        f = self.expect("answer to %r" % text, lambda f: f.via == "tcp" and not f.system and
                        f.payload.startswith(prefix.encode()))
        eq((f.id_from, f.id_to), (host_player, pid), "%s: the answer's ids" % self.label)
        return f.payload.decode("ascii")

    def leave(self, *players):
        """Our players, then our system player, deleted; then the machine is gone."""
        with contextlib.suppress(OSError):
            for pid in (p for p in players + (self.system_id,) if p):
                self.send(DELETEPLAYER, struct.pack("<5I", 0, pid, 0, 0, 0))
            time.sleep(0.2)
        self.close()

    def close(self):
        self.alive = False
        for s in self.sockets:
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
            s.close()


def enumerate_host(m, args, tcp=False):
    """Direct over UDP (and TCP, when asked). Every reply comes on a stream of the host's, in our
    dialect, with a zero prefix address, and names what the first named. Returns (stream port,
    description, name)."""
    replies = []

    def reply(what):
        f = m.expect_command(ENUMSESSIONSREPLY, "enumeration reply (%s)" % what)
        eq((f.version, f.raw[8:12]), (m.version, NOADDR), "%s reply's dialect and prefix address" % what)
        replies.append((f.port, session_desc(f.body, 8), f.string_at(f.u32(88))))
        eq(replies[-1][1]["app"], uuid.UUID(args.app), "%s reply's application" % what)
        eq(replies[-1][::2], replies[0][::2], "%s reply's port and session name" % what)

    request = enum_request(args.app, 1, m.stream_port, m.version)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((m.source, 0))
    udp.sendto(request, (args.host, args.enum_port))
    reply("UDP")
    if tcp:
        with socket.create_connection((args.host, args.enum_port), STEP_TIMEOUT, (m.source, 0)) as t:
            t.sendall(request)
            reply("TCP")
    udp.close()
    return replies[0]


def run(args):
    a = Machine("A", args.host, 14)
    host_port, desc, name = enumerate_host(a, args, tcp=True)
    eq((name, desc["max"]), (args.session_name, args.max_players), "session name and size")
    check(host_port and desc["current"] >= 1, "stream port %d, %d players" % (host_port, desc["current"]))

    # A joins: the host's machine, its player and its group are in the name table.
    t = name_table(a.join(host_port), SUPERENUMPLAYERSREPLY)
    eq(t["name"], args.session_name, "name table's session")
    host_sys = need(t["players"], "name server", flags=SP | NS | PG)
    eq(host_sys["version_or_system"], 14, "host system player's version")
    sp = sp_data(host_sys["sp"])
    eq(sp["stream"], (args.host, host_port), "host's stream address")
    datagram_port = sp["datagram"][1]
    check(need(t["players"], "own system player", id=a.system_id)["flags"] & SP, "own system player's flags")
    hp = need(t["players"], "host player", long=args.host_long, version_or_system=host_sys["id"])["id"]
    red = need(t["groups"], "host's group", short=args.group)
    check(hp in red["ids"], "group %r without the host player" % args.group)

    # A's player: created, renamed, into the team; messages both ways.
    pa = a.create_player("Alpha", "Alpha[]", b"Alpha's data")
    check("%08x=Alpha[]" % pa in a.ask(pa, hp, "names", "names:"), "host does not know Alpha")
    a.rename(pa, "Alpha", "Alpha[]R")
    check("%08x=Alpha[]R" % pa in a.ask(pa, hp, "names", "names:"), "rename not seen")
    pc = a.create_player("Charlie", "Charlie[]")  # deleted on its own, its machine staying
    a.send(DELETEPLAYER, struct.pack("<5I", 0, pc, 0, 0, 0))
    check("%08x=" % pc not in a.ask(pa, hp, "names", "names:"), "Charlie not deleted")
    a.send(ADDPLAYERTOGROUP, struct.pack("<5I", 0, pa, red["id"], 0, 0))
    check("%08x" % pa in a.ask(pa, hp, "members:%08x" % red["id"], "members:"), "Alpha not in the team")
    eq(a.ask(pa, hp, "echo:hello", "got:"), "got:hello", "echo")
    eq(a.ask(pa, hp, "addr", "addr:"), "addr:" + args.host, "player address")
    # To all, unguaranteed, on the datagram port: the host answers to all the same way.
    a.datagram(pa, 0, b"shout:x", datagram_port)
    g = a.expect("datagram to all", lambda f: f.via == "udp" and f.payload == b"all:x")
    eq((g.id_from, g.id_to), (hp, 0), "datagram's ids")
    # And to all over the stream.
    a.say(pa, 0, b"echo:to-all")
    a.expect("answer to a message to all", lambda f: not f.system and f.payload == b"got:to-all")

    # Pings: ours answered by the host's system player, a stranger's with YouAreDead.
    a.send(PING, struct.pack("<II", a.system_id, 424242))
    eq(a.expect_command(PINGREPLY, "PingReply", lambda f: f.u32(12) == 424242).u32(8), host_sys["id"], "PingReply")
    a.send(PING, struct.pack("<II", 0x7777, 1))
    a.expect_command(YOUAREDEAD, "YouAreDead for a stranger's ping")

    # A malformed message costs its stream, nothing else.
    with socket.create_connection((args.host, host_port), timeout=STEP_TIMEOUT) as bad:
        body = struct.pack("<5I", 0, pa, 0, 4000, 0)  # CreatePlayer whose player lies beyond the end
        bad.sendall(system_frame(CREATEPLAYER, 14, body, a.stream_port))
        try:
            check(bad.recv(16) == b"", "malformed stream left open")
        except ConnectionResetError:
            pass
    check("%08x=Alpha[]R" % pa in a.ask(pa, hp, "names", "names:"), "session touched by a malformed message")

    # B (DX6) joins later and learns A from the host.
    b = Machine("B", args.host, 9)
    b.claimed_addr = socket.inet_aton("127.0.0.2")  # nobody listens there: replies must come to 127.0.0.1
    eq(enumerate_host(b, args)[0], host_port, "B's stream port")
    tb = name_table(b.join(host_port), SUPERENUMPLAYERSREPLY)
    fwd = a.expect_command(ADDFORWARD, "AddForward for B", lambda f: f.u32(12) == b.system_id)
    eq(fwd.version, 14, "AddForward's dialect")
    eq(sp_data(packed(fwd.body, fwd.u32(20))[0]["sp"])["stream"], (args.host, b.stream_port), "B as told to A")
    a_sp = sp_data(need(tb["players"], "A's machine", id=a.system_id)["sp"])
    eq((a_sp["stream"], a_sp["datagram"]), ((args.host, a.stream_port), (args.host, a.datagram_port)), "A as told to B")
    need(tb["players"], "Alpha", id=pa, long="Alpha[]R", version_or_system=a.system_id, data=b"Alpha's data")
    check(pa in need(tb["groups"], "team", id=red["id"])["ids"], "B does not see Alpha in the team")
    pb = b.create_player("Bravo", "Bravo[]")
    names = b.ask(pb, hp, "names", "names:")
    check("%08x=Bravo[]" % pb in names and "%08x=Alpha[]R" % pa in names, "B's view: %s" % names)
    # The host changes the description: both hear it, each in its dialect.
    a.say(pa, hp, b"desc:Evening")
    for m in (a, b):
        d = m.expect_command(SESSIONDESCCHANGED, "SessionDescChanged")
        eq((d.version, d.string_at(d.u32(12))), (m.version, "Evening"), "description change")
    b.datagram(pb, 0, b"shout:y", datagram_port)
    for m in (a, b):
        m.expect("datagram to all", lambda f: f.via == "udp" and f.payload == b"all:y")

    # B vanishes: A hears from the host that B's players are gone.
    b.close()
    a.expect_command(DELETEPLAYER, "DeletePlayer for Bravo", lambda f: f.u32(12) == pb)
    a.expect_command(DELETEPLAYER, "DeletePlayer for B's machine", lambda f: f.u32(12) == b.system_id)

    # C speaks a dialect older than DX6: the plain name table. Then C and A leave.
    c = Machine("C", args.host, 7)
    need(name_table(c.join(host_port), ENUMPLAYERSREPLY)["players"], "Alpha at C", id=pa)
    c.leave()
    a.leave(pa)


def net(kind, fields=b""):
    return struct.pack("<II", kind, len(fields)) + fields


def net_text(kind, text):
    return net(NET_TEXT, struct.pack("<I", kind) + text + b"\0")


def net_hits(entries):
    """entries: (repeat count, damage per hit); the damage of one is damage x (count + 1)."""
    return net(NET_HITS, struct.pack("<I", len(entries)) + b"".join(
        struct.pack("<IHB5s", count, 0, damage, bytes(5)) for count, damage in entries))


def net_kind(f):
    return None if f.system or len(f.payload) < 8 else struct.unpack_from("<I", f.payload, 0)[0]


def expect_net(m, kind, what, frm=None, to=None, extra=lambda f: True, timeout=STEP_TIMEOUT):
    return m.expect(what, lambda f: net_kind(f) == kind and (frm is None or f.id_from == frm) and
                    (to is None or f.id_to == to) and extra(f), timeout)


def status_letter(long_name):
    """The state a long name announces: the low two bits of its last letter after ']'."""
    if long_name and len(long_name) >= 2 and long_name[-2] == "]":
        return ("NFFly", "Flying", "Waiting", "Ready")[(ord(long_name[-1]) - ord("A")) & 3]


class Console:
    """The operator console over HTTP, the token as a bearer credential: the main window's
    controls, read, typed into and clicked."""

    def __init__(self, port, token):
        self.port, self.token = port, token

    def request(self, path, command=None):
        """The body of a GET, or of a POST of `command`."""
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=STEP_TIMEOUT)
        c.request("POST" if command else "GET", path, json.dumps(command) if command else None,
                  {"Authorization": "Bearer " + self.token})
        r = c.getresponse()
        data = r.read()
        check(r.status in (200, 202), "console %s: %d %r" % (path, r.status, data[:80]))
        return data

    def main_window(self):
        for _ in range(50):
            for d in json.loads(self.request("/state")).get("dialogs", []):
                ids = {c["id"]: c for c in d["controls"]}
                if {1000, 1001, 1002} <= ids.keys():
                    return d["hwnd"], ids
            time.sleep(0.1)
        raise Failure("the console shows no main window")

    def chat_pane(self):
        return self.main_window()[1][1000]["text"]

    def players(self):
        return self.main_window()[1][1076].get("items", [])

    def command(self, op, control, **more):
        hwnd, ids = self.main_window()
        check(ids[control]["enabled"], "control %d is disabled" % control)
        self.request("/command", dict(op=op, hwnd=hwnd, control=control, **more))


def wait_until(what, predicate, timeout=STEP_TIMEOUT):
    end = time.monotonic() + timeout
    while not predicate():
        check(time.monotonic() < end, what)
        time.sleep(0.1)


# The sample session (Default.cfg) the road plays: its objects' aircraft and its teams' groups.
TARGETS = {"Henderson Field": "AirFld_Henderson", "Tug Henderson": "Quarneld Target Tug",
           "Freighter Tulagi": "Cargo_Ship_QD", "Munda Strip": "runway_Munda", "Fuel Dump Vila": "Fuel_Dump_QD"}
TEAMS = {"T0": "Target ", "T1": "Target2", "A0": "Attack ", "B0": "Bomber ", "D0": "Defend ", "N0": "Cactus Air Force"}


def host_view(t):
    """The host's system player, its objects (long names "AJ[]...") and the host's own identity."""
    host_sys = need(t["players"], "name server", flags=SP | NS | PG)
    objects = [p for p in t["players"] if not p["flags"] & SP and (p["long"] or "").startswith("AJ[]")]
    # The first object carries the letters E..H and speaks for the host.
    firsts = [p for p in objects if (ord(p["long"][-1]) - ord("A")) >> 2 == 1]
    check(objects and len(firsts) == 1, "host identity among %r" % [p["long"] for p in objects])
    return host_sys, objects, firsts[0]["id"]


def check_dashboard(consoles, args, pa, team, objects):
    """status.json shows Alpha on its team; the metrics count the machine and its frames."""
    alpha = dict(id=pa, kind="client", name="Alpha", team=team["short"], status="Waiting", aircraft="Spitfire")
    check(alpha in json.loads(consoles.request("/status.json"))["players"], "status.json without %r" % alpha)
    text = consoles.request("/metrics")
    samples = dict(line.rsplit(" ", 1) for line in text.decode().splitlines() if line and not line.startswith("#"))
    want = {"quarneld_machines_joined": 1, "quarneld_machine_joins_total": 1,
            'quarneld_players{kind="client",status="Waiting"}': 1,
            'quarneld_players{kind="object",status="Waiting"}': len(objects)}
    eq({k: float(samples.get(k, -1)) for k in want}, want, "metrics")
    stream = '{direction="%s",kind="stream"}'
    for key in ("quarneld_frames_total" + stream % "in", "quarneld_frames_total" + stream % "out",
                "quarneld_bytes_total" + stream % "in", 'quarneld_enumeration_requests_total{result="answered"}'):
        check(float(samples.get(key, 0)) > 0, "metrics %s = %r" % (key, samples.get(key)))
    with open(os.path.join(args.workdir, "metrics.txt"), "wb") as out:  # for promtool
        out.write(text)


def road(args):
    with open(os.path.join(args.workdir, "quarneld", "configs", "Default.txt"), "rb") as f:
        welcome = f.read()
    # An address of this run's own: the side link finds a client by the streams of its address.
    own = "127.%d.%d." % (100 + os.getpid() % 100, 1 + os.getpid() // 100 % 250)
    m = Machine("A", args.host, 14, own + "1")

    # 1. Find the session over UDP and TCP.
    host_port, desc, name = enumerate_host(m, args, tcp=True)
    eq(desc["current"], len(TARGETS), "players announced for the objects")

    # 2. Join; the name table shows the host's objects and teams.
    t = name_table(m.join(host_port), SUPERENUMPLAYERSREPLY)
    eq(t["name"], name, "name table's session")
    host_sys, objects, hp = host_view(t)
    datagram_port = sp_data(host_sys["sp"])["datagram"][1]
    by_name = {p["short"]: p for p in objects}
    eq(sorted(by_name), sorted(TARGETS), "host objects")
    for short, p in by_name.items():
        # The aircraft title as the host completed it from the simulator's files.
        parts = p["long"].split("[]")
        check(len(parts) == 3 and parts[1].startswith(TARGETS[short]) and
              parts[2] == ("G" if p["id"] == hp else "C"), "object %r long name %r" % (short, p["long"]))  # Waiting
    groups = {g["short"]: g for g in t["groups"]}
    eq(sorted(groups), sorted(TEAMS.values()), "team groups")

    # 3. A player; the host's welcome.
    pa = m.create_player("Alpha", "xA[]Spitfire[]G")
    w = expect_net(m, NET_TEXT, "welcome NET_TEXT", hp, pa)
    eq((w.via, w.payload), ("tcp", net_text(2, welcome)), "welcome")

    # 4. A team taken; a dashboard sees it.
    team = groups[TEAMS["A0"]]
    m.say(pa, hp, net(NET_JOIN_TEAM, struct.pack("<I", team["id"])))
    m.expect_command(ADDPLAYERTOGROUP, "AddPlayerToGroup", lambda f: {f.u32(12), f.u32(16)} == {team["id"], pa})
    check_dashboard(Console(args.console_port, args.console_token), args, pa, team, objects)

    # 5. Ready; the host's objects turn Ready, then the launch.
    def renamed(ids, state, what):
        left = set(ids)
        while left:
            f = m.expect_command(PLAYERNAMECHANGED, what, lambda f: f.u32(12) in left)
            if status_letter(f.string_at(f.u32(20))) in state:
                left.discard(f.u32(12))

    m.rename(pa, "Alpha", "xA[]Spitfire[]H")
    renamed([p["id"] for p in objects], ("Ready",), "objects turning Ready")
    renamed([p["id"] for p in objects], ("Flying", "NFFly"), "objects turning Flying")
    eq(expect_net(m, NET_LAUNCH, "NET_LAUNCH", hp, pa).payload[16:20], struct.pack("<I", pa), "NET_LAUNCH's player")
    # The host's side link writes the player's own settings onto a connection of its own:
    # 264 bytes, version 11, the game flagged as running, the team's start values.
    sd = m.expect_command(SESSIONDESCCHANGED, "per-player settings message",
                          lambda f: len(f.raw) == 264 and f.version == 11 and (f.u32(88) >> 24) & 1 == 1)
    eq(sd.u32(12), 100, "settings name offset")
    eq(sd.u32(96), 200, "settings dwUser4: team A0's start speed")
    # The objects came into the game with a position and two motions each, to all.
    for p in objects:
        for kind in (NET_POSITION, NET_MOTION, NET_MOTION):
            expect_net(m, kind, "0x%X of %s" % (kind, p["short"]), p["id"], 0)

    # 6. Flying; the object data of every object.
    m.rename(pa, "Alpha", "xA[]Spitfire[]F")
    for short, p in by_name.items():
        m.say(pa, p["id"], net(NET_OBJECT_DATA_REQUEST))
        for kind in (NET_DAMAGE_PROFILE, NET_POSITION, NET_MOTION, NET_MOTION):
            expect_net(m, kind, "0x%X of %s" % (kind, short), p["id"], pa)

    # 7. A second machine joins during the game and learns Alpha from the host.
    b = Machine("B", args.host, 9, own + "2")
    eq(enumerate_host(b, args)[0], host_port, "B's stream port")
    tb = name_table(b.join(host_port))
    m.expect_command(ADDFORWARD, "AddForward for B", lambda f: f.u32(12) == b.system_id)
    need(tb["players"], "Alpha at B", id=pa, long="xA[]Spitfire[]F")
    pb = b.create_player("Bravo", "xB[]Corsair[]G")
    eq(expect_net(b, NET_TEXT, "welcome NET_TEXT for Bravo", hp, pb).payload[12:], welcome + b"\0", "Bravo's welcome")

    # 8. A hit by datagram destroys an object (1,020 of its 800 life points); NET_KILL about 4 s later.
    vid = by_name["Tug Henderson"]["id"]
    m.datagram(pa, vid, net_hits([(3, 255)]), datagram_port)
    destroyed_at = time.monotonic()
    expect_net(m, NET_POSITION, "position of the destroyed object", vid, pa)
    k = expect_net(m, NET_KILL, "NET_KILL", vid, 0, timeout=8)
    waited = time.monotonic() - destroyed_at
    eq(k.payload, struct.pack("<IIII", NET_KILL, 8, 0, pa), "NET_KILL")
    check(3.5 < waited < 6, "NET_KILL after %.1f s" % waited)
    expect_net(b, NET_KILL, "NET_KILL at B", vid, 0)
    m.expect_command(PLAYERNAMECHANGED, "destroyed object back to Waiting",
                     lambda f: f.u32(12) == vid and status_letter(f.string_at(f.u32(20))) == "Waiting")

    # 9. B leaves; A lands, the objects go back to the ready room; A leaves.
    b.leave(pb)
    m.rename(pa, "Alpha", "xA[]Spitfire[]G")
    renamed([p["id"] for p in objects if p["id"] != vid], ("Waiting",), "objects back in the ready room")
    m.leave(pa)
    check_capture(os.path.join(args.workdir, "road.pcap"), m.received + b.received)


def wireshark(pcap, *fields):
    """The lines of Wireshark's dissection that signal trouble, and the chosen fields of each frame.
    LBM's SRS and RSocket would guess DirectPlay frames naming port 2300 to be theirs: switched off."""
    base = ["tshark", "--disable-protocol", "lbmsrs", "--disable-protocol", "rsocket", "-r", pcap]
    full = subprocess.run(base + ["-V"], capture_output=True, text=True, timeout=120, check=True).stdout
    complaints = [l.strip() for l in full.splitlines() if "Malformed" in l or "Unknown (0x" in l or
                  "Unknown command" in l or ("Expert Info" in l and "/Sequence)" not in l)]
    rows = subprocess.run(base + ["-T", "fields", "-E", "separator=|", "-E", "occurrence=f"] +
                          [x for f in fields or ("frame.number",) for x in ("-e", f)], capture_output=True, text=True,
                          timeout=120, check=True).stdout
    return complaints, [line.split("|") for line in rows.splitlines()]


def check_capture(path, received):
    """Wireshark reads the system messages the clients received from the host as the client read
    them: command, dialect, player count, session name. Player messages carry no envelope (its
    heuristic claims only some) and bare datagrams no prefix; the former must read cleanly too."""
    if not shutil.which("tshark"):
        return print("tshark not installed: Wireshark check skipped")
    frames = [(r, Frame(r[2])) for r in received]
    write_pcap(path, [r for r, f in frames if f.system])
    write_pcap(path + ".player", [r for r, f in frames if not f.system])
    want = []
    for f in (f for _, f in frames if f.system):
        players = name = ""
        if f.command == ENUMSESSIONSREPLY:
            players, name = session_desc(f.body, 8)["current"], f.string_at(f.u32(88))
        elif f.command == SESSIONDESCCHANGED:
            players, name = session_desc(f.body, 20)["current"], f.string_at(f.u32(12))
        elif f.command in (SUPERENUMPLAYERSREPLY, ENUMPLAYERSREPLY):
            t = name_table(f)
            players, name = t["desc"]["current"], t["name"]
        want.append("0x%04x|0x%04x|%s|%s" % (f.command, f.version, players, name or ""))
    complaints, rows = wireshark(path, "dplay.command", "dplay.dialect.version", "dplay.sess_desc.curr_players",
                                 "dplay.type_01.game_name", "dplay.type_29.game_name", "dplay.type_1a.session_name")
    check(not complaints, "Wireshark on %s: %s" % (path, complaints[:10]))
    eq(len(rows), len(want), "frames Wireshark read")
    for i, (r, w) in enumerate(zip(rows, want)):
        eq("|".join(r[:3] + [r[3] or r[4] or r[5]]), w, "frame %d as Wireshark read it" % (i + 1))
    check(len(want) > 20, "only %d system messages" % len(want))
    complaints = wireshark(path + ".player")[0]
    check(not complaints, "Wireshark on %s.player: %s" % (path, complaints[:10]))


def write_pcap(path, frames):
    """The stream frames a client received, inside made-up IPv4/TCP headers (checksums zero, as
    Wireshark checks none unless asked to)."""
    out, seq = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 101)), {}
    for i, (src, dst, data) in enumerate(frames):
        n, total = seq.get((src, dst), 1), 40 + len(data)
        seq[(src, dst)] = n + len(data)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 6, 0, b"\x7f\0\0\x01", b"\x7f\0\0\x01")
        tcp = struct.pack(">HHIIBBHHH", src, dst, n, 1, 0x50, 0x18, 65535, 0, 0)
        out += struct.pack("<IIII", 1700000000, i, total, total) + ip + tcp + data
    with open(path, "wb") as f:
        f.write(out)


def parser():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1"])  # loopback only
    p.add_argument("--app", required=True)
    for option in ("--enum-port", "--console-port", "--max-players"):
        p.add_argument(option, type=int)
    # --session-name, --host-long, --group: the transport test's scripted host.
    for option in ("--workdir", "--console-token", "--session-name", "--host-long", "--group"):
        p.add_argument(option)
    return p


def main():
    p = parser()
    p.add_argument("--road", action="store_true", help="through the real host that runs on --workdir")
    args = p.parse_args()
    try:
        (road if args.road else run)(args)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    print("OK: every step held")
    return 0


if __name__ == "__main__":
    sys.exit(main())
