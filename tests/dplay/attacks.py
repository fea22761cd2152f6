#!/usr/bin/env python3
"""Attacks on the host's stream and datagram surfaces, each with a well-behaved client
that must be served while the attack runs and after it.

One attack per run (--attack NAME) against a host that tests/dplay/attack_test.cpp
started; what the attacker got and how the well-behaved client fared are printed as
"figure NAME=VALUE" lines for the test to check. Loopback only: other machines are
other 127.x.y.z addresses. Built on client.py's encoders and client machine.
"""
import argparse
import os
import queue
import selectors
import socket
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import client as dp  # noqa: E402

REQUESTGROUPID = 0x06
CREATEGROUP = 0x09
DELETEGROUP = 0x0C
CRLF_FLOOD = b"\r\n" * 32700


def figure(name, value):
    print("figure %s=%s" % (name, value), flush=True)


def connect_from(source, port, host="127.0.0.1"):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.settimeout(dp.STEP_TIMEOUT)
    s.connect((host, port))
    return s


def listen_on(source, backlog=64):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.listen(backlog)
    return s


def closed_by_host(s):
    """The host closed or reset a stream it never writes on (bounded: non-blocking)."""
    s.setblocking(False)
    try:
        return s.recv(65536) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def frames_from(listeners, seconds, held):
    """Accepts what the host opens to any of `listeners` and reads its frames for a while:
    {listener: [Frame, ...]}. The streams stay open, in `held`."""
    sel = selectors.DefaultSelector()
    got = {lst: [] for lst in listeners}
    buffers = {}
    for lst in listeners:
        lst.setblocking(False)
        sel.register(lst, selectors.EVENT_READ, ("listener", lst))
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, _ in sel.select(timeout=max(0.0, min(0.1, end - time.monotonic()))):
            kind, lst = key.data
            if kind == "listener":
                try:
                    conn, _ = lst.accept()
                except OSError:
                    continue
                conn.setblocking(False)
                buffers[conn] = b""
                sel.register(conn, selectors.EVENT_READ, ("conn", lst))
                continue
            conn = key.fileobj
            try:
                chunk = conn.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                sel.unregister(conn)
                continue
            buf = buffers[conn] + chunk
            while len(buf) >= 4:
                size = struct.unpack_from("<I", buf, 0)[0] & 0xFFFFF
                if size < 20 or len(buf) < size:
                    break
                got[lst].append(dp.Frame(buf[:size], "tcp"))
                buf = buf[size:]
            buffers[conn] = buf
    held.extend(buffers)
    sel.close()
    return got


def drain(m):
    """What a machine received and has not looked at yet."""
    out = []
    while True:
        try:
            out.append(m.inbox.get_nowait())
        except queue.Empty:
            return out


def host_rss_kb(args):
    try:
        with open("/proc/%d/status" % args.host_pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


# ---- the well-behaved client ------------------------------------------------------------

class Visit:
    """Enumerates (UDP and TCP), joins, creates a player, gets its welcome and a probe
    answered; leaves unless kept. Never raises: `ok` and `error` tell how it went."""

    def __init__(self, args, label, keep=False):
        self.ok, self.error = False, ""
        self.machine = self.player = self.table = self.host_player = None
        self.join_s = self.probe_ms = 0.0
        m = dp.Machine(label, args.host, 14)
        self.machine = m
        try:
            port = dp.enumerate_direct(m, args)
            with socket.create_connection((args.host, args.enum_port), timeout=dp.STEP_TIMEOUT) as t:
                t.sendall(dp.enum_request(args.app, 1, m.stream_port, m.version))
                m.expect_command(dp.ENUMSESSIONSREPLY, "enumeration reply (TCP)")
            t0 = time.monotonic()
            f = m.join(port)
            self.join_s = time.monotonic() - t0
            self.table_bytes = len(f.raw)
            self.table = dp.name_table(f)
            _sys, _objects, hp = dp.host_view(self.table)
            self.host_player = hp
            self.player, _ = m.create_player("Visitor" + label, "x%s[]Spitfire[]G" % label)
            dp.expect_net(m, dp.NET_TEXT, "welcome", hp, self.player)
            self.probe_ms = self.probe(raising=True)
            self.ok = True
        except (dp.Failure, OSError) as e:
            self.error = str(e)
        if not keep or not self.ok:
            self.leave()

    def probe(self, raising=False):
        """Milliseconds until a NET_PROBE is answered (None when not within the step time)."""
        try:
            t0 = time.monotonic()
            dp.send_player(self.machine, self.player, self.host_player, dp.net(dp.NET_PROBE))
            dp.expect_net(self.machine, dp.NET_PROBE_REPLY, "probe reply", self.host_player, self.player)
            return (time.monotonic() - t0) * 1000
        except (dp.Failure, OSError):
            if raising:
                raise
            return None

    def leave(self):
        m = self.machine
        try:
            if self.player:
                m.send(dp.DELETEPLAYER, struct.pack("<5I", 0, self.player, 0, 0, 0))
            if m.system_id:
                m.send(dp.DELETEPLAYER, struct.pack("<5I", 0, m.system_id, 0, 0, 0))
            time.sleep(0.1)
        except OSError:
            pass
        m.close()

    def report(self, when):
        figure("served_" + when, 1 if self.ok else 0)
        if self.ok:
            figure("join_s_" + when, "%.2f" % self.join_s)
            figure("probe_ms_" + when, "%.0f" % self.probe_ms)
        else:
            print("visitor %s: %s" % (when, self.error), flush=True)
        return self


def joined(args, label, source, players=0):
    """An attacker that joins properly from `source`, with its players: (machine, name table, ids)."""
    m = dp.Machine(label, args.host, 14, source=source)
    table = dp.name_table(m.join(dp.enumerate_direct(m, args)))
    ids = [m.create_player("%s%d" % (label, i), "x%s[]Spitfire[]G" % label)[0] for i in range(players)]
    return m, table, ids


def request_group(m):
    m.send(REQUESTGROUPID, struct.pack("<I", 0))
    f = m.expect_command(dp.REQUESTPLAYERREPLY, "RequestPlayerReply for a group")
    return f.u32(8) if f.u32(44) == 0 else None


def create_group(m, gid, data=b""):
    info = dp.packed_player(0, gid, "g%x" % gid, None, b"", m.system_id, m.version, data)
    m.send(CREATEGROUP, struct.pack("<5I", 0, 0, gid, 28, 0) + info)


# ---- the attacks ------------------------------------------------------------------------------

def ping_streams(args):
    """One stranger's stream carries 600 pings, each naming a port it listens on."""
    src = "127.0.0.2"
    lst = listen_on(src, 1024)
    s = connect_from(src, args.stream_port)
    for i in range(600):
        s.sendall(dp.system_frame(dp.PING, 14, struct.pack("<II", 0x100 + i, i), lst.getsockname()[1]))
    held = [s, lst]
    opened = frames_from([lst], 1.5, held)
    figure("answers_to_stranger", len(opened[lst]))
    Visit(args, "D").report("during")
    for h in held:
        h.close()


def idle_streams(args):
    """16 streams from each of 32 addresses, none completing a frame: half stall early in a
    small one, half hold most of a 60,000-byte one."""
    rss0 = host_rss_kb(args)
    socks = []
    for a in range(32):
        for i in range(16):
            try:
                s = connect_from("127.0.1.%d" % (a + 1), args.stream_port)
                if i % 2:
                    s.sendall(struct.pack("<I", dp.TOKEN_REMOTE << 20 | 60000) + bytes(48 * 1024))
                else:
                    s.sendall(struct.pack("<I", dp.TOKEN_REMOTE << 20 | 2000) + bytes(1000))
                socks.append(s)
            except OSError:
                pass
    opened = time.monotonic()
    time.sleep(1.0)
    figure("held_1s", sum(1 for s in socks if not closed_by_host(s)))
    figure("rss_growth_kb", max(0, host_rss_kb(args) - rss0))
    Visit(args, "D").report("during")
    time.sleep(max(0.0, 7.0 - (time.monotonic() - opened)))
    figure("held_7s", sum(1 for s in socks if not closed_by_host(s)))
    for s in socks:
        s.close()


def pending_joins(args):
    """8 addresses x 16 streams, each asking for a system player with a reply port of its own."""
    listeners, socks = [], []
    for a in range(8):
        for i in range(16):
            src = "127.0.3.%d" % (a + 1)
            lst = listen_on(src)
            s = connect_from(src, args.stream_port)
            s.sendall(dp.system_frame(dp.REQUESTPLAYERID, 14, struct.pack("<I", dp.SP | dp.PL), lst.getsockname()[1]))
            listeners.append(lst)
            socks.append(s)
    held = socks + listeners
    got = frames_from(listeners, 1.5, held)
    replies = [f for fs in got.values() for f in fs if f.system and f.command == dp.REQUESTPLAYERREPLY]
    figure("pending_granted", sum(1 for f in replies if f.u32(44) == 0))
    Visit(args, "D").report("during")
    for s in held:
        s.close()


def group_churn(args):
    """A joined client creates and deletes groups: 70 with 16 KiB of data, then 1,100 empty."""
    m, table, _ids = joined(args, "G", "127.0.0.4", players=1)
    teams = len(table["groups"])
    made = 0
    try:
        for size, rounds in ((16 * 1024, 70), (0, 1100)):
            for _ in range(rounds):
                gid = request_group(m)
                if gid is not None:
                    create_group(m, gid, bytes(size))
                    m.send(DELETEGROUP, struct.pack("<5I", 0, 0, gid, 0, 0))
                    made += 1
    except (dp.Failure, OSError) as e:
        print("attacker stopped after %d groups: %s" % (made, e))
    time.sleep(0.5)
    v = Visit(args, "D").report("during")
    if v.ok:
        figure("groups_left", len(v.table["groups"]) - teams)
        figure("name_table_bytes", v.table_bytes)
    m.close()


def datagram_spoof(args):
    """Datagrams from a joined machine's datagram address: its farewell, its player's departure."""
    v = Visit(args, "V", keep=True).report("during")
    if not v.ok:
        return
    sys_entry = dp.find(v.table["players"], flags=dp.SP | dp.NS | dp.PG)
    host_datagram = dp.sp_data(sys_entry["sp"])["datagram"]
    m = v.machine
    # What the attacker writes from the victim's address and port.
    m.udp.sendto(dp.system_frame(dp.DELETEPLAYER, 14, struct.pack("<5I", 0, m.system_id, 0, 0, 0), m.stream_port),
                 host_datagram)
    m.udp.sendto(dp.system_frame(dp.DELETEPLAYER, 14, struct.pack("<5I", 0, v.player, 0, 0, 0), m.stream_port),
                 host_datagram)
    time.sleep(0.5)
    rtt = v.probe()
    figure("victim_kept", 1 if rtt is not None else 0)
    v.leave()


def impersonation(args):
    """A second stream from the victim's address names the victim's stream port."""
    v = Visit(args, "V", keep=True).report("during")
    if not v.ok:
        return
    m = v.machine
    s = connect_from(m.source, args.stream_port)
    s.sendall(dp.player_frame(v.player, v.host_player, dp.net_text(1, b"spoofed line"), m.stream_port))
    s.sendall(dp.system_frame(dp.DELETEPLAYER, 14, struct.pack("<5I", 0, m.system_id, 0, 0, 0), m.stream_port))
    time.sleep(0.5)
    figure("stream_refused", 1 if closed_by_host(s) else 0)
    rtt = v.probe()
    figure("victim_kept", 1 if rtt is not None else 0)
    pane = dp.Console(args.console_port, args.console_token).chat_pane()
    figure("spoofed_chat_shown", 1 if "spoofed line" in pane else 0)
    s.close()
    v.leave()


def silent_acker(args):
    """A joined peer that never acknowledges AddForward, while others join one by one."""
    m = dp.Machine("S", args.host, 14, source="127.0.0.6")
    m.ack_forwards = False
    m.join(dp.enumerate_direct(m, args))
    waits = []
    for i in range(4):
        v = Visit(args, "J%d" % i)
        if not v.ok:
            return v.report("during")
        waits.append(v.join_s)
    figure("join_s_max", "%.2f" % max(waits))
    # Dropped for its silence: the host closed its streams.
    figure("silent_peer_dropped", 1 if closed_by_host(m.out) else 0)
    figure("served_during", 1)
    m.close()


def enum_flood_udp(args):
    """20 sources ask for enumeration replies at ports that never complete a connection."""
    stop = threading.Event()
    sinks = []
    for a in range(20):
        src = "127.0.2.%d" % (a + 1)
        # A full accept queue: further SYNs are dropped, the host's connect waits in vain.
        sink = listen_on(src, 0)
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex(sink.getsockname())
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((src, 0))
        sinks.append((sink, filler, udp))

    def flood():
        while not stop.is_set():
            for sink, _f, udp in sinks:
                udp.sendto(dp.enum_request(args.app, 1, sink.getsockname()[1], 14), (args.host, args.enum_port))
            stop.wait(0.2)

    t = threading.Thread(target=flood, daemon=True)
    t.start()
    time.sleep(1.0)
    answered = 0
    m = dp.Machine("E", args.host, 14)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for _ in range(5):
        udp.sendto(dp.enum_request(args.app, 1, m.stream_port, 14), (args.host, args.enum_port))
        try:
            m.expect_command(dp.ENUMSESSIONSREPLY, "enumeration reply", timeout=1.0)
            answered += 1
        except dp.Failure:
            pass
        time.sleep(0.5)  # inside the per-source rate
    m.close()
    udp.close()
    figure("enum_answered_of_5", answered)
    Visit(args, "D").report("during")
    stop.set()
    t.join()
    for trio in sinks:
        for s in trio:
            s.close()


def enum_flood_tcp(args):
    """32 connections to the enumeration port from one address, reopened as they close."""
    stop = threading.Event()

    def hold():
        socks = []
        while not stop.is_set():
            socks = [s for s in socks if not closed_by_host(s)]
            while len(socks) < 32 and not stop.is_set():
                try:
                    socks.append(connect_from("127.0.2.50", args.enum_port))
                except OSError:
                    break
            stop.wait(0.2)
        for s in socks:
            s.close()

    t = threading.Thread(target=hold, daemon=True)
    t.start()
    time.sleep(1.0)
    Visit(args, "D").report("during")
    stop.set()
    t.join()


def direct_team_moves(args):
    """A client moves players itself: its own into a Target team and 6 into a team of 4,
    the host's own player into its group."""
    m, table, ids = joined(args, "T", "127.0.0.7", players=6)
    groups = {g["short"]: g for g in table["groups"]}
    target, attack = groups["Target "]["id"], groups["Attack "]["id"]
    _sys, _objects, hp = dp.host_view(table)
    m.send(dp.ADDPLAYERTOGROUP, struct.pack("<5I", 0, ids[0], target, 0, 0))
    for pid in ids:
        m.send(dp.ADDPLAYERTOGROUP, struct.pack("<5I", 0, pid, attack, 0, 0))
    gid = request_group(m)
    create_group(m, gid)
    m.send(dp.ADDPLAYERTOGROUP, struct.pack("<5I", 0, hp, gid, 0, 0))
    time.sleep(1.0)
    refusals = [f for f in m.backlog + drain(m) if dp.net_kind(f) == dp.NET_JOIN_REFUSED]
    figure("refusals", len(refusals))
    v = Visit(args, "D").report("during")
    if v.ok:
        by_id = {g["id"]: g for g in v.table["groups"]}
        figure("attacker_in_target_team", sum(1 for p in ids if p in by_id[target]["ids"]))
        figure("attacker_in_team_of_4", sum(1 for p in ids if p in by_id[attack]["ids"]))
        figure("host_in_attacker_group", 1 if gid in by_id and hp in by_id[gid]["ids"] else 0)
    m.close()


def chat_flood(args):
    """NET_TEXT lines of 32,700 CR-LF pairs, then many short lines, while another client
    measures its round trip."""
    m, table, ids = joined(args, "C", "127.0.0.8", players=1)
    _sys, _objects, hp = dp.host_view(table)
    v = Visit(args, "D", keep=True)
    if not v.ok:
        return v.report("during")
    for _ in range(20):
        dp.send_player(m, ids[0], hp, dp.net_text(1, CRLF_FLOOD))
    rtts = [v.probe() for _ in range(5)]
    figure("probes_answered", sum(1 for r in rtts if r is not None))
    figure("probe_ms_worst", "%.0f" % max(r if r is not None else 99999 for r in rtts))
    time.sleep(1.5)  # what was let through has been shown
    for i in range(30):
        dp.send_player(m, ids[0], hp, dp.net_text(1, b"short line %d" % i))
    time.sleep(1.0)
    pane = dp.Console(args.console_port, args.console_token).chat_pane()
    figure("short_lines_shown", pane.count("short line"))
    v.report("during")
    v.leave()
    m.close()


def object_data(args):
    """NET_OBJECT_DATA_REQUEST to all players, 50 times."""
    m, _table, ids = joined(args, "O", "127.0.0.9", players=1)
    time.sleep(0.3)
    drain(m)
    m.backlog.clear()
    request = dp.player_frame(ids[0], 0, dp.net(dp.NET_OBJECT_DATA_REQUEST), m.stream_port)
    for _ in range(50):
        with m.send_lock:
            m.out.sendall(request)
    time.sleep(2.0)
    got = sum(len(f.payload) + 28 for f in m.backlog + drain(m) if not f.system)
    figure("amplification", "%.1f" % (got / (50.0 * len(request))))
    Visit(args, "D").report("during")
    m.close()


ATTACKS = {f.__name__.replace("_", "-"): f for f in (
    ping_streams, idle_streams, pending_joins, group_churn, datagram_spoof, impersonation, silent_acker,
    enum_flood_udp, enum_flood_tcp, direct_team_moves, chat_flood, object_data)}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--attack", required=True, choices=sorted(ATTACKS))
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--enum-port", type=int, required=True)
    p.add_argument("--stream-port", type=int, required=True)
    p.add_argument("--app", required=True)
    p.add_argument("--workdir")
    p.add_argument("--console-port", type=int)
    p.add_argument("--console-token")
    p.add_argument("--host-pid", type=int, default=0)
    args = p.parse_args()
    if args.host != "127.0.0.1":
        print("refusing to talk to anything but 127.0.0.1")
        return 2
    t0 = time.monotonic()
    ATTACKS[args.attack](args)  # which lets go of everything when it returns
    Visit(args, "A").report("after")
    figure("seconds", "%.1f" % (time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
