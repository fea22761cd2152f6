#!/usr/bin/env python3
"""A scripted DirectPlay 4 client machine, written from the protocol document alone.

It plays the road of client machines through a session hosted by quarneld on
127.0.0.1: enumeration, the join, a player created, renamed and moved into a team,
application messages both ways, pings, a malformed stream, a second machine that
learns the first from the host, a vanished machine, a pre-DX6 machine, and leaving.

The host side runs a small scripted host player that answers text commands (see
tests/dplay/transport_test.cpp). Standard library only; exits 0 when every step held.
"""
import argparse
import queue
import socket
import struct
import sys
import threading
import time
import uuid

TOKEN_REMOTE = 0xFAB
SIGNATURE = b"play"

ENUMSESSIONSREPLY = 0x01
ENUMSESSIONS = 0x02
ENUMPLAYERSREPLY = 0x03
REQUESTPLAYERID = 0x05
REQUESTPLAYERREPLY = 0x07
CREATEPLAYER = 0x08
DELETEPLAYER = 0x0B
ADDPLAYERTOGROUP = 0x0D
PLAYERNAMECHANGED = 0x10
ADDFORWARDREQUEST = 0x13
PING = 0x16
PINGREPLY = 0x17
YOUAREDEAD = 0x18
SESSIONDESCCHANGED = 0x1A
SUPERENUMPLAYERSREPLY = 0x29
ADDFORWARD = 0x2E
ADDFORWARDACK = 0x2F

SP, NS, PG, PL = 0x1, 0x2, 0x4, 0x8
STEP_TIMEOUT = 5.0


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


# ---- encoding, from the message layouts -------------------------------------------

def sockaddr(port, addr=b"\0\0\0\0"):
    return struct.pack("<H", 2) + struct.pack(">H", port) + addr + bytes(8)


def wstr(text):
    return text.encode("utf-16-le") + b"\0\0"


def system_frame(command, version, body, port, addr=b"\0\0\0\0"):
    size = 20 + 8 + len(body)
    return (struct.pack("<I", TOKEN_REMOTE << 20 | size) + sockaddr(port, addr) + SIGNATURE +
            struct.pack("<HH", command, version) + body)


def player_frame(id_from, id_to, payload, port):
    size = 20 + 8 + len(payload)
    return struct.pack("<I", TOKEN_REMOTE << 20 | size) + sockaddr(port) + struct.pack("<II", id_from, id_to) + payload


def bind_in_runtime_range(sock, host_ip):
    for port in range(2350, 2401):
        try:
            sock.bind((host_ip, port))
            return
        except OSError:
            continue
    sock.bind((host_ip, 0))


def packed_player(flags, pid, short, long_, sp, sysid, version, data=b""):
    s = wstr(short) if short is not None else b""
    l = wstr(long_) if long_ is not None else b""
    fixed = struct.pack("<12I", 48 + len(s) + len(l) + len(sp) + len(data), flags, pid, len(s), len(l), len(sp),
                        len(data), 0, sysid, 48, version, 0)
    return fixed + s + l + sp + data


# ---- decoding ----------------------------------------------------------------------

class Frame:
    def __init__(self, raw, via):
        self.raw = raw
        self.via = via
        word, = struct.unpack_from("<I", raw, 0)
        self.size = word & 0xFFFFF
        self.token = word >> 20
        self.port, = struct.unpack_from(">H", raw, 6)
        self.addr = raw[8:12]
        self.system = len(raw) >= 28 and raw[20:24] == SIGNATURE
        if self.system:
            self.command, self.version = struct.unpack_from("<HH", raw, 24)
            self.body = raw[20:]  # offsets count from the signature
        else:
            self.command = None
            self.id_from, self.id_to = struct.unpack_from("<II", raw, 20)
            self.payload = raw[28:]

    def u32(self, off):
        return struct.unpack_from("<I", self.body, off)[0]

    def string_at(self, off):
        if off == 0:
            return None
        end = off
        while self.body[end:end + 2] != b"\0\0":
            end += 2
        return self.body[off:end].decode("utf-16-le")


class Bare:
    """A player message on the datagram port: ids and payload, nothing else."""

    def __init__(self, raw):
        self.via = "udp"
        self.command = None
        self.system = False
        self.id_from, self.id_to = struct.unpack_from("<II", raw, 0)
        self.payload = raw[8:]


def session_desc(body, off):
    f = struct.unpack_from("<II16s16sIIIIIIIIII", body, off)
    return {"flags": f[1], "instance": uuid.UUID(bytes_le=f[2]), "app": uuid.UUID(bytes_le=f[3]),
            "max": f[4], "current": f[5], "user1": f[10]}


def read_wstr(buf, pos):
    end = pos
    while buf[end:end + 2] != b"\0\0":
        end += 2
    return buf[pos:end].decode("utf-16-le"), end + 2


def var_len(buf, pos, kind):
    if kind == 1:
        return buf[pos], pos + 1
    if kind == 2:
        return struct.unpack_from("<H", buf, pos)[0], pos + 2
    return struct.unpack_from("<I", buf, pos)[0], pos + 4


def super_packed(buf, pos):
    size, flags, pid, mask, vers = struct.unpack_from("<5I", buf, pos)
    check(size == 16, "super-packed player size %d" % size)
    pos += 20
    e = {"flags": flags, "id": pid, "version_or_system": vers, "short": None, "long": None, "data": b"",
         "sp": b"", "ids": []}
    if mask & 1:
        e["short"], pos = read_wstr(buf, pos)
    if mask & 2:
        e["long"], pos = read_wstr(buf, pos)
    if (mask >> 4) & 3:
        n, pos = var_len(buf, pos, (mask >> 4) & 3)
        e["data"], pos = buf[pos:pos + n], pos + n
    if (mask >> 2) & 3:
        n, pos = var_len(buf, pos, (mask >> 2) & 3)
        e["sp"], pos = buf[pos:pos + n], pos + n
    if (mask >> 6) & 3:
        n, pos = var_len(buf, pos, (mask >> 6) & 3)
        e["ids"] = list(struct.unpack_from("<%dI" % n, buf, pos))
        pos += 4 * n
    if mask & 0x100:
        pos += 4
    if (mask >> 9) & 3:
        n, pos = var_len(buf, pos, (mask >> 9) & 3)
        pos += 4 * n
    return e, pos


def packed(buf, pos):
    (size, flags, pid, slen, llen, splen, dlen, count, sysid, fixed, version, parent) = struct.unpack_from("<12I", buf,
                                                                                                          pos)
    check(fixed == 48, "packed player fixed size %d" % fixed)
    p = pos + 48
    e = {"flags": flags, "id": pid, "short": None, "long": None, "system": sysid, "version": version}
    if slen:
        e["short"] = buf[p:p + slen - 2].decode("utf-16-le")
    p += slen
    if llen:
        e["long"] = buf[p:p + llen - 2].decode("utf-16-le")
    p += llen
    e["sp"] = buf[p:p + splen]
    p += splen + dlen
    e["ids"] = list(struct.unpack_from("<%dI" % count, buf, p))
    return e, p + 4 * count


def sp_data(raw):
    check(len(raw) == 32, "SP data of %d bytes" % len(raw))
    s_port, = struct.unpack_from(">H", raw, 2)
    d_port, = struct.unpack_from(">H", raw, 18)
    return {"stream": (socket.inet_ntoa(raw[4:8]), s_port), "datagram": (socket.inet_ntoa(raw[20:24]), d_port)}


def name_table(f):
    players, groups, packed_off, shortcuts, desc_off, name_off, _pw = struct.unpack_from("<7I", f.body, 8)
    t = {"desc": session_desc(f.body, desc_off), "name": f.string_at(name_off), "players": [], "groups": []}
    pos = packed_off
    reader = super_packed if f.command == SUPERENUMPLAYERSREPLY else packed
    for _ in range(players):
        e, pos = reader(f.body, pos)
        t["players"].append(e)
    for _ in range(groups):
        e, pos = reader(f.body, pos)
        t["groups"].append(e)
    return t


# ---- one client machine ------------------------------------------------------------------

class Machine:
    def __init__(self, label, host_ip, version, source=None):
        self.label = label
        self.host_ip = host_ip
        self.version = version
        # Another loopback address stands for another machine on the network.
        self.source = source or host_ip
        self.ack_forwards = True
        self.inbox = queue.Queue()
        self.backlog = []
        self.sockets = []
        # Like the runtime, the machine's own ports are taken from 2300-2400, where the
        # host's side link looks for a client's DirectPlay port.
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        bind_in_runtime_range(self.listener, self.source)
        self.listener.listen(16)
        self.stream_port = self.listener.getsockname()[1]
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        bind_in_runtime_range(self.udp, self.source)
        self.datagram_port = self.udp.getsockname()[1]
        self.sockets += [self.listener, self.udp]
        self.out = None
        self.send_lock = threading.Lock()
        self.system_id = None
        self.alive = True
        self.claimed_addr = b"\0\0\0\0"  # what the prefix says; the host must not believe it
        self.received = []  # (tcp?, source port, our port, bytes): every frame, for the capture
        threading.Thread(target=self._accept, daemon=True).start()
        threading.Thread(target=self._udp, daemon=True).start()

    def _accept(self):
        while self.alive:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.sockets.append(conn)
            threading.Thread(target=self._read, args=(conn,), daemon=True).start()

    def _read(self, conn):
        buf = b""
        try:
            peer = conn.getpeername()[1]
        except OSError:
            return
        while self.alive:
            try:
                chunk = conn.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while len(buf) >= 4:
                size = struct.unpack_from("<I", buf, 0)[0] & 0xFFFFF
                if size < 20 or len(buf) < size:
                    break
                f = Frame(buf[:size], "tcp")
                self.received.append((True, peer, self.stream_port, buf[:size]))
                buf = buf[size:]
                if f.system and f.command == ADDFORWARD and self.ack_forwards:
                    # As a runtime does: acknowledge a newcomer at once.
                    self.send(ADDFORWARDACK, struct.pack("<I", f.u32(12)))
                if f.system and f.command == PING and self.system_id:
                    self.send(PINGREPLY, struct.pack("<II", self.system_id, f.u32(12)))
                self.inbox.put(f)

    def _udp(self):
        while self.alive:
            try:
                data, source = self.udp.recvfrom(65536)
            except OSError:
                return
            if not self.alive or source is None:
                return
            self.received.append((False, source[1], self.datagram_port, data))
            if len(data) >= 8:
                self.inbox.put(Bare(data))

    def expect(self, what, pred, timeout=STEP_TIMEOUT):
        for i, f in enumerate(self.backlog):
            if pred(f):
                return self.backlog.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                seen = ["%s%s" % ("cmd 0x%02X" % f.command if f.system else "net 0x%X" % (net_kind(f) or 0),
                                  "" if f.system else " %08X->%08X" % (f.id_from, f.id_to)) for f in self.backlog]
                raise Failure("%s: no %s within %.1f s (unclaimed: %s)" % (self.label, what, timeout,
                                                                          ", ".join(seen[-30:])))
            try:
                f = self.inbox.get(timeout=left)
            except queue.Empty:
                continue
            if pred(f):
                return f
            self.backlog.append(f)

    def expect_command(self, command, what, extra=lambda f: True, timeout=STEP_TIMEOUT):
        return self.expect(what, lambda f: f.system and f.command == command and extra(f), timeout)

    def connect(self, port):
        self.out = socket.create_connection((self.host_ip, port), timeout=STEP_TIMEOUT,
                                            source_address=(self.source, 0))
        self.sockets.append(self.out)

    def send(self, command, body, sock=None):
        with self.send_lock:
            (sock or self.out).sendall(system_frame(command, self.version, body, self.stream_port, self.claimed_addr))

    def sp(self):
        return sockaddr(self.stream_port) + sockaddr(self.datagram_port)

    def request_id(self, flags):
        self.send(REQUESTPLAYERID, struct.pack("<I", flags))
        f = self.expect_command(REQUESTPLAYERREPLY, "RequestPlayerReply")
        check(f.version == self.version, "%s: reply in dialect %d, not %d" % (self.label, f.version, self.version))
        result = f.u32(44)
        check(result == 0, "%s: RequestPlayerReply result 0x%08X" % (self.label, result))
        return f.u32(8)

    def join(self, host_stream_port):
        self.connect(host_stream_port)
        self.system_id = self.request_id(SP | PL)
        player = packed_player(SP | PL, self.system_id, None, None, self.sp(), self.system_id, self.version)
        body = struct.pack("<5I", 0, self.system_id, 0, 28, 0) + player + struct.pack("<I", 12345)
        self.send(ADDFORWARDREQUEST, body)
        f = self.expect("name table", lambda f: f.system and f.command in (SUPERENUMPLAYERSREPLY, ENUMPLAYERSREPLY))
        check(f.version == self.version, "%s: name table in dialect %d" % (self.label, f.version))
        return f

    def create_player(self, short, long_):
        pid = self.request_id(PL)
        info = packed_player(PL, pid, short, long_, self.sp(), self.system_id, self.version)
        body = struct.pack("<5I", 0, pid, 0, 28, 0) + info + bytes(6)
        self.send(CREATEPLAYER, body)
        return pid, body

    def rename(self, pid, short, long_):
        s, l = wstr(short), wstr(long_)
        self.send(PLAYERNAMECHANGED, struct.pack("<4I", 0, pid, 24, 24 + len(s)) + s + l)

    def say(self, pid, to, text):
        with self.send_lock:
            self.out.sendall(player_frame(pid, to, text.encode("ascii"), self.stream_port))

    def ask(self, pid, host_player, text, prefix):
        self.say(pid, host_player, text)
        f = self.expect("answer to %r" % text,
                        lambda f: not f.system and f.via == "tcp" and f.payload.startswith(prefix.encode()))
        check(f.id_from == host_player and f.id_to == pid,
              "%s: answer from %08X to %08X" % (self.label, f.id_from, f.id_to))
        return f.payload.decode("ascii")

    def close(self):
        self.alive = False
        for s in self.sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()


def enum_request(app, flags, port, version):
    body = uuid.UUID(app).bytes_le + struct.pack("<II", 0, flags)
    return system_frame(ENUMSESSIONS, version, body, port)


def enumerate_sessions(m, args):
    """Direct over UDP and TCP, then broadcast; every reply comes on a stream of the host's."""
    def reply(what, timeout=STEP_TIMEOUT):
        f = m.expect_command(ENUMSESSIONSREPLY, what, timeout=timeout)
        check(f.version == m.version, "enumeration reply in dialect %d" % f.version)
        desc = session_desc(f.body, 8)
        name = f.string_at(f.u32(88))
        check(desc["app"] == uuid.UUID(args.app), "application %s" % desc["app"])
        check(name == args.session_name, "session name %r" % name)
        check(desc["current"] >= 1 and desc["max"] == args.max_players, "players %d of %d" % (desc["current"],
                                                                                             desc["max"]))
        check(f.raw[8:12] == b"\0\0\0\0", "the reply's prefix address must be zero")
        return f.port, desc

    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), (args.host, args.enum_port))
    port, desc = reply("enumeration reply (UDP)")
    # Another application's enumeration gets no answer.
    udp.sendto(enum_request("{00000000-1111-2222-3333-444444444444}", 2, m.stream_port, m.version),
               (args.host, args.enum_port))
    try:
        m.expect_command(ENUMSESSIONSREPLY, "reply", timeout=0.5)
        raise Failure("a reply to another application's enumeration")
    except Failure as e:
        if "another" in str(e):
            raise
    with socket.create_connection((args.host, args.enum_port), timeout=STEP_TIMEOUT) as t:
        t.sendall(enum_request(args.app, 1, m.stream_port, m.version))
        port2, _ = reply("enumeration reply (TCP)")
    check(port == port2, "two stream ports named")
    try:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), ("127.255.255.255", args.enum_port))
        reply("enumeration reply (broadcast)", timeout=1.5)
        print("broadcast enumeration answered")
    except (OSError, Failure) as e:
        print("broadcast enumeration skipped (the loopback sandbox does not deliver it here: %s)" % e)
    udp.close()
    return port


def find(entries, **kw):
    for e in entries:
        if all(e.get(k) == v for k, v in kw.items()):
            return e
    return None


def run(args):
    a = Machine("A", args.host, 14)
    host_port = enumerate_sessions(a, args)
    check(host_port != 0, "no stream port named")

    # --- A joins -----------------------------------------------------------------------
    f = a.join(host_port)
    check(f.command == SUPERENUMPLAYERSREPLY, "DX9 client got command %d" % f.command)
    t = name_table(f)
    check(t["name"] == args.session_name, "name table session %r" % t["name"])
    host_sys = find(t["players"], flags=SP | NS | PG)
    check(host_sys is not None, "no name server among %r" % t["players"])
    check(host_sys["version_or_system"] == 14, "host system player version %d" % host_sys["version_or_system"])
    sp = sp_data(host_sys["sp"])
    check(sp["stream"] == (args.host, host_port), "host stream address %r" % (sp["stream"],))
    datagram_port = sp["datagram"][1]
    me = find(t["players"], id=a.system_id)
    check(me is not None and me["flags"] & SP, "own system player missing")
    host_player = find(t["players"], long=args.host_long)
    check(host_player is not None, "host player %r missing" % args.host_long)
    check(host_player["version_or_system"] == host_sys["id"], "host player's system player")
    hp = host_player["id"]
    red = find(t["groups"], short=args.group)
    check(red is not None and hp in red["ids"], "group %r with the host player" % args.group)

    # --- A's player: created, renamed, into the team; messages both ways -------------------
    pa, _ = a.create_player("Alpha", "Alpha[]")
    names = a.ask(pa, hp, "names", "names:")
    check("%08x=Alpha[]" % pa in names, "host does not know Alpha: %s" % names)
    a.rename(pa, "Alpha", "Alpha[]R")
    names = a.ask(pa, hp, "names", "names:")
    check("%08x=Alpha[]R" % pa in names, "rename not seen: %s" % names)
    a.send(ADDPLAYERTOGROUP, struct.pack("<5I", 0, pa, red["id"], 0, 0))
    members = a.ask(pa, hp, "members:%08x" % red["id"], "members:")
    check("%08x" % pa in members, "not in the team: %s" % members)
    check(a.ask(pa, hp, "echo:hello", "got:") == "got:hello", "echo")
    check(a.ask(pa, hp, "addr", "addr:") == "addr:" + args.host, "player address")
    # To all, unguaranteed, on the datagram port: the host answers to all the same way.
    a.udp.sendto(struct.pack("<II", pa, 0) + b"shout:x", (args.host, datagram_port))
    g = a.expect("datagram to all", lambda f: f.via == "udp" and f.payload == b"all:x")
    check(g.id_from == hp and g.id_to == 0, "datagram ids %08X %08X" % (g.id_from, g.id_to))
    # And to all over the stream.
    a.say(pa, 0, "echo:to-all")
    a.expect("answer to a message to all", lambda f: not f.system and f.payload == b"got:to-all")

    # --- pings --------------------------------------------------------------------------
    a.send(PING, struct.pack("<II", a.system_id, 424242))
    r = a.expect_command(PINGREPLY, "PingReply", lambda f: f.u32(12) == 424242)
    check(r.u32(8) == host_sys["id"], "ping reply names %08X" % r.u32(8))
    a.send(PING, struct.pack("<II", 0x7777, 1))
    a.expect_command(YOUAREDEAD, "YouAreDead for a stranger's ping")

    # --- a malformed message costs its stream, nothing else ------------------------------------
    bad = socket.create_connection((args.host, host_port), timeout=STEP_TIMEOUT)
    body = struct.pack("<5I", 0, pa, 0, 4000, 0)  # CreatePlayer whose player lies beyond the end
    bad.sendall(system_frame(CREATEPLAYER, 14, body, a.stream_port))
    bad.settimeout(STEP_TIMEOUT)
    try:
        check(bad.recv(16) == b"", "malformed stream left open")
    except ConnectionResetError:
        pass
    bad.close()
    names = a.ask(pa, hp, "names", "names:")
    check("%08x=Alpha[]R" % pa in names, "session touched by a malformed message: %s" % names)

    # --- B (DX6) joins later and learns A from the host -----------------------------------------
    b = Machine("B", args.host, 9)
    b.claimed_addr = socket.inet_aton("127.0.0.2")  # nobody listens there: replies must come to 127.0.0.1
    check(enumerate_direct(b, args) == host_port, "B told another port")
    b.connect(host_port)
    b.system_id = b.request_id(SP | PL)
    player = packed_player(SP | PL, b.system_id, None, None, b.sp(), b.system_id, 9)
    b.send(ADDFORWARDREQUEST, struct.pack("<5I", 0, b.system_id, 0, 28, 0) + player + struct.pack("<I", 1))
    fwd = a.expect_command(ADDFORWARD, "AddForward for B", lambda f: f.u32(12) == b.system_id)
    check(fwd.version == 14, "AddForward to A in dialect %d" % fwd.version)
    fp, _ = packed(fwd.body, fwd.u32(20))
    check(sp_data(fp["sp"])["stream"] == (args.host, b.stream_port), "B's address as told to A")
    f = b.expect("name table", lambda f: f.system and f.command == SUPERENUMPLAYERSREPLY)
    check(f.version == 9, "B's name table in dialect %d" % f.version)
    tb = name_table(f)
    a_sys = find(tb["players"], id=a.system_id)
    check(a_sys is not None, "B does not learn A's machine")
    check(sp_data(a_sys["sp"])["stream"] == (args.host, a.stream_port), "A's address as told to B")
    check(sp_data(a_sys["sp"])["datagram"] == (args.host, a.datagram_port), "A's datagram address")
    alpha = find(tb["players"], id=pa)
    check(alpha is not None and alpha["long"] == "Alpha[]R", "B does not learn Alpha: %r" % alpha)
    check(alpha["version_or_system"] == a.system_id, "Alpha's system player")
    check(pa in find(tb["groups"], id=red["id"])["ids"], "B does not see Alpha in the team")
    pb, create_body = b.create_player("Bravo", "Bravo[]")
    with socket.create_connection((args.host, a.stream_port), timeout=STEP_TIMEOUT) as peer:
        b.send(CREATEPLAYER, create_body, sock=peer)  # peers tell each other directly
        a.expect_command(CREATEPLAYER, "B's CreatePlayer at A", lambda f: f.u32(12) == pb)
    names = b.ask(pb, hp, "names", "names:")
    check("%08x=Bravo[]" % pb in names and "%08x=Alpha[]R" % pa in names, "B's view: %s" % names)
    # The host changes the description: both hear it, each in its dialect.
    a.say(pa, hp, "desc:Evening")
    for m in (a, b):
        d = m.expect_command(SESSIONDESCCHANGED, "SessionDescChanged")
        check(d.version == m.version, "description change in dialect %d" % d.version)
        check(d.string_at(d.u32(12)) == "Evening", "new session name")
    b.udp.sendto(struct.pack("<II", pb, 0) + b"shout:y", (args.host, datagram_port))
    for m in (a, b):
        m.expect("datagram to all", lambda f: f.via == "udp" and f.payload == b"all:y")

    # --- B vanishes: A hears from the host that B's players are gone -----------------------------
    b.close()
    a.expect_command(DELETEPLAYER, "DeletePlayer for Bravo", lambda f: f.u32(12) == pb)
    a.expect_command(DELETEPLAYER, "DeletePlayer for B's machine", lambda f: f.u32(12) == b.system_id)

    # --- C speaks a dialect older than DX6: the plain name table ----------------------------------
    c = Machine("C", args.host, 7)
    f = c.join(host_port)
    check(f.command == ENUMPLAYERSREPLY, "pre-DX6 client got command %d" % f.command)
    tc = name_table(f)
    check(find(tc["players"], id=pa) is not None, "C does not learn Alpha")
    c.send(DELETEPLAYER, struct.pack("<5I", 0, c.system_id, 0, 0, 0))
    c.close()

    # --- A leaves ---------------------------------------------------------------------------------
    a.send(DELETEPLAYER, struct.pack("<5I", 0, pa, 0, 0, 0))
    a.send(DELETEPLAYER, struct.pack("<5I", 0, a.system_id, 0, 0, 0))
    time.sleep(0.2)
    a.close()


def enumerate_direct(m, args):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((m.source, 0))
    udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), (args.host, args.enum_port))
    f = m.expect_command(ENUMSESSIONSREPLY, "enumeration reply")
    check(f.version == m.version, "enumeration reply in dialect %d" % f.version)
    udp.close()
    return f.port


# ---- the simulator's application messages (little-endian: type, size, fields) -------------

NET_NAME_REPLY = 0x1001
NET_NAME_REQUEST = 0x1002
NET_TIME_SYNC = 0x1009
NET_POSITION = 0x100A
NET_MOTION = 0x100B
NET_OBJECT_HEADER = 0x100C
NET_OBJECT_BODY = 0x100D
NET_LAUNCH = 0x1012
NET_KILL = 0x1016
NET_PROBE = 0x101A
NET_PROBE_REPLY = 0x101B
NET_JOIN_TEAM = 0x101C
NET_JOIN_REFUSED = 0x101D
NET_PAUSE_STATE = 0x1020
NET_OBJECT_DATA_REQUEST = 0x1021
NET_DAMAGE_PROFILE = 0x1022
NET_TEXT = 0x1025
NET_HITS = 0x20003
NET_EFFECT = 0x20004

LAT_UNITS = 111130.5556  # metres per degree
LONG_UNITS = 11930458.17  # longitude units per degree


def net(kind, fields=b""):
    return struct.pack("<II", kind, len(fields)) + fields


def net_text(kind, text):
    return net(NET_TEXT, struct.pack("<I", kind) + text + b"\0")


def net_hits(entries):
    """entries: (repeat count, damage per hit); the damage of one is damage x (count + 1)."""
    body = struct.pack("<I", len(entries))
    for count, damage in entries:
        body += struct.pack("<IHB5s", count, 0, damage, bytes(5))
    return net(NET_HITS, body)


def net_kind(f):
    if f.system or len(f.payload) < 8:
        return None
    return struct.unpack_from("<I", f.payload, 0)[0]


def c_text(buf, off):
    end = buf.index(b"\0", off)
    return buf[off:end]


def status_letter(long_name):
    """The state a long name announces: the low two bits of its last letter after ']'."""
    if long_name is None or len(long_name) < 2 or long_name[-2] != "]":
        return None
    return ("NFFly", "Flying", "Waiting", "Ready")[(ord(long_name[-1]) - ord("A")) & 3]


def decompress(stream, size):
    """The damage profile's bit stream, read least significant bit first."""
    bits = int.from_bytes(stream, "little")
    total = len(stream) * 8
    pos = [0]

    def take(n):
        check(pos[0] + n <= total, "damage profile stream ends early")
        v = (bits >> pos[0]) & ((1 << n) - 1)
        pos[0] += n
        return v

    def mark():
        check(take(16) == 0xFFFD, "no end mark at %d" % len(out))

    out = bytearray()
    while len(out) < size:
        if take(1) == 0:
            out.append(take(7))
        elif take(1) == 1:
            out.append(0x80 | take(7))
        else:
            if take(1) == 0:
                d = take(6)
            elif take(1) == 0:
                d = 64 + take(8)
            else:
                d = 320 + take(12)
            k = 0
            while take(1) == 0:
                k += 1
                check(k < 16, "length code too long")
            length = ((1 << k) | take(k)) + 2
            check(0 < d <= len(out), "match distance %d at %d" % (d, len(out)))
            check((len(out) % 512) + length <= 512, "match across a block at %d" % len(out))
            for _ in range(length):
                out.append(out[-d])
        if len(out) % 512 == 0:
            mark()
    mark()
    check(len(out) == size, "damage profile of %d bytes, header says %d" % (len(out), size))
    check(total - pos[0] < 8, "damage profile stream has %d bits left over" % (total - pos[0]))
    return bytes(out)


def split(value):
    whole = int(value)  # toward zero
    return whole, int((value - whole) * 65536) & 0xFFFF


def check_position(what, payload, at, lat, lon, heading):
    lat_w, lon_w, _alt = struct.unpack_from("<iii", payload, at + 4)
    attitude, = struct.unpack_from("<I", payload, at)
    check(abs(lat_w - lat * LAT_UNITS) < 2, "%s: latitude %d, not %.1f" % (what, lat_w, lat * LAT_UNITS))
    check(abs(lon_w - lon * LONG_UNITS) < 2, "%s: longitude %d, not %.1f" % (what, lon_w, lon * LONG_UNITS))
    check((attitude >> 2) & 0x3FF == int(heading * 1023 / 360), "%s: heading bits %d" % (what, (attitude >> 2) & 0x3FF))
    check(attitude & 0x3FF003 == 0, "%s: attitude word 0x%08X" % (what, attitude))


class Console:
    """The operator console's HTTP commands: the operator types a chat line and sends it."""

    def __init__(self, port, token):
        self.port, self.token = port, token

    def request(self, method, path, body=None):
        import http.client
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=STEP_TIMEOUT)
        c.request(method, path + "?token=" + self.token, body=body,
                  headers={"Content-Type": "application/json"} if body else {})
        r = c.getresponse()
        data = r.read()
        c.close()
        check(r.status in (200, 202), "console %s %s: %d %r" % (method, path, r.status, data[:80]))
        return data

    def scrape(self, path, auth=True):
        """A dashboard's request: the token as a bearer credential; (status, body)."""
        import http.client
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=STEP_TIMEOUT)
        c.request("GET", path, headers={"Authorization": "Bearer " + self.token} if auth else {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data.decode("utf-8")

    def main_window(self):
        import json
        for _ in range(50):
            state = json.loads(self.request("GET", "/state"))
            for d in state.get("dialogs", []):
                ids = {c["id"]: c for c in d["controls"]}
                if 1000 in ids and 1001 in ids and 1002 in ids:
                    return d["hwnd"], ids
            time.sleep(0.1)
        raise Failure("the console shows no main window")

    def chat_pane(self):
        return self.main_window()[1][1000]["text"]

    def say(self, text):
        import json
        hwnd, _ = self.main_window()
        self.request("POST", "/command", json.dumps({"op": "type", "hwnd": hwnd, "control": 1001, "text": text}))
        self.request("POST", "/command", json.dumps({"op": "click", "hwnd": hwnd, "control": 1002}))


def write_pcap(path, frames):
    """The frames a client received, inside made-up IPv4/TCP or UDP headers."""
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 101))
    seq = {}
    for i, (tcp, src, dst, data) in enumerate(frames):
        l4 = 20 if tcp else 8
        total = 20 + l4 + len(data)
        ip = bytearray(struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 6 if tcp else 17, 0,
                                   b"\x7f\0\0\x01", b"\x7f\0\0\x01"))
        s = sum(struct.unpack(">10H", bytes(ip)))
        while s >> 16:
            s = (s & 0xFFFF) + (s >> 16)
        ip[10:12] = struct.pack(">H", ~s & 0xFFFF)
        if tcp:
            n = seq.get((src, dst), 1)
            seq[(src, dst)] = n + len(data)
            l4h = struct.pack(">HHIIBBHHH", src, dst, n, 1, 0x50, 0x18, 65535, 0, 0)
        else:
            l4h = struct.pack(">HHHH", src, dst, 8 + len(data), 0)
        out += struct.pack("<IIII", 1700000000, i, total, total) + ip + l4h + data
    with open(path, "wb") as f:
        f.write(out)



def send_player(m, frm, to, payload, guaranteed=True, datagram_port=None):
    """Guaranteed on our stream to the host; otherwise a bare datagram to its datagram port."""
    if guaranteed:
        with m.send_lock:
            m.out.sendall(player_frame(frm, to, payload, m.stream_port))
    else:
        m.udp.sendto(struct.pack("<II", frm, to) + payload, (m.host_ip, datagram_port))


def expect_net(m, kind, what, frm=None, to=None, extra=lambda f: True, timeout=STEP_TIMEOUT):
    return m.expect(what, lambda f: net_kind(f) == kind and (frm is None or f.id_from == frm) and
                    (to is None or f.id_to == to) and extra(f), timeout)


def team_name(section, keys):
    """A team's group name: its kind's text, whose trailing blank the section's digit may replace."""
    base = {"T": "Target ", "B": "Bomber ", "E": "Escort ", "D": "Defend ", "A": "Attack ", "N": "Team "}[section[0]]
    if section[0] == "N" and "NAME" in keys:
        return keys["NAME"]
    return base if section[1] == "0" else base[:-1] + chr(ord(section[1]) + 1)


def parse_coordinate(text):
    import re
    g = re.fullmatch(r'\s*([NSEW])\s*(\d+)\*\s*(\d+)\'\s*([\d.]+)"\s*', text)
    check(g is not None, "coordinate %r" % text)
    v = int(g.group(2)) + int(g.group(3)) / 60 + float(g.group(4)) / 3600
    return -v if g.group(1) in "SW" else v


def read_targets(workdir):
    """The session's targets as its configuration names them (sections QDL_OBJECT.n)."""
    import configparser
    import os
    ini = configparser.ConfigParser(interpolation=None, comment_prefixes=(";",), strict=False)
    ini.optionxform = str
    with open(os.path.join(workdir, "quarneld", "quarneld.ini"), encoding="cp1252") as f:
        ini.read_file(f)
    name = ini.get("QDL_USER_PREFS", "SESSION_CFG_NAME", fallback="Default")
    cfg = os.path.join(workdir, "quarneld", "configs", name + ".cfg")
    sess = configparser.ConfigParser(interpolation=None, comment_prefixes=(";",), strict=False)
    sess.optionxform = str
    with open(cfg, encoding="cp1252") as f:
        sess.read_file(f)
    targets = {}
    for section in sess.sections():
        if section.startswith("QDL_OBJECT."):
            s = sess[section]
            targets[s["NAME"]] = {"aircraft": s["AIRCRAFT"], "lat": parse_coordinate(s["START_LAT"]),
                                  "lon": parse_coordinate(s["START_LONG"]),
                                  "heading": float(s.get("START_HEADING", "0")),
                                  "life": int(s.get("LIFE_POINTS", "0")),
                                  "bombing": s.get("IS_BOMBING_TARGET", "0").strip() == "1"}
    with open(os.path.join(workdir, "quarneld", "configs", name + ".txt"), "rb") as f:
        welcome = f.read()
    return targets, welcome, sess


def profiles(workdir):
    """Every damage-profile file below the working directory, by content."""
    import os
    found = {}
    for root, _dirs, files in os.walk(workdir):
        for n in files:
            if n.lower().endswith(".dp"):
                with open(os.path.join(root, n), "rb") as f:
                    found[f.read()] = n
    return found


def host_view(t):
    """The host's system player, its objects (long names "AJ[]...") and the host's own identity."""
    host_sys = find(t["players"], flags=SP | NS | PG)
    check(host_sys is not None, "no name server in the name table")
    objects = [p for p in t["players"] if not p["flags"] & SP and (p["long"] or "").startswith("AJ[]")]
    check(objects, "no host objects in the name table")
    # The first object carries the letters E..H and speaks for the host.
    firsts = [p for p in objects if (ord(p["long"][-1]) - ord("A")) >> 2 == 1]
    check(len(firsts) == 1, "host identity among %r" % [p["long"] for p in objects])
    return host_sys, objects, firsts[0]["id"]


def join_pilot(label, args, version, short, aircraft):
    """Enumerate, join, create the pilot's player; returns the machine, its player and the name table."""
    m = Machine(label, args.host, version)
    host_port = enumerate_direct(m, args)
    f = m.join(host_port)
    check(f.command == (SUPERENUMPLAYERSREPLY if version >= 9 else ENUMPLAYERSREPLY),
          "%s: name table command %d" % (label, f.command))
    t = name_table(f)
    pid, _ = m.create_player(short, "x%s[]%s[]G" % (label, aircraft))
    return m, pid, t


def road(args):
    targets, welcome, sess = read_targets(args.workdir)
    by_content = profiles(args.workdir)
    m = Machine("A", args.host, 14)
    consoles = Console(args.console_port, args.console_token) if args.console_port else None

    # --- 1. Find the session: direct (UDP, TCP) and broadcast -------------------------------------
    args.session_name = None  # learnt from the first reply
    args.app = args.app
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), (args.host, args.enum_port))
    f = m.expect_command(ENUMSESSIONSREPLY, "enumeration reply (UDP)")
    desc = session_desc(f.body, 8)
    name = f.string_at(f.u32(88))
    check(desc["app"] == uuid.UUID(args.app), "application %s" % desc["app"])
    check(desc["current"] == len(targets), "%d players announced for %d objects" % (desc["current"], len(targets)))
    host_port = f.port
    print("session %r: %d of %d players, stream port %d" % (name, desc["current"], desc["max"], host_port))
    with socket.create_connection((args.host, args.enum_port), timeout=STEP_TIMEOUT) as t:
        t.sendall(enum_request(args.app, 1, m.stream_port, m.version))
        f = m.expect_command(ENUMSESSIONSREPLY, "enumeration reply (TCP)")
        check(f.port == host_port and f.string_at(f.u32(88)) == name, "TCP reply differs")
    try:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        time.sleep(0.3)  # replies are rate-limited per source address
        udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), ("127.255.255.255", args.enum_port))
        m.expect_command(ENUMSESSIONSREPLY, "enumeration reply (broadcast)", timeout=1.5)
        print("broadcast enumeration answered")
    except (OSError, Failure) as e:
        print("broadcast enumeration not delivered on this loopback (%s); direct ones were answered" % e)
    udp.close()

    # --- 2. Join; the name table shows the host's objects and teams --------------------------------
    f = m.join(host_port)
    check(f.command == SUPERENUMPLAYERSREPLY, "DX9 client got command %d" % f.command)
    t = name_table(f)
    check(t["name"] == name, "name table session %r" % t["name"])
    host_sys, objects, hp = host_view(t)
    datagram_port = sp_data(host_sys["sp"])["datagram"][1]
    by_name = {p["short"]: p for p in objects}
    check(set(by_name) == set(targets), "host objects %r, configured %r" % (sorted(by_name), sorted(targets)))
    for short, p in by_name.items():
        # The aircraft title as the host completed it from the simulator's files.
        parts = p["long"].split("[]")
        check(len(parts) == 3 and parts[1].startswith(targets[short]["aircraft"]) and
              parts[2] == ("G" if p["id"] == hp else "C"), "object %r long name %r" % (short, p["long"]))
        targets[short]["aircraft"] = parts[1]
        check(status_letter(p["long"]) == "Waiting", "object %r not waiting" % short)
    teams = {g["short"]: g for g in t["groups"]}
    team_names = {s[len("QDL_TEAM."):]: team_name(s[len("QDL_TEAM."):], sess[s]) for s in sess.sections()
                  if s.startswith("QDL_TEAM.")}
    check(set(teams) == set(team_names.values()), "team groups %r, configured %r" % (sorted(teams),
                                                                                     sorted(team_names.values())))
    teams = {section: teams[n] for section, n in team_names.items()}
    in_target_teams = set()
    for section, g in teams.items():
        if section.startswith("T"):
            in_target_teams |= set(g["ids"])
    check(in_target_teams == {p["id"] for p in objects}, "objects in Target teams: %r" % teams)

    # --- 3. A player; the host's welcome, name request and pause state -----------------------------
    pa, _ = m.create_player("Alpha", "xA[]Spitfire[]G")
    w = expect_net(m, NET_TEXT, "welcome NET_TEXT", hp, pa)
    size, kind = struct.unpack_from("<II", w.payload, 4)
    check(kind == 2 and size == len(w.payload) - 8 and w.payload[12:] == welcome + b"\0",
          "welcome %r" % w.payload[:80])
    check(w.via == "tcp", "welcome not guaranteed")
    r = expect_net(m, NET_NAME_REQUEST, "NET_NAME_REQUEST", hp, pa)
    check(r.payload == net(NET_NAME_REQUEST), "name request %r" % r.payload)
    r = expect_net(m, NET_PAUSE_STATE, "NET_PAUSE_STATE", hp, pa)
    check(r.payload == struct.pack("<IIII", NET_PAUSE_STATE, 8, 0xFFFFFFFF, 0), "pause state %r" % r.payload)

    # Small requests to the host and to an object.
    send_player(m, pa, hp, net(NET_PROBE))
    r = expect_net(m, NET_PROBE_REPLY, "NET_PROBE_REPLY", hp, pa)
    check(r.payload == net(NET_PROBE_REPLY), "probe reply %r" % r.payload)
    send_player(m, pa, hp, struct.pack("<IIIII", NET_TIME_SYNC, 12, 0, 1000, 2000))
    r = expect_net(m, NET_TIME_SYNC, "NET_TIME_SYNC echo", hp, pa)
    check(len(r.payload) == 20 and struct.unpack_from("<I", r.payload, 8)[0] == 2000, "time sync %r" % r.payload)
    victim_name = args.hit_target
    victim = by_name[victim_name]
    send_player(m, pa, victim["id"], net(NET_NAME_REQUEST))
    r = expect_net(m, NET_NAME_REPLY, "NET_NAME_REPLY", victim["id"], pa)
    aircraft = targets[victim_name]["aircraft"].encode("cp1252")
    check(r.payload == struct.pack("<III", NET_NAME_REPLY, len(aircraft) + 1, 0) + aircraft + b"\0",
          "name reply %r" % r.payload)

    # --- 4. A team: a Target team is refused, another one taken --------------------------------------
    send_player(m, pa, hp, net(NET_JOIN_TEAM, struct.pack("<I", teams["T0"]["id"])))
    r = expect_net(m, NET_JOIN_REFUSED, "NET_JOIN_REFUSED for a Target team", hp, pa)
    check(r.payload == struct.pack("<III", NET_JOIN_REFUSED, 0, 0), "refusal %r" % r.payload)
    team = teams[args.team]
    send_player(m, pa, hp, net(NET_JOIN_TEAM, struct.pack("<I", team["id"])))
    m.expect_command(ADDPLAYERTOGROUP, "AddPlayerToGroup",
                     lambda f: f.u32(12) == team["id"] and f.u32(16) == pa or f.u32(12) == pa and f.u32(16) == team["id"])

    # --- 4a. A dashboard sees Alpha on the team, and the machine's frames ---------------------------
    if consoles:
        import json
        check(consoles.scrape("/metrics", auth=False)[0] == 401, "metrics without the token")
        code, text = consoles.scrape("/status.json")
        check(code == 200, "status.json: %d" % code)
        st = json.loads(text)
        check(st["session"]["open"] and st["session"]["name"] == name and st["machinesJoined"] == 1,
              "status.json session %r" % st["session"])
        alpha = [p for p in st["players"] if p["id"] == pa]
        check(alpha == [{"id": pa, "kind": "client", "name": "Alpha", "team": team["short"], "status": "Waiting",
                         "aircraft": "Spitfire"}], "status.json: Alpha is %r" % alpha)
        check(len([p for p in st["players"] if p["kind"] == "object"]) == len(objects), "status.json objects")
        code, text = consoles.scrape("/metrics")
        check(code == 200, "metrics: %d" % code)
        samples = {}
        for line in text.splitlines():
            if line and not line.startswith("#"):
                key, value = line.rsplit(" ", 1)
                samples[key] = float(value)
        for key, want in (('quarneld_machines_joined', 1), ('quarneld_machine_joins_total', 1),
                          ('quarneld_players{kind="client",status="Waiting"}', 1),
                          ('quarneld_players{kind="object",status="Waiting"}', len(objects))):
            check(samples.get(key) == want, "metrics %s = %r, not %r" % (key, samples.get(key), want))
        for key in ('quarneld_frames_total{direction="in",kind="stream"}',
                    'quarneld_frames_total{direction="out",kind="stream"}',
                    'quarneld_bytes_total{direction="in",kind="stream"}',
                    'quarneld_enumeration_requests_total{result="answered"}'):
            check(samples.get(key, 0) > 0, "metrics %s = %r" % (key, samples.get(key)))
        if args.metrics_out:
            with open(args.metrics_out, "w", encoding="utf-8") as out:
                out.write(text)
        print("dashboard: Alpha on %s in status.json; %d frames in, %d out" % (
            team["short"], samples['quarneld_frames_total{direction="in",kind="stream"}'],
            samples['quarneld_frames_total{direction="out",kind="stream"}']))

    # --- 5. Ready; the host's objects turn Ready, then the launch ------------------------------------
    def renamed(ids, state, what):
        left = set(ids)
        while left:
            f = m.expect_command(PLAYERNAMECHANGED, what, lambda f: f.u32(12) in left)
            long_name = f.string_at(f.u32(20))
            if status_letter(long_name) in state:
                left.discard(f.u32(12))
        return True

    m.rename(pa, "Alpha", "xA[]Spitfire[]H")
    renamed([p["id"] for p in objects], ("Ready",), "objects turning Ready")
    renamed([p["id"] for p in objects], ("Flying", "NFFly"), "objects turning Flying")
    launch = expect_net(m, NET_LAUNCH, "NET_LAUNCH", hp, pa, timeout=STEP_TIMEOUT)
    check(len(launch.payload) == 24, "NET_LAUNCH of %d bytes" % len(launch.payload))
    _t, size, tod, one, whom, turn = struct.unpack("<6I", launch.payload)
    hour, minute, second = tod & 0xFF, (tod >> 8) & 0xFF, (tod >> 16) & 0xFF
    want_h, want_m = [int(x) for x in sess["QDL_SETTINGS"]["TIME_OF_DAY"].split(":")[:2]]
    check(size == 16 and one == 1 and whom == pa, "NET_LAUNCH fields %r" % (launch.payload,))
    check(tod >> 24 == 0 and minute == want_m and second == 0 and hour in (want_h, (want_h + 23) % 24),
          "time of day 0x%08X" % tod)
    ts = sess["QDL_TEAM." + args.team] if sess.has_section("QDL_TEAM." + args.team) else None
    if ts is not None and int(ts.get("FORMATION_TYPE", "0")) != 0:
        want = int(float(ts.get("FORMATION_HEADING", "0")) / 360 * 4294967295)
        check(turn == want, "turn fraction %d, not %d" % (turn, want))
    # The host's side link writes the player's own settings onto a connection of its own:
    # 264 bytes, version 11, the game flagged as running, the team's start values.
    sd = m.expect_command(SESSIONDESCCHANGED, "per-player settings message",
                          lambda f: len(f.raw) == 264 and f.version == 11 and (f.u32(88) >> 24) & 1 == 1)
    check(sd.u32(12) == 100, "settings name offset %d" % sd.u32(12))
    if ts is not None and int(ts.get("START_IN_AIR", "0")) != 0:
        check(sd.u32(96) == int(ts.get("START_SPEED", "0")), "settings dwUser4 %d" % sd.u32(96))
    # The objects came into the game with a position and two motions each, to all.
    for p in objects:
        expect_net(m, NET_POSITION, "NET_POSITION of %s" % p["short"], p["id"], 0)
        expect_net(m, NET_MOTION, "NET_MOTION of %s" % p["short"], p["id"], 0)
        expect_net(m, NET_MOTION, "second NET_MOTION of %s" % p["short"], p["id"], 0)

    # --- 6. Flying; the object data of every object ---------------------------------------------------
    m.rename(pa, "Alpha", "xA[]Spitfire[]F")
    described = 0
    for short, p in by_name.items():
        tg = targets[short]
        send_player(m, pa, p["id"], net(NET_OBJECT_DATA_REQUEST))
        d = expect_net(m, NET_DAMAGE_PROFILE, "NET_DAMAGE_PROFILE of %s" % short, p["id"], pa)
        _t, n8, n, c = struct.unpack_from("<4I", d.payload)
        check(n8 == n + 8 and c == len(d.payload) - 16 and d.payload[16:20] == b"JM\0\1", "profile header %r" %
              d.payload[:20])
        content = decompress(d.payload[20:], n)
        check(content in by_content or content == b"\r\n", "%s: profile matches no .dp file" % short)
        pos = expect_net(m, NET_POSITION, "NET_POSITION of %s" % short, p["id"], pa)
        check(len(pos.payload) == 40 and struct.unpack_from("<I", pos.payload, 4)[0] == 32, "NET_POSITION size")
        check_position(short, pos.payload, 16, tg["lat"], tg["lon"], tg["heading"])
        m1 = expect_net(m, NET_MOTION, "NET_MOTION of %s" % short, p["id"], pa)
        m2 = expect_net(m, NET_MOTION, "second NET_MOTION of %s" % short, p["id"], pa)
        for mo in (m1, m2):
            check(len(mo.payload) == 56 and mo.payload[16:32] == bytes(16), "NET_MOTION layout")
            check_position(short, mo.payload, 32, tg["lat"], tg["lon"], tg["heading"])
        s1, s2 = struct.unpack_from("<I", m1.payload, 8)[0], struct.unpack_from("<I", m2.payload, 8)[0]
        check(s2 == s1 + 1, "%s: motion sequence %d then %d" % (short, s1, s2))
        check(struct.unpack_from("<I", pos.payload, 12)[0] + 1 == s1, "%s: position then motion sequence" % short)
        # Objects of the object database also get their description.
        try:
            h = expect_net(m, NET_OBJECT_HEADER, "NET_OBJECT_HEADER", p["id"], pa, timeout=0.3)
        except Failure:
            continue
        b = expect_net(m, NET_OBJECT_BODY, "NET_OBJECT_BODY of %s" % short, p["id"], pa)
        ab, one, a_len, b_len, name_len = (struct.unpack_from("<I", h.payload, o)[0] for o in (8, 12, 36, 44, 60))
        check(struct.unpack_from("<I", h.payload, 4)[0] == len(h.payload) - 8 and one == 1 and ab == a_len + b_len,
              "%s: header fields" % short)
        check(c_text(h.payload, 64) == tg["aircraft"].encode("cp1252") and name_len == len(tg["aircraft"]) + 1,
              "%s: header name" % short)
        check(len(b.payload) == ab + 17 and struct.unpack_from("<III", b.payload, 4) == (ab + 8, ab, 0),
              "%s: body of %d bytes for A+B %d" % (short, len(b.payload), ab))
        described += 1
    check(described >= 1, "no object of the object database was described")
    print("object data: %d profiles, %d descriptions" % (len(by_name), described))

    # --- 7. A second machine joins during the game and learns Alpha from the host ---------------------
    b = Machine("B", args.host, 9)
    check(enumerate_direct(b, args) == host_port, "B told another port")
    f = b.join(host_port)
    fwd = m.expect_command(ADDFORWARD, "AddForward for B", lambda f: f.u32(12) == b.system_id)
    tb = name_table(f)
    alpha = find(tb["players"], id=pa)
    check(alpha is not None and alpha["long"] == "xA[]Spitfire[]F", "B does not learn Alpha: %r" % alpha)
    check(find(tb["players"], id=m.system_id) is not None, "B does not learn A's machine")
    check(pa in find(tb["groups"], id=team["id"])["ids"], "B does not see Alpha on the team")
    pb, _ = b.create_player("Bravo", "xB[]Corsair[]G")
    w = expect_net(b, NET_TEXT, "welcome NET_TEXT for Bravo", hp, pb)
    check(w.payload[12:] == welcome + b"\0", "Bravo's welcome")
    expect_net(b, NET_PAUSE_STATE, "NET_PAUSE_STATE for Bravo", hp, pb)

    # --- 8. Hits: light, heavy, destroyed; NET_KILL about 4 s later ------------------------------------
    vid = victim["id"]
    life = targets[victim_name]["life"]
    check(not targets[victim_name]["bombing"] and life >= 15, "pick a non-bombing target with some life")
    light, heavy = life // 5, (2 * life) // 3
    send_player(m, pa, vid, net_hits([(0, light)]) if light < 256 else net_hits([(light // 255, 255)]),
                guaranteed=False, datagram_port=datagram_port)
    e = expect_net(m, NET_EFFECT, "light damage effect", vid, 0)
    check(len(e.payload) == 408 and struct.unpack_from("<III", e.payload, 4) == (400, vid, 0x1FF8F) and
          c_text(e.payload, 128) == b"fx_intsmoke", "light effect %r" % e.payload[:32])
    rest = heavy - (light if light < 256 else 255 * (light // 255 + 1))
    send_player(m, pa, vid, net_hits([(0, rest // 2), (0, rest - rest // 2)]))
    e = expect_net(m, NET_EFFECT, "heavy damage effect", vid, 0)
    check(struct.unpack_from("<II", e.payload, 8) == (9078, 0xFF8F), "heavy effect %r" % e.payload[:32])
    send_player(m, pa, vid, net_hits([(3, 255)] * ((life // 1020) + 1)))
    destroyed_at = time.monotonic()
    expect_net(m, NET_POSITION, "position of the destroyed object", vid, pa)
    k = expect_net(m, NET_KILL, "NET_KILL", vid, 0, timeout=8)
    waited = time.monotonic() - destroyed_at
    check(k.payload == struct.pack("<IIII", NET_KILL, 8, 0, pa), "NET_KILL %r" % k.payload)
    check(3.5 < waited < 6, "NET_KILL after %.1f s" % waited)
    expect_net(b, NET_KILL, "NET_KILL at B", vid, 0)
    m.expect_command(PLAYERNAMECHANGED, "destroyed object back to Waiting",
                     lambda f: f.u32(12) == vid and status_letter(f.string_at(f.u32(20))) == "Waiting")
    print("object destroyed; NET_KILL after %.1f s" % waited)

    # --- 9. Chat both ways ------------------------------------------------------------------------
    send_player(m, pa, hp, net_text(1, b"Tally ho"))
    if consoles:
        deadline = time.monotonic() + STEP_TIMEOUT
        while "Alpha:  Tally ho\r\n" not in consoles.chat_pane():
            check(time.monotonic() < deadline, "Alpha's chat not in the host's chat pane")
            time.sleep(0.1)
        consoles.say("Good hunting")
        for who in (m, b):
            r = expect_net(who, NET_TEXT, "operator chat", hp, 0,
                           extra=lambda f: f.payload[12:] == b"Good hunting\0")
            check(struct.unpack_from("<II", r.payload, 4) == (len(r.payload) - 8, 1), "operator chat fields")
        print("chat: Alpha's line in the host's pane; the operator's line at both machines")

    # --- 10. B leaves; A lands, the objects go back to the ready room; A leaves -----------------------
    b.send(DELETEPLAYER, struct.pack("<5I", 0, pb, 0, 0, 0))
    b.send(DELETEPLAYER, struct.pack("<5I", 0, b.system_id, 0, 0, 0))
    time.sleep(0.2)
    b.close()
    m.rename(pa, "Alpha", "xA[]Spitfire[]G")
    flying = [p["id"] for p in objects if p["id"] != vid]
    renamed(flying, ("Waiting",), "objects back in the ready room")
    m.send(DELETEPLAYER, struct.pack("<5I", 0, pa, 0, 0, 0))
    m.send(DELETEPLAYER, struct.pack("<5I", 0, m.system_id, 0, 0, 0))
    time.sleep(0.2)
    m.close()
    for who in (m, b):
        for f in who.backlog:
            if net_kind(f) == NET_TEXT:
                print("%s: text from %08X: %r" % (who.label, f.id_from, f.payload[12:]))
    if args.pcap:
        write_capture(args.pcap, m.received + b.received)


def write_capture(path, received):
    """System messages into `path` with what this client read in each (path.expect: command,
    version, players and session name per frame); player messages (no envelope) into path.player."""
    system, player, lines = [], [], []
    for r in received:
        if not r[0]:
            continue  # bare datagrams carry no prefix for a dissector to recognise
        f = Frame(r[3], "tcp")
        if not f.system:
            player.append(r)
            continue
        system.append(r)
        players = name = ""
        if f.command == ENUMSESSIONSREPLY:
            players, name = session_desc(f.body, 8)["current"], f.string_at(f.u32(88))
        elif f.command == SESSIONDESCCHANGED:
            players, name = session_desc(f.body, 20)["current"], f.string_at(f.u32(12))
        elif f.command in (SUPERENUMPLAYERSREPLY, ENUMPLAYERSREPLY):
            t = name_table(f)
            players, name = t["desc"]["current"], t["name"]
        lines.append("0x%04x|0x%04x|%s|%s" % (f.command, f.version, players, name or ""))
    write_pcap(path, system)
    write_pcap(path + ".player", player)
    with open(path + ".expect", "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")



def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--enum-port", type=int, required=True)
    p.add_argument("--app", required=True)
    # The scripted host of the transport test:
    p.add_argument("--session-name")
    p.add_argument("--max-players", type=int)
    p.add_argument("--host-long")
    p.add_argument("--group")
    # The road against the real host process: its working directory tells what to expect.
    p.add_argument("--road", action="store_true")
    p.add_argument("--workdir")
    p.add_argument("--team", default="A0")
    p.add_argument("--hit-target", default="Tug Henderson")
    p.add_argument("--console-port", type=int)
    p.add_argument("--console-token")
    p.add_argument("--pcap", help="write the frames the clients received here")
    p.add_argument("--metrics-out", help="write the metrics scraped during the road here")
    args = p.parse_args()
    if args.host != "127.0.0.1":
        print("refusing to talk to anything but 127.0.0.1")
        return 2
    try:
        if args.road:
            road(args)
            print("OK: the road of one client (and a second) through the host")
            return 0
        run(args)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    print("OK: enumerate, join, create, rename, team, messages, pings, malformed stream, second and third "
          "machines, vanish, leave")
    return 0


if __name__ == "__main__":
    sys.exit(main())
