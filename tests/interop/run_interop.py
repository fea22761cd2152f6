#!/usr/bin/env python3
"""A real DirectPlay runtime against the real host: two Wine processes run dpclient.exe with Wine 10's own dplayx and
dpwsockx (tools/interop/build_wine_dplay.sh) on the sample session hosted by `quarneld run` on 127.0.0.1 while
tshark captures loopback. Each step is checked on what a client saw, the host's console and Wireshark's reading."""
import argparse, contextlib, fcntl, os, pathlib, re, shutil, signal, socket, struct, subprocess, sys, tempfile
import threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "dplay"))
from client import (NET_JOIN_REFUSED, NET_JOIN_TEAM, NET_LAUNCH, NET_NAME_REQUEST, NET_PAUSE_STATE,  # noqa: E402
                    NET_PROBE, NET_PROBE_REPLY, NET_TEXT, Console, Failure, Inbox, check, eq, net, net_text, wait_until,
                    wireshark)

APP = "{BA361865-7A5C-40E7-881A-567C19A150A9}"  # the simulator's, version 2 (sample: CFS_VERSION=2)
STEP = 15.0  # seconds any one step may take
RESULTS = ("session", "player", "group", "member", "me")  # what a command prints before "done"


def free_port():
    """A port free for TCP and UDP on 127.0.0.1."""
    for _ in range(50):
        with socket.create_server(("127.0.0.1", 0)) as t, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u, \
                contextlib.suppress(OSError):
            u.bind(t.getsockname())
            return t.getsockname()[1]
    raise Failure("no free port")


def text(path):
    return pathlib.Path(path).read_text(errors="replace") if os.path.exists(path) else ""


class Client(Inbox):
    """One dpclient.exe under Wine; its lines arrive split at '|'."""
    started = []

    def __init__(self, label, exe, env, out):
        super().__init__(label)
        Client.started.append(self)
        self.log = open(os.path.join(out, label + ".log"), "w")
        self.proc = subprocess.Popen(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                     stderr=open(os.path.join(out, label + ".wine.log"), "w"), text=True,
                                     encoding="latin-1", bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        eq(self.line("ready", timeout=60)[1], "0x00000000", "%s: IDirectPlay4A" % label)

    def _read(self):
        for line in self.proc.stdout:
            self.log.write(line)
            self.log.flush()
            self.inbox.put(line.rstrip("\r\n").split("|"))
        self.inbox.put(None)

    show = staticmethod("|".join)

    def line(self, kind, where=lambda f: True, timeout=STEP):
        return self.expect(kind + " line", lambda f: f[0] == kind and where(f), timeout)

    def do(self, command):
        """Runs a command; returns the lines it printed (sessions, players, ...)."""
        mark = len(self.backlog)
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        eq(self.line("done", lambda f: f[1] == command.split()[0])[2], "0x00000000", "%s: %s" % (self.label, command))
        rest = [x for x in self.backlog[mark:] if x[0] in RESULTS]
        self.backlog[mark:] = [x for x in self.backlog[mark:] if x[0] not in RESULTS]
        return rest

    def message(self, kind, sender=None, timeout=STEP):
        """The payload of the next application message of `kind` (from `sender`)."""
        def wanted(f):
            payload = bytes.fromhex(f[3])
            return payload[:4] == struct.pack("<I", kind) and (sender is None or int(f[1], 16) == sender)
        return bytes.fromhex(self.line("recv", wanted, timeout)[3])

    def send(self, to, payload):
        self.do("send %d %s" % (to, payload.hex()))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


def sample_copy(work):
    """The sample working directory with players' no-fun launch on: Wine 10 never tells the
    host about a name change, so a client cannot report Ready; the operator's "NF Launch now"
    launches waiting players instead."""
    wd = os.path.join(work, "sample")
    shutil.copytree(os.path.join(ROOT, "sample"), wd)
    cfg = pathlib.Path(wd, "quarneld", "configs", "Default.cfg")
    data = cfg.read_bytes()
    check(b"NO_LOCK_OR_RADAR_PLAYERS=0" in data, "the sample's no-fun setting moved")
    cfg.write_bytes(data.replace(b"NO_LOCK_OR_RADAR_PLAYERS=0", b"NO_LOCK_OR_RADAR_PLAYERS=1"))
    return wd


def prepare_prefix(cache, runtime):
    """The cached Wine prefix with the built DLLs in system32 (made once: about 15 s)."""
    prefix = os.path.join(cache, "prefix32")
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;dplayx,dpwsockx=n")
    env.pop("DISPLAY", None)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["wine", "wineboot", "-i"], env=env, capture_output=True, timeout=300, check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    for dll in ("dplayx.dll", "dpwsockx.dll"):
        shutil.copyfile(os.path.join(runtime, dll), os.path.join(prefix, "drive_c", "windows", "system32", dll))
    return env


def road(start, console, ports, workdir):
    """The scenarios; start(label) starts a client. Returns how long the host took to remove a
    killed client."""
    welcome = pathlib.Path(workdir, "quarneld", "configs", "Default.txt").read_bytes()
    targets = {"Henderson Field", "Tug Henderson", "Freighter Tulagi", "Munda Strip", "Fuel Dump Vila"}

    def listed(who, team=""):
        return any(who in r and team in r for r in console.players())

    # Enumeration: what the runtime read from the host's reply.
    a = start("alpha")
    sessions = a.do("enum 127.0.0.1 %d %s" % (ports["enum"], APP))
    eq(len(sessions), 1, "sessions alpha found")
    _, name, flags, most, current, u1, u2, u3, u4, instance, app = sessions[0]
    eq(name, "Quarneld Sample[]Solomons strike - Henderson, Tulagi, Munda, Vila[]AAAAAAAAAAAA[]AAAAAAAAAAAA",
       "session name")
    # MIGRATEHOST; 16 players; the five objects; user words from the sample's settings: 16 players,
    # 6 teams, 4 per team, 10 kills; squadron, restricted, pause, medium model, glare, G; 5000 ft
    # in the air at radius 1000; 150 kt.
    eq((flags, most, current, app), ("0x00000004", "16", "5", APP), "flags, max and current players, application")
    eq((u1, u2, u3, u4), ("0x0A040610", "0x00060309", "0x23E81388", "0x00000096"), "user words")
    check(instance not in (APP, "{00000000-0000-0000-0000-000000000000}"),
          "instance GUID %s: a created session has its own, not the application's" % instance)

    # Join, own player, the host's players and groups.
    a.do("join")
    me_a = int(a.do("create Alpha xA[]Spitfire[]G")[0][1], 16)
    listing = a.do("list")
    players = {f[3]: f for f in listing if f[0] == "player"}
    groups = {f[3]: int(f[1], 16) for f in listing if f[0] == "group"}
    eq(sorted(players), sorted(targets | {"Alpha"}), "players alpha lists")
    eq(int(players["Alpha"][1], 16), me_a, "alpha's own player")
    check(re.fullmatch(r"AJ\[\].*\[\]G", players["Henderson Field"][4]), "the host's identity %r" % players)
    host = int(players["Henderson Field"][1], 16)
    eq(sorted(groups), sorted(["Target ", "Target2", "Attack ", "Bomber ", "Defend ", "Cactus Air Force"]),
       "groups alpha lists")
    members = {(int(f[1], 16), int(f[2], 16)) for f in listing if f[0] == "member"}
    eq(len({p for g, p in members if g in (groups["Target "], groups["Target2"])}), len(targets),
       "objects in the Target teams")

    # Welcome text, name request, pause state.
    eq(a.message(NET_TEXT, host), net_text(2, welcome), "welcome")
    eq(a.message(NET_NAME_REQUEST, host), net(NET_NAME_REQUEST), "name request")
    eq(a.message(NET_PAUSE_STATE, host), struct.pack("<IIII", NET_PAUSE_STATE, 8, 0xFFFFFFFF, 0), "pause state")

    # Team requests: a Target team refused, Attack taken; the settings link starts its work for a
    # player on a team.
    a.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Target "])))
    a.message(NET_JOIN_REFUSED, host)
    a.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Attack "])))
    a.line("recv", lambda f: b"QDL attempting to create connection" in bytes.fromhex(f[3]))
    wait_until("alpha not in Attack on the host's player list", lambda: listed("Alpha", "Attack"), STEP)

    # A second client learns of the first.
    b = start("bravo")
    sessions = b.do("enum 127.0.0.1 %d %s" % (ports["enum"], APP))
    eq((sessions[0][9], sessions[0][4]), (instance, "6"), "bravo's enumeration: instance and players")
    b.do("join")
    me_b = int(b.do("create Bravo xA[]Corsair[]G")[0][1], 16)
    listing = b.do("list")
    seen = {f[3]: int(f[1], 16) for f in listing if f[0] == "player"}
    check(seen.get("Alpha") == me_a and "Bravo" in seen, "bravo lists %r" % sorted(seen))
    check(["member", "0x%08X" % groups["Attack "], "0x%08X" % me_a] in listing, "bravo: alpha not in Attack")
    a.line("sys", lambda f: f[1:3] == ["create", "0x%08X" % me_b] and f[4] == "Bravo")
    b.message(NET_TEXT, host)
    b.send(host, net(NET_JOIN_TEAM, struct.pack("<I", groups["Bomber "])))
    wait_until("bravo not in Bomber on the host's player list", lambda: listed("Bravo", "Bomber"), STEP)

    # Chat from one client reaches the other (and the host).
    a.send(0, net_text(1, b"Tally ho"))
    eq(b.message(NET_TEXT, me_a), net_text(1, b"Tally ho"), "what bravo got")
    wait_until("alpha's line not in the host's chat pane", lambda: "Alpha:  Tally ho" in console.chat_pane(), STEP)

    # Launch with two clients.
    console.command("click", 1114)
    for c, me in ((a, me_a), (b, me_b)):
        _t, size, tod, one, whom, turn = struct.unpack("<6I", c.message(NET_LAUNCH, host))
        eq((size, one, whom, tod & 0xFFFF00, turn), (16, 1, me, 30 << 8, int(300 / 360 * 4294967295)),
           "%s's NET_LAUNCH" % c.label)

    # A client killed mid-game: the host removes it; the game goes on for the other.
    killed = time.monotonic()
    b.kill()
    wait_until("the host still lists bravo", lambda: not listed("Bravo"), 40)
    removed = time.monotonic() - killed
    check('"Bravo" has left' in console.chat_pane(), "no departure line for bravo")
    a.send(host, net(NET_PROBE))
    eq(a.message(NET_PROBE_REPLY, host), net(NET_PROBE_REPLY), "probe reply after bravo's death")

    # A clean leave.
    a.do("leave")
    wait_until("the host still lists alpha", lambda: not listed("Alpha"), STEP)
    check('"Alpha" has left' in console.chat_pane(), "no departure line for alpha")
    return removed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--quarneld", required=True)
    p.add_argument("--runtime", required=True, help="folder with the built dplayx.dll and dpwsockx.dll")
    p.add_argument("--cache", required=True, help="folder for the Wine prefix")
    p.add_argument("--out", help="keep the logs and the capture here")
    args = p.parse_args()
    started, work = time.monotonic(), tempfile.mkdtemp(prefix="quarneld-interop-")
    out = args.out or work
    os.makedirs(out, exist_ok=True)
    lock = open(os.path.join(args.cache, "prefix.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)  # one run at a time owns the cached prefix and its wineserver
    procs, env, ok = {}, None, False

    def stop(signum, _frame):
        raise Failure("stopped by signal %d" % signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(420)
    try:
        exe = os.path.join(work, "dpclient.exe")
        subprocess.run(["i686-w64-mingw32-gcc", "-O1", "-Wall", "-Werror", "-o", exe,
                        os.path.join(HERE, "dpclient.c"), "-ldxguid", "-lole32"], check=True, timeout=120)
        # The clients' Wine logs show which dplayx and dpwsockx ran.
        env = dict(prepare_prefix(args.cache, args.runtime), WINEDEBUG="+loaddll")
        workdir = sample_copy(work)
        ports = {k: free_port() for k in ("enum", "dplay", "console")}
        pcap, tshark_log = os.path.join(out, "interop.pcap"), os.path.join(out, "tshark.log")
        procs["tshark"] = subprocess.Popen(
            ["tshark", "-i", "lo", "-q", "-w", pcap, "-f",
             "port %d or port %d or portrange 2300-2400" % (ports["enum"], ports["dplay"])],
            stdout=subprocess.DEVNULL, stderr=open(tshark_log, "w"))
        wait_until("tshark is not capturing on lo (root or the wireshark group is needed)",
                   lambda: os.path.exists(pcap) and os.path.getsize(pcap) > 0 or procs["tshark"].poll() is not None,
                   STEP)
        check(procs["tshark"].poll() is None, "tshark: %s" % text(tshark_log))
        token, host_log = os.urandom(12).hex(), os.path.join(out, "host.log")
        pathlib.Path(work, "token").write_text(token + "\n")
        procs["host"] = subprocess.Popen(
            [args.quarneld, "run", "--workdir", workdir, "--bind", "127.0.0.1", "--enum-port", str(ports["enum"]),
             "--dplay-port", str(ports["dplay"]), "--console", "127.0.0.1:%d" % ports["console"],
             "--console-token-file", os.path.join(work, "token"), "--instance-name", "quarneld-interop-" + token],
            stdout=open(host_log, "w"), stderr=subprocess.STDOUT)
        wait_until("the host did not open its session",
                   lambda: "session open" in text(host_log) or procs["host"].poll() is not None, STEP)
        check(procs["host"].poll() is None, "the host ended: %s" % text(host_log))
        removed = road(lambda label: Client(label, exe, env, out), Console(ports["console"], token), ports, workdir)
        for c in Client.started:
            c.kill()
            for dll in ("dplayx", "dpwsockx"):
                check(re.search(r'Loaded L"C:\\\\windows\\\\system32\\\\%s\.dll" at \w+: native' % dll,
                                text(os.path.join(out, c.label + ".wine.log"))),
                      "%s: %s.dll was not the built (native) one" % (c.label, dll))
        procs["host"].send_signal(signal.SIGTERM)
        eq(procs["host"].wait(15), 0, "the host's exit status")
        errors = text(os.path.join(workdir, "quarneld", "qdlerror.txt"))
        check("rror" not in errors, "the host's error log: %s" % errors)
        time.sleep(0.5)
        procs["tshark"].send_signal(signal.SIGINT)
        procs["tshark"].wait(15)
        complaints, rows = wireshark(pcap, "dplay.command")
        check(not complaints, "Wireshark on %s: %s" % (pcap, complaints[:10]))
        commands = [int(r[0], 16) for r in rows if r[0]]
        # EnumSessions and its reply, the join (RequestPlayerId, its reply, AddForwardRequest, the
        # name table), CreatePlayer, AddPlayerToGroup, AddForward to alpha when bravo joined.
        wanted = {0x02, 0x01, 0x05, 0x07, 0x13, 0x29, 0x08, 0x0D, 0x2E}
        check(wanted <= set(commands), "Wireshark did not see commands %s" % sorted(wanted - set(commands)))
        print("interop: every step held; a killed client removed after %.2f s; %d DirectPlay frames read cleanly "
              "by Wireshark (%.0f s)" % (removed, len(commands), time.monotonic() - started))
        ok = True
    except (Failure, subprocess.SubprocessError, OSError) as e:
        print("interop FAILED: %s" % e)
    finally:
        signal.alarm(0)
        for c in Client.started:
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
