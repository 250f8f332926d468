#!/usr/bin/python3
"""The console as a desktop service: the real binary under Xvfb on a private
session bus, beside small stand-ins of the desktop's status-notifier watcher
and notification service (stand_ins.py). It keeps serving with its window
closed (still announced, browsed through an avahi-daemon of its own when it
can have one), a second start shows the first one's window, the status item
offers Open and Quit, start at login writes a valid entry, a replication failing
while the window is hidden is told once.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import argparse
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "acceptance"))
from acceptance import Failure, Session, check, eventually, http, log, skip  # noqa: E402

from gi.repository import Gio, GLib  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ADMIN_PASSWORD = "trevok"


def enter_own_network(argv):
    """Re-runs this script in a network namespace of its own (as root), so
    that its server never meets another one on 127.0.0.1:5984."""
    if os.environ.get("TREVOK_DESKTOP_NETNS") or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        return
    inner = "ip link set lo up && exec \"$0\" \"$@\""
    result = subprocess.run(["unshare", "--net", "--fork", "--kill-child", "sh", "-c", inner,
                             sys.executable, os.path.abspath(__file__)] + argv,
                            env=dict(os.environ, TREVOK_DESKTOP_NETNS="1"))
    sys.exit(result.returncode)


class StandIns:
    def __init__(self, session):
        self.process = session.spawn([sys.executable, os.path.join(HERE, "stand_ins.py")],
                                     stdout=subprocess.PIPE, text=True)
        os.set_blocking(self.process.stdout.fileno(), False)
        self.events = []
        eventually(lambda: self.seen("ready"), "the stand-ins did not start", 10)

    def poll(self):
        while True:
            line = self.process.stdout.readline()
            if not line:
                return
            self.events.append(json.loads(line))

    def seen(self, kind):
        self.poll()
        return [e for e in self.events if e["kind"] == kind]


class Console:
    """A console process of the session, driven through its test channel."""

    count = 0

    def __init__(self, session, *args):
        Console.count += 1
        self.socket_path = os.path.join(session.dir, "control-%d" % Console.count)
        env = dict(session.env, QT_QPA_PLATFORM="xcb", TREVOK_TEST_CONTROL=self.socket_path)
        self.log = open(os.path.join(session.dir, "console-%d.log" % Console.count), "wb")
        self.process = subprocess.Popen([session.binary, *args], env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        session.processes.append(self.process)
        self.channel = None

    def connect(self):
        def attempt():
            channel = socket.socket(socket.AF_UNIX)
            try:
                channel.connect(self.socket_path)
            except OSError:
                channel.close()
                return None
            return channel
        self.channel = eventually(attempt, "the console's test channel did not open", 30)
        self.reader = self.channel.makefile("r")

    def command(self, line):
        self.channel.sendall(line.encode() + b"\n")
        answer = self.reader.readline()
        check(answer, "the console did not answer %r" % line)
        return json.loads(answer)

    def state(self):
        return self.command("state")

    def run(self, line):
        check(self.command(line).get("ok"), "the console refused: " + line)

    def ended(self, timeout):
        try:
            self.process.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False


SYSTEM_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
"""


class Announcements:
    """An avahi-daemon of the test's own on a system bus of its own, inside
    this script's network namespace (a veth pair carries the multicast), so
    that the console's announcement can be browsed and nothing leaves the
    machine. `reason` says why not when it cannot be had."""

    def __init__(self, session):
        self.reason = None
        self.daemon = None
        if not os.environ.get("TREVOK_DESKTOP_NETNS"):
            self.reason = "no network namespace of its own"
        elif not shutil.which("avahi-daemon") or not shutil.which("avahi-browse"):
            self.reason = "no avahi-daemon or avahi-browse"
        elif subprocess.run(["avahi-daemon", "--check"]).returncode == 0:
            self.reason = "another avahi-daemon runs on this machine"
        if self.reason:
            return
        path = os.path.join(session.dir, "system_bus_socket")
        config = os.path.join(session.dir, "system-bus.conf")
        with open(config, "w") as f:
            f.write(SYSTEM_BUS_CONFIG % path)
        session.spawn(["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"])
        eventually(lambda: os.path.exists(path), "the system bus did not start", 10)
        session.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + path
        for args in (["link", "add", "trevokva", "type", "veth", "peer", "name", "trevokvb"],
                     ["link", "set", "trevokva", "up"], ["link", "set", "trevokvb", "up"],
                     ["addr", "add", "192.0.2.20/24", "dev", "trevokva"]):
            subprocess.run(["ip"] + args, check=True)
        self.daemon = session.spawn(["avahi-daemon", "--no-drop-root", "--no-chroot"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        eventually(lambda: self.daemon.poll() is None and subprocess.run(
            ["avahi-browse", "-atp"], env=session.env, capture_output=True).returncode == 0,
            "avahi-daemon did not start", 15)
        self.env = session.env

    def ports(self):
        """The ports of the announced sync listeners."""
        found = subprocess.run(["avahi-browse", "-rtp", "_trevok-sync._tcp"], env=self.env,
                               capture_output=True, text=True, timeout=30).stdout
        return {int(f[8]) for f in (line.split(";") for line in found.splitlines())
                if len(f) > 8 and f[0] == "="}


def listener_answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            return s.recv(12).startswith(b"HTTP/1.1 ")
    except OSError:
        return False


def sync_client_session(port, user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(("GET /_session HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n"
                   "Connection: close\r\n\r\n" % token).encode())
        return s.recv(12).startswith(b"HTTP/1.1 200")


def server_answers():
    return http("GET", "/_all_dbs")[0] == 200


class StatusItem:
    """The console's StatusNotifierItem and its menu, read as a status area would."""

    def __init__(self, service):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.service = service

    def call(self, path, interface, method, args, reply):
        return self.bus.call_sync(self.service, path, interface, method, args,
                                  GLib.VariantType(reply), Gio.DBusCallFlags.NONE, 5000,
                                  None).unpack()

    def property(self, name):
        return self.call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", name)), "(v)")[0]

    def menu(self):
        """Label → item id of the menu's entries."""
        path = self.property("Menu")
        layout = self.call(path, "com.canonical.dbusmenu", "GetLayout",
                           GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1]
        return {child[1].get("label", "").replace("_", ""): child[0] for child in layout[2]}

    def choose(self, label):
        path = self.property("Menu")
        self.call(path, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (self.menu()[label], "clicked", GLib.Variant("i", 0),
                                          0)), "()")


def second_start_shows_the_first(session, console, port):
    started = time.time()
    second = Console(session)
    check(second.ended(2.0), "a second start did not end within 2 s")
    check(second.process.returncode == 0, "a second start ended with %s" %
          second.process.returncode)
    log("second start ended after %.2f s" % (time.time() - started))
    eventually(lambda: console.state()["windowVisible"], "the first window was not shown", 5)
    check(console.state()["listenerPort"] == port, "the listener's port changed")


def closing_keeps_serving(session, console, port, how, announcements):
    if how == "close button":
        console.run("closeWindow")
    else:
        subprocess.run(["xdotool", "key", "--clearmodifiers", "ctrl+w"], env=session.env,
                       check=True)
    eventually(lambda: not console.state()["windowVisible"], how + " did not hide the window", 10)
    time.sleep(1)
    check(console.process.poll() is None, "the console ended when its window closed")
    check(listener_answers(port), "the listener stopped answering after " + how)
    check(console.state()["listenerPort"] == port, "the listener's port changed")
    if not announcements.reason:
        check(port in announcements.ports(), "the announcement went after " + how)


def scenario(session, stand_ins, announcements):
    console = Console(session)
    console.connect()
    eventually(lambda: console.state()["listenerPort"] > 0 and server_answers(),
               "the console did not start serving", 60)
    port = console.state()["listenerPort"]
    if announcements.reason:
        log("the announcement is not browsed: " + announcements.reason)
    else:
        eventually(lambda: port in announcements.ports(), "the listener was not announced", 20)
        eventually(lambda: "announced on the network" in console.state()["statusSummary"],
                   "the status does not say the listener is announced", 5)
        log("listener on port %d, announced and browsed" % port)

    # The status item registers and offers Open and Quit.
    items = eventually(lambda: stand_ins.seen("item"), "no status item registered", 15)
    item = StatusItem(items[-1]["service"])
    menu = eventually(item.menu, "the status item has no menu", 10)
    check({"Open TrevokServer", "Quit TrevokServer"} <= set(menu), "menu: %s" % sorted(menu))
    tooltip = str(item.property("ToolTip"))
    check("Server: up" in tooltip and "users seen in the last hour" in tooltip,
          "tooltip: " + tooltip)
    log("status item %s, menu %s" % (item.service, sorted(menu)))

    # A member of a project, whose database goes missing later.
    console.run("login " + ADMIN_PASSWORD)
    console.run("createUser dora Dora Example pw")
    console.run("createProject Orchard")
    eventually(lambda: "Orchard" in console.state()["projects"], "no project Orchard", 15)
    console.run("selectProject Orchard")
    console.run("doubleClickUser dora")
    eventually(lambda: "dora" in console.state()["members"], "dora did not become a member", 15)

    # Closing (either way) keeps serving; a second start brings the window back.
    for how in ("close button", "Ctrl+W"):
        closing_keeps_serving(session, console, port, how, announcements)
        second_start_shows_the_first(session, console, port)
        log("closed by %s: still serving; shown again by a second start" % how)

    # Start at login: a valid entry, written and removed by the checkbox.
    entry = os.path.join(session.env["XDG_CONFIG_HOME"], "autostart",
                         "com.trevokapp.TrevokServer.desktop")
    console.run("clickStartAtLogin")
    check(os.path.exists(entry), "no autostart entry was written")
    valid = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    check(valid.returncode == 0 and not valid.stdout.strip(),
          "the autostart entry is not valid: " + valid.stdout)
    with open(entry) as f:
        exec_line = [line for line in f if line.startswith("Exec=")][0]
    check("--hidden" in exec_line, "the entry does not start the console hidden: " + exec_line)
    console.run("clickStartAtLogin")
    check(not os.path.exists(entry), "the autostart entry was not removed")

    # A member's database removed while the window is hidden: one notification.
    console.run("closeWindow")
    eventually(lambda: not console.state()["windowVisible"], "the window did not hide", 10)
    before = len(stand_ins.seen("notify"))
    check(http("DELETE", "/trevok_user_db_dora")[0] == 200, "could not remove dora's database")
    told = eventually(lambda: stand_ins.seen("notify")[before:], "no notification within 10 s",
                      10)
    check("dora" in told[0]["summary"] + told[0]["body"], "the notification: %s" % told[0])
    time.sleep(5)
    told = stand_ins.seen("notify")[before:]
    check(len(told) == 1, "%d notifications for one failure: %s" % (len(told), told))
    log("told: %s — %s" % (told[0]["summary"], told[0]["body"]))

    # Quit from the status menu: the listener goes, the server stays.
    item.choose("Quit TrevokServer")
    check(console.ended(30), "Quit did not end the console")
    check(console.process.returncode == 0, "Quit ended with %s" % console.process.returncode)
    check(not listener_answers(port), "the listener still answers after Quit")
    if not announcements.reason:
        eventually(lambda: port not in announcements.ports(),
                   "the announcement outlived the console", 15)
    check(server_answers(), "the server went with the console")

    # Started as the autostart entry starts it: hidden, serving at once.
    hidden = Console(session, "--hidden")
    hidden.connect()
    eventually(lambda: hidden.state()["listenerPort"] > 0, "the hidden console did not serve", 30)
    check(not hidden.state()["windowVisible"], "the console started at login shows its window")
    hidden_port = hidden.state()["listenerPort"]
    check(listener_answers(hidden_port), "the hidden console's listener")

    # Seen through the listener while nobody is logged in: counted at once,
    # written into the user's record at login.
    check(sync_client_session(hidden_port, "dora", "pw"), "dora's session through the listener")
    eventually(lambda: "1 user seen in the last hour" in hidden.state()["statusSummary"],
               "the status does not count dora: " + hidden.state()["statusSummary"], 10)
    before = (http("GET", "/_users/org.couchdb.user:dora")[1] or {}).get("lastConnected")
    hidden.run("login " + ADMIN_PASSWORD)
    eventually(lambda: (http("GET", "/_users/org.couchdb.user:dora")[1] or {})
               .get("lastConnected") != before, "dora's sighting was not written at login", 15)

    # The server lost and back, told while the window is hidden.
    told_before = len(stand_ins.seen("notify"))
    os.kill(hidden.state()["serverPid"], signal.SIGKILL)
    summaries = lambda: [e["summary"] for e in stand_ins.seen("notify")[told_before:]]  # noqa: E731
    eventually(lambda: any("not answering" in t for t in summaries()),
               "losing the server was not told", 10)
    eventually(lambda: any("is back" in t for t in summaries()), "the server's return was not told",
               30)
    log("told: " + "; ".join(summaries()))
    # Its window, never shown yet, comes when the console is started again.
    second_start_shows_the_first(session, hidden, hidden_port)
    subprocess.run(["xdotool", "key", "--clearmodifiers", "ctrl+q"], env=session.env, check=True)
    check(hidden.ended(30), "Ctrl+Q did not end the console")
    check(not listener_answers(hidden_port), "the listener still answers after Ctrl+Q")
    check(server_answers(), "the server went with the console")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--resources", required=True)
    args = parser.parse_args()
    enter_own_network(sys.argv[1:])
    missing = [t for t in ("Xvfb", "dbus-daemon", "xdotool", "desktop-file-validate")
               if not shutil.which(t)]
    if missing:
        skip("missing programs: " + ", ".join(missing))
    if http("GET", "/", user=None)[0] != 0:
        skip("a server already answers on 127.0.0.1:5984 and no network namespace is at hand")
    session = Session(os.path.abspath(args.binary), os.path.abspath(args.resources))
    try:
        session.start_display()
        bus = session.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                            stdout=subprocess.PIPE)
        session.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = session.env["DBUS_SESSION_BUS_ADDRESS"]
        announcements = Announcements(session)
        scenario(session, StandIns(session), announcements)
        log("PASS")
        return 0
    except Failure as failure:
        log("FAIL: %s" % failure)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        if os.environ.get("TREVOK_DESKTOP_VERBOSE"):
            for name in sorted(os.listdir(session.dir)):
                if name.startswith("console-"):
                    with open(os.path.join(session.dir, name), errors="replace") as f:
                        log("--- %s\n%s" % (name, f.read()))
        session.stop()


if __name__ == "__main__":
    sys.exit(main())
