#!/usr/bin/env python3
"""A real DirectPlay runtime against the real host: two Wine processes running dpclient.exe
with Wine 10's own dplayx/dpwsockx (built by tools/interop/build_wine_dplay.sh) play the sample
session hosted by `quarneld run` on 127.0.0.1, while tshark captures loopback. Every step is
checked on what a client saw, the host's console and Wireshark's reading of the capture.

Usage: run_interop.py --quarneld BIN --runtime DLL-DIR --cache DIR [--out DIR]
"""
import argparse
import fcntl
import json
import os
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "dplay"))
from client import (NET_JOIN_REFUSED, NET_JOIN_TEAM, NET_LAUNCH, NET_NAME_REQUEST, NET_PAUSE_STATE,  # noqa: E402
                    NET_PROBE, NET_PROBE_REPLY, NET_TEXT, Console, Failure, check, net)

APP = "{BA361865-7A5C-40E7-881A-567C19A150A9}"  # the simulator's, version 2 (sample: CFS_VERSION=2)
STEP = 15.0  # seconds any one step may take
RESULTS = ("session", "player", "group", "member", "me")  # what a command prints before "done"


def free_port():
    """A port free for TCP and UDP on 127.0.0.1."""
    for _ in range(50):
        with socket.socket() as t, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            t.bind(("127.0.0.1", 0))
            try:
                u.bind(t.getsockname())
                return t.getsockname()[1]
            except OSError:
                continue
    raise Failure("no free port")


class Client:
    """One dpclient.exe under Wine; its lines arrive on a queue, split at '|'."""

    def __init__(self, label, exe, env, out):
        self.label, self.lines, self.log = label, queue.Queue(), open(os.path.join(out, label + ".log"), "w")
        self.err = open(os.path.join(out, label + ".wine.log"), "w")
        self.proc = subprocess.Popen(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err,
                                     env=env, text=True, encoding="latin-1", bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        self.backlog = []
        check(self.expect("ready", timeout=60)[1] == "0x00000000", "%s: no IDirectPlay4A" % label)

    def _read(self):
        for line in self.proc.stdout:
            self.log.write(line)
            self.log.flush()
            self.lines.put(line.rstrip("\r\n").split("|"))
        self.lines.put(None)

    def expect(self, kind, where=lambda f: True, timeout=STEP):
        """The first line of `kind` that satisfies `where`; earlier lines of other kinds are kept."""
        for i, f in enumerate(self.backlog):
            if f[0] == kind and where(f):
                return self.backlog.pop(i)
        end = time.monotonic() + timeout
        while True:
            try:
                f = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                raise Failure("%s: no %s line within %.0f s" % (self.label, kind, timeout))
            check(f is not None, "%s: the client ended while waiting for %s" % (self.label, kind))
            if f[0] == kind and where(f):
                return f
            self.backlog.append(f)

    def do(self, command):
        """Runs a command; returns the lines it printed (sessions, players, ...)."""
        mark = len(self.backlog)
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        verb = command.split()[0]
        f = self.expect("done", lambda f: f[1] == verb)
        check(f[2] == "0x00000000", "%s: %s answered %s" % (self.label, command, f[2]))
        rest = [x for x in self.backlog[mark:] if x[0] in RESULTS]
        self.backlog[mark:] = [x for x in self.backlog[mark:] if x[0] not in RESULTS]
        return rest

    def message(self, kind, sender=None, timeout=STEP):
        """The payload of the next application message of `kind` (from `sender`)."""
        def wanted(f):
            payload = bytes.fromhex(f[3])
            return len(payload) >= 4 and struct.unpack_from("<I", payload)[0] == kind and \
                (sender is None or int(f[1], 16) == sender)
        return bytes.fromhex(self.expect("recv", wanted, timeout)[3])

    def send(self, to, payload):
        self.do("send %d %s" % (to, payload.hex()))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


def wait_until(what, predicate, timeout=STEP):
    end = time.monotonic() + timeout
    while not predicate():
        check(time.monotonic() < end, what)
        time.sleep(0.1)
    return True


def sample_copy(work):
    """The sample working directory with players' no-fun launch on: Wine 10 never tells the
    host about a name change, so a client cannot report Ready; the operator's "NF Launch now"
    launches waiting players instead."""
    wd = os.path.join(work, "sample")
    shutil.copytree(os.path.join(ROOT, "sample"), wd)
    cfg = os.path.join(wd, "quarneld", "configs", "Default.cfg")
    with open(cfg, "rb") as f:
        text = f.read()
    check(b"NO_LOCK_OR_RADAR_PLAYERS=0" in text, "the sample's no-fun setting moved")
    with open(cfg, "wb") as f:
        f.write(text.replace(b"NO_LOCK_OR_RADAR_PLAYERS=0", b"NO_LOCK_OR_RADAR_PLAYERS=1"))
    return wd


def prepare_prefix(cache, runtime):
    """The cached Wine prefix with the built DLLs in system32 (made once: about 15 s)."""
    prefix = os.path.join(cache, "prefix32")
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;dplayx,dpwsockx=n")
    env.pop("DISPLAY", None)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["wine", "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300, check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    for dll in ("dplayx.dll", "dpwsockx.dll"):
        shutil.copyfile(os.path.join(runtime, dll), os.path.join(prefix, "drive_c", "windows", "system32", dll))
    return env


def tshark_reading(pcap):
    """Wireshark's complaints about the capture, and the DirectPlay commands it read."""
    base = ["tshark", "--disable-protocol", "lbmsrs", "--disable-protocol", "rsocket", "-r", pcap]
    full = subprocess.run(base + ["-V"], capture_output=True, text=True, timeout=120).stdout
    # TCP's notes on the connections' life (SYN, FIN, the RST of the killed client) are no complaint.
    complaints = [l.strip() for l in full.splitlines() if "Malformed" in l or "Unknown (0x" in l or
                  "Unknown command" in l or ("Expert Info" in l and "/Sequence)" not in l)]
    fields = subprocess.run(base + ["-T", "fields", "-e", "dplay.command"], capture_output=True, text=True,
                            timeout=120).stdout
    commands = [int(c.split(",")[0], 16) for c in fields.split() if c]
    return complaints, commands


def road(a_start, host_console, ports, workdir):
    """The scenarios; a_start() starts a client. Returns the figures for the closing line."""
    expected_welcome = open(os.path.join(workdir, "quarneld", "configs", "Default.txt"), "rb").read()
    targets = ["Henderson Field", "Tug Henderson", "Freighter Tulagi", "Munda Strip", "Fuel Dump Vila"]
    figures = {}

    # --- Enumeration: what the runtime read from the host's reply ---------------------------------
    a = a_start("alpha")
    sessions = a.do("enum 127.0.0.1 %d %s" % (ports["enum"], APP))
    check(len(sessions) == 1, "alpha found %d sessions" % len(sessions))
    _, name, flags, most, current, u1, u2, u3, u4, instance, app = sessions[0]
    check(name == "Quarneld Sample[]Solomons strike - Henderson, Tulagi, Munda, Vila[]AAAAAAAAAAAA[]AAAAAAAAAAAA",
          "session name %r" % name)
    # MIGRATEHOST; 16 players; the five objects; user words from the sample's settings: 16 players,
    # 6 teams, 4 per team, 10 kills; squadron, restricted, pause, medium model, glare, G; 5000 ft
    # in the air at radius 1000; 150 kt.
    check((flags, most, current) == ("0x00000004", "16", "5"), "flags/max/current %s %s %s" % (flags, most, current))
    check((u1, u2, u3, u4) == ("0x0A040610", "0x00060309", "0x23E81388", "0x00000096"),
          "user words %s %s %s %s" % (u1, u2, u3, u4))
    check(app == APP, "application GUID %s" % app)
    check(instance != APP and instance != "{00000000-0000-0000-0000-000000000000}",
          "instance GUID %s: a created session has its own, not the application's" % instance)

    # --- Join, own player, the host's players and groups --------------------------------------------
    a.do("join")
    me_a = int(a.do("create Alpha xA[]Spitfire[]G")[0][1], 16)
    listing = a.do("list")
    players = {f[3]: f for f in listing if f[0] == "player"}
    groups = {f[3]: int(f[1], 16) for f in listing if f[0] == "group"}
    check(set(players) == set(targets) | {"Alpha"}, "alpha lists players %r" % sorted(players))
    # Wine flags the others' players REMOTE (4) and its own with nothing.
    check(int(players["Alpha"][1], 16) == me_a and not int(players["Alpha"][2], 16) & 4,
          "own player %r" % players["Alpha"])
    check(all(int(f[2], 16) & 4 for s, f in players.items() if s != "Alpha"), "host players %r" % players)
    check(players["Henderson Field"][4].startswith("AJ[]") and players["Henderson Field"][4].endswith("[]G"),
          "the host's identity %r" % players["Henderson Field"])
    host = int(players["Henderson Field"][1], 16)
    check(set(groups) == {"Target ", "Target2", "Attack ", "Bomber ", "Defend ", "Cactus Air Force"},
          "alpha lists groups %r" % sorted(groups))
    members = {(int(f[1], 16), int(f[2], 16)) for f in listing if f[0] == "member"}
    check(len({p for g, p in members if g in (groups["Target "], groups["Target2"])}) == len(targets),
          "objects in the Target teams: %r" % members)

    # --- Welcome text, name request, pause state ------------------------------------------------------
    w = a.message(NET_TEXT, host)
    check(w[8:12] == struct.pack("<I", 2) and w[12:] == expected_welcome + b"\0", "welcome %r" % w[:60])
    check(a.message(NET_NAME_REQUEST, host) == net(NET_NAME_REQUEST), "name request")
    check(a.message(NET_PAUSE_STATE, host) == struct.pack("<IIII", NET_PAUSE_STATE, 8, 0xFFFFFFFF, 0), "pause state")

    # --- Team requests: a Target team refused, Attack taken --------------------------------------------
    a.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Target "])))
    check(a.message(NET_JOIN_REFUSED, host)[:4] == struct.pack("<I", NET_JOIN_REFUSED), "refusal")
    a.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Attack "])))
    # Accepted: the settings link starts its work for a player on a team.
    a.expect("recv", lambda f: b"QDL attempting to create connection" in bytes.fromhex(f[3]))
    wait_until("alpha in Attack on the host's player list",
               lambda: any("Alpha" in r and "Attack" in r for r in host_console.players()))

    # --- A second client learns of the first ----------------------------------------------------------
    b = a_start("bravo")
    sessions = b.do("enum 127.0.0.1 %d %s" % (ports["enum"], APP))
    check(sessions[0][9] == instance and sessions[0][4] == "6", "bravo's enumeration %r" % sessions[0])
    b.do("join")
    me_b = int(b.do("create Bravo xA[]Corsair[]G")[0][1], 16)
    listing = b.do("list")
    seen = {f[3]: int(f[1], 16) for f in listing if f[0] == "player"}
    check(seen.get("Alpha") == me_a and "Bravo" in seen, "bravo lists %r" % sorted(seen))
    check(["member", "0x%08X" % groups["Attack "], "0x%08X" % me_a] in listing, "bravo: alpha not in Attack")
    a.expect("sys", lambda f: f[1] == "create" and int(f[2], 16) == me_b and f[4] == "Bravo")
    b.message(NET_TEXT, host)
    b.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Bomber "])))
    wait_until("bravo in Bomber on the host's player list",
               lambda: any("Bravo" in r and "Bomber" in r for r in host_console.players()))

    # --- Chat from one client reaches the other (and the host) ---------------------------------------
    line = b"Tally ho"
    a.send(0, net(NET_TEXT, struct.pack("<I", 1) + line + b"\0"))
    got = b.message(NET_TEXT, me_a)
    check(got[12:] == line + b"\0", "bravo got %r" % got)
    wait_until("alpha's line in the host's chat pane", lambda: "Alpha:  Tally ho" in host_console.chat_pane())

    # --- Launch with two clients ---------------------------------------------------------------------
    host_console.click(1114)
    for c, me, heading in ((a, me_a, 300), (b, me_b, 300)):
        launch = c.message(NET_LAUNCH, host)
        _t, size, tod, one, whom, turn = struct.unpack("<6I", launch)
        check(size == 16 and one == 1 and whom == me and tod & 0xFFFF00 == 30 << 8 and
              turn == int(heading / 360 * 4294967295), "%s NET_LAUNCH %s" % (c.label, launch.hex()))

    # --- A client killed mid-game: the host removes it; the game goes on for the other ----------------
    killed = time.monotonic()
    b.kill()
    wait_until("the host still lists bravo", lambda: not any("Bravo" in r for r in host_console.players()),
               timeout=40)
    figures["removed"] = time.monotonic() - killed
    check('"Bravo" has left' in host_console.chat_pane(), "no departure line for bravo")
    a.send(host, net(NET_PROBE))
    check(a.message(NET_PROBE_REPLY, host) == net(NET_PROBE_REPLY), "probe after bravo's death")

    # --- A clean leave ------------------------------------------------------------------------------
    a.do("leave")
    wait_until("the host still lists alpha", lambda: not any("Alpha" in r for r in host_console.players()))
    check('"Alpha" has left' in host_console.chat_pane(), "no departure line for alpha")
    return figures


class HostConsole(Console):
    def players(self):
        return self.main_window()[1][1076].get("items", [])

    def click(self, control):
        hwnd, ids = self.main_window()
        check(ids[control]["enabled"], "control %d is disabled" % control)
        self.request("POST", "/command", json.dumps({"op": "click", "hwnd": hwnd, "control": control}))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--quarneld", required=True)
    p.add_argument("--runtime", required=True, help="folder with the built dplayx.dll and dpwsockx.dll")
    p.add_argument("--cache", required=True, help="folder for the Wine prefix")
    p.add_argument("--out", help="keep the logs and the capture here")
    args = p.parse_args()
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="quarneld-interop-")
    out = args.out or work
    os.makedirs(out, exist_ok=True)
    # One run at a time owns the cached prefix and its wineserver.
    lock = open(os.path.join(args.cache, "prefix.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    procs, clients, env = {}, [], None

    def stop(signum, _frame):
        raise Failure("stopped by signal %d" % signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, lambda *_: stop(signal.SIGALRM, None))
    signal.alarm(420)
    ok = False
    try:
        exe = os.path.join(work, "dpclient.exe")
        subprocess.run(["i686-w64-mingw32-gcc", "-O1", "-Wall", "-Werror", "-o", exe,
                        os.path.join(HERE, "dpclient.c"), "-ldxguid", "-lole32"], check=True, timeout=120)
        env = prepare_prefix(args.cache, args.runtime)
        env = dict(env, WINEDEBUG="+loaddll")  # the log shows which dplayx and dpwsockx ran
        workdir = sample_copy(work)
        ports = {k: free_port() for k in ("enum", "dplay", "console")}
        pcap = os.path.join(out, "interop.pcap")
        procs["tshark"] = subprocess.Popen(
            ["tshark", "-i", "lo", "-q", "-w", pcap, "-f",
             "port %d or port %d or portrange 2300-2400" % (ports["enum"], ports["dplay"])],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(out, "tshark.log"), "w"))
        wait_until("tshark is not capturing on lo (root or the wireshark group is needed)",
                   lambda: os.path.exists(pcap) and os.path.getsize(pcap) > 0 or procs["tshark"].poll() is not None)
        check(procs["tshark"].poll() is None, "tshark: %s" % open(os.path.join(out, "tshark.log")).read())
        token = "interop%d%06d" % (os.getpid(), int(time.time()) % 1000000)
        with open(os.path.join(work, "token"), "w") as f:
            f.write(token + "\n")
        host_log = open(os.path.join(out, "host.log"), "w")
        procs["host"] = subprocess.Popen(
            [args.quarneld, "run", "--workdir", workdir, "--bind", "127.0.0.1", "--enum-port", str(ports["enum"]),
             "--dplay-port", str(ports["dplay"]), "--console", "127.0.0.1:%d" % ports["console"],
             "--console-token-file", os.path.join(work, "token"), "--instance-name", "quarneld-interop-%d" % os.getpid()],
            stdout=host_log, stderr=subprocess.STDOUT)
        wait_until("the host did not open its session",
                   lambda: "session open" in open(os.path.join(out, "host.log")).read() or procs["host"].poll() is not None)
        check(procs["host"].poll() is None, "the host ended: %s" % open(os.path.join(out, "host.log")).read())
        console = HostConsole(ports["console"], token)

        def start(label):
            clients.append(Client(label, exe, env, out))
            return clients[-1]

        figures = road(start, console, ports, workdir)
        for c in clients:
            c.kill()
            wine_log = open(os.path.join(out, c.label + ".wine.log")).read()
            for dll in ("dplayx", "dpwsockx"):
                check(re.search(r'Loaded L"C:\\\\windows\\\\system32\\\\%s\.dll" at \w+: native' % dll, wine_log),
                        "%s: %s.dll was not the built (native) one" % (c.label, dll))
        procs["host"].send_signal(signal.SIGTERM)
        check(procs["host"].wait(15) == 0, "the host did not end cleanly")
        errors = open(os.path.join(workdir, "quarneld", "qdlerror.txt"), errors="replace").read() \
            if os.path.exists(os.path.join(workdir, "quarneld", "qdlerror.txt")) else ""
        check("rror" not in errors, "the host's error log: %s" % errors)
        time.sleep(0.5)
        procs["tshark"].send_signal(signal.SIGINT)
        procs["tshark"].wait(15)
        complaints, commands = tshark_reading(pcap)
        check(not complaints, "Wireshark on %s: %s" % (pcap, complaints[:10]))
        # EnumSessions and its reply, the join (RequestPlayerId, its reply, AddForwardRequest, the
        # name table), CreatePlayer, AddPlayerToGroup, AddForward to alpha when bravo joined.
        wanted = {0x02, 0x01, 0x05, 0x07, 0x13, 0x29, 0x08, 0x0D, 0x2E}
        check(wanted <= set(commands), "Wireshark did not see commands %s" % sorted(wanted - set(commands)))
        print("interop: enumeration, join, players and groups, welcome, teams, second client, chat, launch, "
              "killed client (removed after %.2f s), leave; %d DirectPlay frames read cleanly by Wireshark (%.0f s)"
              % (figures["removed"], len(commands), time.monotonic() - started))
        ok = True
    except (Failure, subprocess.SubprocessError, OSError) as e:
        print("interop FAILED: %s" % e)
    finally:
        signal.alarm(0)
        for c in clients:
            c.kill()
        if env:
            subprocess.run(["wineserver", "-k"], env=env, timeout=30)
        for p in procs.values():
            if p.poll() is None:
                p.kill()
            p.wait(10)
        if not ok:
            print("logs and capture: %s" % out)
        elif not args.out:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
