#!/usr/bin/env python3
"""Attacks on the host's stream and datagram surfaces, one per run (--attack NAME), with a
well-behaved client that must be served during and after. Each figure printed ("figure NAME=VALUE")
is checked against the host's limits; exits 1 when one is outside. Other machines are other 127.x.y.z."""
import contextlib, os, socket, struct, sys, threading, time

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import client as dp  # noqa: E402


FIGURES = {}  # name: whether it stayed within its bounds


def figure(name, value, low, high):
    FIGURES[name] = low <= value <= high
    print("figure %s=%s%s" % (name, value, "" if FIGURES[name] else " not in %s..%s" % (low, high)), flush=True)


def connect_from(source, port):
    return socket.create_connection(("127.0.0.1", port), dp.STEP_TIMEOUT, (source, 0))


def closed_by_host(s):
    """The host closed or reset a stream it never writes on (bounded: non-blocking)."""
    s.setblocking(False)
    try:
        return s.recv(65536) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def host_rss_kb(args):
    with open("/proc/%d/status" % args.host_pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


class Visit:
    """The well-behaved client: enumerates (UDP and TCP), joins, creates a player, gets its welcome
    and a probe answered; leaves unless kept. Never raises: `ok` and `error` tell how it went."""

    def __init__(self, args, label, keep=False):
        self.ok, self.error, self.player = False, "", None
        self.machine = m = dp.Machine(label, args.host, 14)
        try:
            f = m.join(dp.enumerate_host(m, args, tcp=True)[0])
            self.table_bytes, self.table = len(f.raw), dp.name_table(f)
            self.host_player = dp.host_view(self.table)[2]
            self.player = m.create_player("Visitor" + label, "x%s[]Spitfire[]G" % label)
            dp.expect_net(m, dp.NET_TEXT, "welcome", self.host_player, self.player)
            self.ok = self.probe()
        except (dp.Failure, OSError) as e:
            self.error = str(e)
        if not keep or not self.ok:
            m.leave(self.player)

    def probe(self):
        """Whether a NET_PROBE is answered within the step time (if not, why in `error`)."""
        try:
            self.machine.say(self.player, self.host_player, dp.net(dp.NET_PROBE))
            dp.expect_net(self.machine, dp.NET_PROBE_REPLY, "probe reply", self.host_player, self.player)
            return True
        except (dp.Failure, OSError) as e:
            self.error = str(e)
            return False

    def report(self, when):
        figure("served_" + when, int(self.ok), 1, 1)
        print("visitor %s: %s" % (when, self.error or "served"), flush=True)
        return self


def joined(args, label, source, players=0):
    """An attacker that joins properly from `source`, with its players: (machine, name table, ids)."""
    m = dp.Machine(label, args.host, 14, source=source)
    table = dp.name_table(m.join(dp.enumerate_host(m, args)[0]))
    return m, table, [m.create_player("%s%d" % (label, i), "x%s[]Spitfire[]G" % label) for i in range(players)]


# ---- the attacks ------------------------------------------------------------------------------

def idle_streams(args):
    """16 streams from each of 32 addresses, none completing a frame: half stall early in a
    small one, half hold most of a 60,000-byte one. Few are held per address, frames are small, and
    streams where no frame comes are closed."""
    rss0, socks = host_rss_kb(args), []
    for a in range(32):
        for i in range(16):
            size, sent = (60000, 48 * 1024) if i % 2 else (2000, 1000)
            with contextlib.suppress(OSError):
                s = connect_from("127.0.1.%d" % (a + 1), args.stream_port)
                s.sendall(struct.pack("<I", dp.TOKEN_REMOTE << 20 | size) + bytes(sent))
                socks.append(s)
    opened = time.monotonic()
    time.sleep(1.0)
    figure("held_1s", sum(not closed_by_host(s) for s in socks), 0, 4 * 32)
    figure("rss_growth_kb", max(0, host_rss_kb(args) - rss0), 0, 8 * 1024)
    Visit(args, "D").report("during")
    time.sleep(max(0.0, 7.0 - (time.monotonic() - opened)))
    figure("held_7s", sum(not closed_by_host(s) for s in socks), 0, 0)
    for s in socks:
        s.close()


def strangers(args):
    """8 addresses x 16 streams, each asking for a system player with a reply port of its own: two
    joins in progress per address. Another stranger's stream carries 600 pings, each naming the
    port it listens on: they open nothing."""
    machines = [dp.Machine("P", args.host, 14, source="127.0.3.%d" % (i // 16 + 1)) for i in range(128)]
    for m in machines:
        m.connect(args.stream_port)
        m.send(dp.REQUESTPLAYERID, struct.pack("<I", dp.SP | dp.PL))
    pinger = dp.Machine("P", args.host, 14, source="127.0.0.2")
    pinger.connect(args.stream_port)
    for i in range(600):
        pinger.send(dp.PING, struct.pack("<II", 0x100 + i, i))
    time.sleep(1.5)
    figure("pending_granted", sum(f.command == dp.REQUESTPLAYERREPLY and f.u32(44) == 0
                                  for m in machines for f in m.pending()), 1, 2 * 8)
    figure("answers_to_stranger", sum(f.via == "tcp" for f in pinger.pending()), 0, 0)
    Visit(args, "D").report("during")
    for m in machines + [pinger]:
        m.close()


def spoofing(args):
    """Datagrams from a joined machine's datagram address (its farewell, its player's departure),
    then a second stream from its address naming its stream port: session changes do not come by
    datagram, and the stream cannot speak for the machine."""
    v = Visit(args, "V", keep=True).report("during")
    if v.ok:
        m = v.machine
        host_datagram = dp.sp_data(dp.host_view(v.table)[0]["sp"])["datagram"]
        for pid in (m.system_id, v.player):  # what the attacker writes from the victim's address and port
            m.udp.sendto(dp.system_frame(dp.DELETEPLAYER, 14, struct.pack("<5I", 0, pid, 0, 0, 0), m.stream_port),
                         host_datagram)
        s = connect_from(m.source, args.stream_port)
        s.sendall(dp.player_frame(v.player, v.host_player, dp.net_text(1, b"spoofed line"), m.stream_port))
        s.sendall(dp.system_frame(dp.DELETEPLAYER, 14, struct.pack("<5I", 0, m.system_id, 0, 0, 0), m.stream_port))
        time.sleep(0.5)
        figure("stream_refused", int(closed_by_host(s)), 1, 1)
        figure("victim_kept", int(v.probe()), 1, 1)
        shown = dp.Console(args.console_port, args.console_token).chat_pane()
        figure("spoofed_chat_shown", int("spoofed line" in shown), 0, 0)
        s.close()
        m.leave(v.player)


def silent_acker(args):
    """A joined peer that never acknowledges AddForward, while others join one by one: it costs each
    join a short wait (the visits' step limit holds), and after three it is gone."""
    m = dp.Machine("S", args.host, 14, source="127.0.0.6")
    m.ack_forwards = False
    m.join(dp.enumerate_host(m, args)[0])
    visits = [Visit(args, "J%d" % i) for i in range(4)]  # each within the step time
    figure("served_during", sum(v.ok for v in visits), 4, 4)
    print("".join("visitor %s: %s\n" % (v.machine.label, v.error) for v in visits if not v.ok), end="")
    figure("silent_peer_dropped", int(closed_by_host(m.out)), 1, 1)  # the host closed its streams
    m.close()


def enum_flood(args):
    """20 sources ask for enumeration replies at ports that never complete a connection, while
    another holds 32 connections to the enumeration port, reopened as they close."""
    stop, sinks = threading.Event(), []
    for a in range(20):
        src = "127.0.2.%d" % (a + 1)
        # A full accept queue: further SYNs are dropped, the host's connect waits in vain.
        sink = socket.create_server((src, 0), backlog=0)
        filler = socket.create_connection(sink.getsockname(), dp.STEP_TIMEOUT)
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((src, 0))
        sinks.append((sink, filler, udp))

    def flood():
        socks = []
        while not stop.is_set():
            for sink, _f, udp in sinks:
                udp.sendto(dp.enum_request(args.app, 1, sink.getsockname()[1], 14), (args.host, args.enum_port))
            socks = [s for s in socks if not closed_by_host(s)]
            with contextlib.suppress(OSError):
                while len(socks) < 32:
                    socks.append(connect_from("127.0.2.50", args.enum_port))
            stop.wait(0.2)
        for s in socks:
            s.close()

    t = threading.Thread(target=flood, daemon=True)
    t.start()
    time.sleep(1.0)
    answered, m = 0, dp.Machine("E", args.host, 14)
    for _ in range(5):
        with contextlib.suppress(dp.Failure):
            dp.enumerate_host(m, args)
            answered += 1
        time.sleep(0.5)  # inside the per-source rate
    m.close()
    figure("enum_answered_of_5", answered, 5, 5)
    Visit(args, "D").report("during")
    stop.set()
    t.join()
    for s in (s for trio in sinks for s in trio):
        s.close()


def chat_flood(args):
    """NET_TEXT lines of 32,700 CR-LF pairs, then many short lines, while another client
    measures its round trip: trimming the chat pane costs little, chat lines are bounded per player."""
    m, table, ids = joined(args, "C", "127.0.0.8", players=1)
    hp = dp.host_view(table)[2]
    v = Visit(args, "D", keep=True)
    if not v.ok:
        return v.report("during")
    for _ in range(20):
        m.say(ids[0], hp, dp.net_text(1, b"\r\n" * 32700))
    figure("probes_answered", sum(v.probe() for _ in range(5)), 5, 5)
    time.sleep(1.5)  # what was let through has been shown
    for i in range(30):
        m.say(ids[0], hp, dp.net_text(1, b"short line %d" % i))
    time.sleep(1.0)
    figure("short_lines_shown", dp.Console(args.console_port, args.console_token).chat_pane().count("short line"), 1, 6)
    v.report("during")
    v.machine.leave(v.player)
    m.close()


def object_data(args):
    """NET_OBJECT_DATA_REQUEST to all players, 50 times: the answers are bounded per player."""
    m, _table, ids = joined(args, "O", "127.0.0.9", players=1)
    time.sleep(0.3)
    m.pending()
    request = dp.net(dp.NET_OBJECT_DATA_REQUEST)
    for _ in range(50):
        m.say(ids[0], 0, request)
    time.sleep(2.0)
    got = sum(len(f.payload) + 28 for f in m.pending() if not f.system)
    figure("amplification", round(got / (50.0 * (28 + len(request))), 1), 0, 40)
    Visit(args, "D").report("during")
    m.close()


ATTACKS = {f.__name__: f for f in (
    strangers, idle_streams, spoofing, silent_acker, enum_flood, chat_flood, object_data)}


def main():
    p = dp.parser()
    p.add_argument("--attack", required=True, choices=sorted(ATTACKS))
    p.add_argument("--stream-port", type=int, required=True)
    p.add_argument("--host-pid", type=int, required=True)
    args = p.parse_args()
    ATTACKS[args.attack](args)  # which lets go of everything when it returns
    Visit(args, "A").report("after")
    missing = {"served_during", "served_after"} - FIGURES.keys()
    bad = sorted(missing | {name for name, ok in FIGURES.items() if not ok})
    print("FAILED: %s" % ", ".join(bad) if bad else "OK: every figure within its bounds")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
