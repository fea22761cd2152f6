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
    def __init__(self, label, host_ip, version):
        self.label = label
        self.host_ip = host_ip
        self.version = version
        self.inbox = queue.Queue()
        self.backlog = []
        self.sockets = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind((host_ip, 0))
        self.listener.listen(16)
        self.stream_port = self.listener.getsockname()[1]
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((host_ip, 0))
        self.datagram_port = self.udp.getsockname()[1]
        self.sockets += [self.listener, self.udp]
        self.out = None
        self.send_lock = threading.Lock()
        self.system_id = None
        self.alive = True
        self.claimed_addr = b"\0\0\0\0"  # what the prefix says; the host must not believe it
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
                buf = buf[size:]
                if f.system and f.command == ADDFORWARD:
                    # As a runtime does: acknowledge a newcomer at once.
                    self.send(ADDFORWARDACK, struct.pack("<I", f.u32(12)))
                self.inbox.put(f)

    def _udp(self):
        while self.alive:
            try:
                data, _ = self.udp.recvfrom(65536)
            except OSError:
                return
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
                raise Failure("%s: no %s within %.1f s" % (self.label, what, timeout))
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
        self.out = socket.create_connection((self.host_ip, port), timeout=STEP_TIMEOUT)
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
    udp.sendto(enum_request(args.app, 1, m.stream_port, m.version), (args.host, args.enum_port))
    f = m.expect_command(ENUMSESSIONSREPLY, "enumeration reply")
    check(f.version == m.version, "enumeration reply in dialect %d" % f.version)
    udp.close()
    return f.port


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--enum-port", type=int, required=True)
    p.add_argument("--app", required=True)
    p.add_argument("--session-name", required=True)
    p.add_argument("--max-players", type=int, required=True)
    p.add_argument("--host-long", required=True)
    p.add_argument("--group", required=True)
    args = p.parse_args()
    if args.host != "127.0.0.1":
        print("refusing to talk to anything but 127.0.0.1")
        return 2
    try:
        run(args)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    print("OK: enumerate, join, create, rename, team, messages, pings, malformed stream, second and third "
          "machines, vanish, leave")
    return 0


if __name__ == "__main__":
    sys.exit(main())
