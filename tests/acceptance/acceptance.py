#!/usr/bin/python3
"""Acceptance suite: drives the real console binary as a person would.

The console runs under Xvfb with a session D-Bus and the accessibility bus.
This script is an AT-SPI client: it finds controls by their accessible
description (the outlet name), types into fields, presses buttons,
double-clicks rows where they are on the screen and reads labels back. After
each step it compares what the server holds with the data model.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed). On CI
(CI=true) a missing prerequisite is a failure, not a skip.
"""

import argparse
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.error
import urllib.parse
import urllib.request

SKIP = 77
ADMIN_PASSWORD = "trevok"  # the bundled server's initial password
SERVER = "http://127.0.0.1:5984"


def log(text):
    print(text, flush=True)


def skip(reason):
    if os.environ.get("CI") == "true":
        log("FAIL: cannot run on CI: " + reason)
        sys.exit(1)
    log("SKIP: " + reason)
    sys.exit(SKIP)


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def eventually(probe, what, timeout=30.0, interval=0.2):
    """Polls `probe` until it returns a true value; that value is returned."""
    deadline = time.time() + timeout
    last_error = None
    while time.time() < deadline:
        try:
            value = probe()
            if value:
                return value
        except Failure as error:
            last_error = error
        except Exception as error:  # AT-SPI objects vanish while we look
            last_error = error
        time.sleep(interval)
    raise Failure("%s (last: %s)" % (what, last_error))


# ---------------------------------------------------------------------------
# Environment: network namespace, display, buses


def prerequisites():
    missing = [tool for tool in ("Xvfb", "dbus-daemon", "xdotool") if not shutil.which(tool)]
    if missing:
        skip("missing programs: " + ", ".join(missing))
    for launcher in ("/usr/libexec/at-spi-bus-launcher",):
        if not os.access(launcher, os.X_OK):
            skip("missing %s (Debian package at-spi2-core)" % launcher)
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        skip("the Python AT-SPI client is missing (Debian package python3-pyatspi)")


def enter_own_network(argv):
    """Re-runs this script in a network namespace of its own, so that its
    server never meets another one on 127.0.0.1:5984. Returns when already
    inside one, or when no namespace can be made (CTest then holds the lock)."""
    if os.environ.get("TREVOK_ACCEPTANCE_NETNS"):
        return
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        log("no network namespace of its own: running beside the machine's servers")
        return
    probe = subprocess.run(["unshare", "--net", "true"], capture_output=True)
    if probe.returncode != 0:
        log("no network namespace of its own: " + probe.stderr.decode(errors="replace").strip())
        return
    env = dict(os.environ, TREVOK_ACCEPTANCE_NETNS="1")
    inner = "ip link set lo up && exec \"$0\" \"$@\""
    result = subprocess.run(
        ["unshare", "--net", "--fork", "--kill-child", "sh", "-c", inner, sys.executable,
         os.path.abspath(__file__)] + argv,
        env=env)
    sys.exit(result.returncode)


class Session:
    """Xvfb, a session bus, the accessibility bus and the console, all started
    here and all stopped at the end, by their process IDs."""

    def __init__(self, binary, resources):
        self.binary = binary
        self.resources = resources
        self.dir = tempfile.mkdtemp(prefix="trevok-acceptance-")
        self.processes = []
        self.console = None
        self.env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"):
            path = os.path.join(self.dir, name.lower())
            os.makedirs(path, mode=0o700)
            self.env[name] = path
        self.env["TREVOK_RESOURCES"] = resources
        self.env.pop("SESSION_MANAGER", None)

    def spawn(self, args, **kwargs):
        process = subprocess.Popen(args, env=self.env, **kwargs)
        self.processes.append(process)
        return process

    def start_display(self):
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1000x24",
                    "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        check(number, "Xvfb did not start")
        self.env["DISPLAY"] = ":" + number

    def start_buses(self):
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE)
        address = bus.stdout.readline().decode().strip()
        check(address, "the session bus did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        # The accessibility bus and its registry, started now rather than on
        # the first request, so that the console finds them at once.
        self.spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The console looks for the accessibility bus once, as it starts: on
        # a busy machine a fixed pause was not always enough, and a console
        # that missed the bus never shows up on it.
        eventually(self.accessibility_bus_ready, "the accessibility bus did not come up", 30)

    def dbus_send(self, bus_args, *args):
        return subprocess.run(["dbus-send", *bus_args, "--print-reply", *args], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=5)

    def accessibility_bus_ready(self):
        reply = self.dbus_send(["--session"], "--dest=org.a11y.Bus", "/org/a11y/bus",
                               "org.a11y.Bus.GetAddress")
        if reply.returncode != 0:
            return None
        address = reply.stdout.decode().split('"')
        if len(address) < 2 or not address[1]:
            return None
        registry = self.dbus_send(["--bus=" + address[1]], "--dest=org.a11y.atspi.Registry",
                                  "/org/a11y/atspi/accessible/root",
                                  "org.freedesktop.DBus.Peer.Ping")
        return registry.returncode == 0 or None

    def start_console(self):
        env = dict(self.env)
        env.update({"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1",
                    "QT_QPA_PLATFORM": "xcb", "NO_AT_BRIDGE": "0"})
        log_file = open(os.path.join(self.dir, "console.log"), "wb")
        self.console = subprocess.Popen([self.binary], env=env, stdout=log_file,
                                        stderr=subprocess.STDOUT)
        self.processes.append(self.console)

    def mine(self):
        """Processes started by the console (the server outlives it): they
        carry this session's unique data folder in their environment."""
        marker = ("XDG_DATA_HOME=" + self.env["XDG_DATA_HOME"]).encode()
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def stop(self):
        stray = self.mine()
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        for pid in stray:
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
        time.sleep(0.5)
        for pid in stray:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if os.environ.get("TREVOK_ACCEPTANCE_KEEP"):
            log("kept " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


# ---------------------------------------------------------------------------
# The server, read directly


def http(method, path, body=None, user="admin", password=ADMIN_PASSWORD):
    request = urllib.request.Request(SERVER + path, method=method,
                                     data=None if body is None else json.dumps(body).encode())
    request.add_header("Content-Type", "application/json")
    if user:
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        request.add_header("Authorization", "Basic " + token)
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            return reply.status, json.loads(reply.read() or b"null")
    except urllib.error.HTTPError as error:
        try:
            return error.code, json.loads(error.read() or b"null")
        except ValueError:
            return error.code, None
    except (urllib.error.URLError, ConnectionError):
        return 0, None


def seg(name):
    return urllib.parse.quote(name, safe="")


def get(path):
    status, body = http("GET", path)
    return body if status == 200 else None


def docs(db):
    body = get("/%s/_all_docs?include_docs=true" % seg(db)) or {"rows": []}
    return [row["doc"] for row in body["rows"] if "doc" in row]


def replications():
    return [d for d in docs("_replicator") if not d["_id"].startswith("_design/")]


# ---------------------------------------------------------------------------
# The data model, compared letter for letter where it is fixed

VALIDATE_HEAD = 'function(new_doc, old_doc, userCtx) { if(!userCtx || userCtx.name != "'
# The function closed after its if block, so that servers that compile it take it.
VALIDATE_TAIL = '") { throw({forbidden: "Bad user"});}}'
PROJECT_INFO_MAP = 'function(doc){if (doc.type ==="ProjectInfoDoc") emit(doc.title, doc);};'
USER_FIELDS = {"firstName", "middleName", "lastName", "name", "note", "created", "documentID",
               "revision", "type", "owner", "roles", "password", "active", "lastConnected",
               "serverID"}
# What the server's account store adds when it takes a password.
SERVER_ACCOUNT_FIELDS = {"password_scheme", "iterations", "derived_key", "salt", "password_sha"}
PROJECT_FIELDS = {"title", "serverDBName", "projectID", "created_at", "changed_at", "shared",
                  "bVersion", "desc", "type", "serverID", "members", "wasDeleted", "archived"}
REPLICATION_STATE = {"_replication_state", "_replication_state_time", "_replication_id",
                     "_replication_stats", "_replication_state_reason"}


def design_members(db, name, expected):
    """The design document has exactly the members `expected` names, each
    with exactly the functions named there."""
    doc = get("/%s/_design/%s" % (seg(db), seg(name)))
    check(doc is not None, "design document %s of %s is missing" % (name, db))
    members = {k: v for k, v in doc.items() if k not in ("_id", "_rev")}
    check(set(members) == set(expected),
          "design document %s of %s has members %s, expected %s"
          % (name, db, sorted(members), sorted(expected)))
    for member, functions in expected.items():
        if functions is None:  # a function text of its own, not a group of them
            check(isinstance(members[member], str),
                  "%s/%s of %s is %r, expected a function" % (name, member, db, members[member]))
            continue
        check(set(members[member]) == set(functions),
              "%s/%s of %s holds %s, expected %s"
              % (name, member, db, sorted(members[member]), sorted(functions)))
    return doc


def no_stray_design_members():
    """Every design document the console writes holds only views and
    filters, and a user database's its access rule as well (the server's
    own, such as those of _users, are not its)."""
    for db in get("/_all_dbs") or []:
        if not (db.startswith("trevok_") or db.startswith("archived_trevok_")
                or db == "_replicator"):
            continue
        body = get("/%s/_all_docs?startkey=%%22_design/%%22&endkey=%%22_design0%%22"
                   "&include_docs=true" % seg(db)) or {"rows": []}
        for row in body["rows"]:
            if db == "_replicator" and row["id"] != "_design/trevok":
                continue
            allowed = {"_id", "_rev", "views", "filters"}
            if db.startswith("trevok_user_db_") and row["id"] == "_design/security":
                allowed.add("validate_doc_update")
            extra = set(row["doc"]) - allowed
            check(not extra, "design document %s of %s has members %s"
                  % (row["id"], db, sorted(extra)))


def check_master(server_id_holder):
    master = get("/trevok_master/trevokMasterID")
    check(master is not None, "the master record is missing")
    server_id_holder["serverID"] = master.get("masterID")
    design_members("trevok_master", "projectmeta", {"views": ["all_projects"]})


def check_user(name, first, last):
    doc = get("/_users/" + seg("org.couchdb.user:" + name))
    check(doc is not None, "user document of %s is missing" % name)
    extra = set(doc) - USER_FIELDS - SERVER_ACCOUNT_FIELDS - {"_id", "_rev"}
    check(not extra, "user document of %s has fields outside the data model: %s" % (name, extra))
    for field, value in (("name", name), ("firstName", first), ("lastName", last),
                         ("type", "user"), ("owner", name), ("roles", [])):
        check(doc.get(field) == value, "user %s: %s is %r, expected %r"
              % (name, field, doc.get(field), value))
    for field in ("created", "lastConnected", "serverID"):
        check(doc.get(field), "user %s lacks %s" % (name, field))
    for field in ("middleName", "note", "documentID", "revision", "active"):
        check(field not in doc, "user %s carries %s, which no flow writes" % (name, field))
    db = "trevok_user_db_" + name
    security = get("/%s/_security" % seg(db))
    check(security == {"admins": {"names": [], "roles": []},
                       "readers": {"names": [name], "roles": []}},
          "security object of %s is %r" % (db, security))
    design = design_members(db, "security", {"views": ["validate_doc_update"],
                                              "filters": ["user_to_master_filter"],
                                              "validate_doc_update": None})
    check(design["validate_doc_update"].startswith(
        "function(newDoc, oldDoc, userCtx) { var projects = ["),
        "the access rule of %s is %r" % (db, design["validate_doc_update"][:80]))
    check(design["views"]["validate_doc_update"] == {"map": VALIDATE_HEAD + name + VALIDATE_TAIL},
          "view validate_doc_update of %s is %r" % (db, design["views"]["validate_doc_update"]))
    to_master = [r for r in replications() if r.get("source") == db]
    check(len(to_master) == 1, "%d replications from %s" % (len(to_master), db))
    r = to_master[0]
    check(r.get("target") == "trevok_master" and r.get("continuous") is True
          and r.get("filter") == "security/user_to_master_filter"
          and "query_params" not in r,
          "user-to-master replication of %s is %r" % (name, r))


def check_user_gone(name):
    db = "trevok_user_db_" + name
    check(http("GET", "/_users/" + seg("org.couchdb.user:" + name))[0] == 404,
          "user document of %s is still there" % name)
    check(http("GET", "/" + seg(db))[0] == 404, "%s is still there" % db)
    left = [r for r in replications() if db in (r.get("source"), r.get("target"))]
    check(not left, "replications naming %s are left: %r" % (db, left))
    return True


def project_record(title):
    for doc in docs("trevok_master"):
        if doc.get("type") == "ProjectInfoDoc" and doc.get("title") == title:
            return doc
    return None


def check_project(title, stem, members, archived=False):
    master_copy = project_record(title)
    check(master_copy is not None, "no record of %s in trevok_master" % title)
    pid = master_copy["_id"]
    db = "trevok_project_" + stem
    record = get("/%s/%s" % (seg(db), seg(pid)))
    check(record is not None, "record of %s missing in %s" % (title, db))
    for doc in (record, master_copy):
        extra = set(doc) - PROJECT_FIELDS - {"_id", "_rev", "_revisions"}
        check(not extra, "record of %s has fields outside the data model: %s" % (title, extra))
        check(doc.get("projectID") == pid and doc.get("serverDBName") == stem
              and doc.get("type") == "ProjectInfoDoc" and doc.get("bVersion") == "1.1"
              and doc.get("serverID") and doc.get("created_at") and doc.get("changed_at"),
              "record of %s is %r" % (title, doc))
    check(record.get("members", []) == members,
          "members of %s are %r, expected %r" % (title, record.get("members"), members))
    check(record.get("archived") is archived,
          "archived of %s is %r" % (title, record.get("archived")))
    meta = design_members(db, "projectmeta", {
        "filters": ["project_to_master_filter"] + (["project_to_user_filter"] if members or
                                                    has_member_filter(db) else []),
        "views": ["project_info"] + (["all_projects"] if archived else [])})
    check(meta["views"]["project_info"] == {"map": PROJECT_INFO_MAP},
          "view project_info of %s is %r" % (db, meta["views"]["project_info"]))
    design_members("trevok_master", stem, {"filters": ["master_to_project_filter"]})
    mine = replications()
    pull = [r for r in mine if r.get("source") == db and r.get("target") == "trevok_master"]
    push = [r for r in mine if r.get("source") == "trevok_master" and r.get("target") == db]
    check(len(pull) == 1 and pull[0].get("filter") == "projectmeta/project_to_master_filter",
          "project-to-master replication of %s: %r" % (title, pull))
    check(len(push) == 1 and push[0].get("filter") == stem + "/master_to_project_filter",
          "master-to-project replication of %s: %r" % (title, push))
    to_users = sorted(r.get("target") for r in mine
                      if r.get("source") == db and r.get("target", "").startswith("trevok_user_db_"))
    check(to_users == sorted("trevok_user_db_" + m for m in members),
          "member replications of %s go to %r, members are %r" % (title, to_users, members))
    for r in mine:
        if r.get("source") == db and r.get("target", "").startswith("trevok_user_db_"):
            check(r.get("filter") == "projectmeta/project_to_user_filter"
                  and r.get("continuous") is True, "member replication %r" % r)
        extra = set(r) - {"_id", "_rev", "source", "target", "filter", "continuous"} \
            - REPLICATION_STATE
        check(not extra, "replication document has fields outside the data model: %s" % extra)
    return pid


def has_member_filter(db):
    doc = get("/%s/_design/projectmeta" % seg(db)) or {}
    return "project_to_user_filter" in doc.get("filters", {})


# ---------------------------------------------------------------------------
# The window, through AT-SPI

class Screen:
    def __init__(self, pyatspi, session):
        self.atspi = pyatspi
        self.session = session
        self.app = None

    def find_app(self):
        def probe():
            desktop = self.atspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                child = desktop.getChildAtIndex(i)
                if child is not None and child.name == "TrevokServer":
                    return child
            return None
        self.app = eventually(probe, "the console does not appear on the accessibility bus", 60)

    def walk(self, root, into_items=False):
        """Every accessible below `root`; the cells of tables and lists only
        when asked for (they are many and rarely wanted)."""
        role = self.atspi
        stack = [root]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            yield node
            try:
                kind = node.getRole()
                if not into_items and kind in (role.ROLE_TABLE, role.ROLE_LIST, role.ROLE_TREE,
                                               role.ROLE_TABLE_CELL, role.ROLE_LIST_ITEM):
                    continue
                count = node.childCount
            except Exception:
                continue
            for i in reversed(range(count)):
                try:
                    stack.append(node.getChildAtIndex(i))
                except Exception:
                    pass

    def showing(self, node):
        return node.getState().contains(self.atspi.STATE_SHOWING)

    def find(self, description, timeout=20.0, within=None):
        """The showing control whose accessible description is `description`."""
        def probe():
            for node in self.walk(within or self.app):
                try:
                    if node.description == description and self.showing(node):
                        return node
                except Exception:
                    pass
            return None
        return eventually(probe, "no showing control described %r" % description, timeout)

    def gone(self, description, timeout=20.0):
        def probe():
            for node in self.walk(self.app):
                try:
                    if node.description == description and self.showing(node):
                        return False
                except Exception:
                    pass
            return True
        eventually(probe, "%r is still showing" % description, timeout)

    def type(self, description, text):
        field = self.find(description)
        editable = field.queryEditableText()
        editable.setTextContents(text)
        if field.getRole() != self.atspi.ROLE_PASSWORD_TEXT:
            eventually(lambda: field.queryText().getText(0, -1) == text,
                       "%s does not hold %r" % (description, text), 5)

    def press(self, description, within=None):
        button = self.find(description, within=within)
        self.press_node(button)

    def press_node(self, button):
        action = button.queryAction()
        index = 0
        for i in range(action.nActions):
            if action.getName(i).lower() in ("press", "click"):
                index = i
        try:
            action.doAction(index)
        except Exception as error:
            # A flow that waits for the server may answer late; what it did
            # is checked by the steps that follow.
            log("  (pressing %r: %s)" % (button.name, error))

    def label(self, description):
        """A label's text, checked against its accessible name: a screen
        reader must hear what is written."""
        node = self.find(description)
        try:
            text = node.queryText().getText(0, -1)
        except NotImplementedError:
            return node.name  # no text of its own to compare: the name is all
        check(node.name == text, "label %s reads %r but its accessible name is %r"
              % (description, text, node.name))
        return text

    def warning(self, description, expected):
        eventually(lambda: self.label(description) == expected,
                   "%s does not say %r" % (description, expected), 10)

    def items(self, description):
        """The cells of a table or the items of a list, with their names."""
        container = self.find(description)
        found = []
        for node in self.walk(container, into_items=True):
            try:
                if node.getRole() in (self.atspi.ROLE_TABLE_CELL, self.atspi.ROLE_LIST_ITEM):
                    found.append(node)
            except Exception:
                pass
        return found

    def item_names(self, description):
        return [node.name for node in self.items(description)]

    def item(self, description, name):
        def probe():
            for node in self.items(description):
                if node.name == name:
                    return node
            return None
        return eventually(probe, "%s shows no %r" % (description, name), 30)

    def extents(self, node):
        e = node.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def click(self, node, count=1):
        x, y, w, h = self.extents(node)
        check(w > 0 and h > 0, "%r has no extents on the screen" % node.name)
        xdotool(self.session, "mousemove", "--sync", str(x + w // 2), str(y + h // 2))
        xdotool(self.session, "click", "--repeat", str(count), "--delay", "90", "1")
        time.sleep(0.3)

    def key(self, name):
        xdotool(self.session, "key", name)
        time.sleep(0.3)


def xdotool(session, *args):
    subprocess.run(["xdotool"] + list(args), env=session.env, check=True)


def overlaps(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah


# ---------------------------------------------------------------------------
# The scenario

def scenario(screen):
    ids = {}
    screen.find_app()
    log("the console is on the accessibility bus")
    check(screen.label("loginHeader") == "Login", "the logged-out header does not read Login")
    eventually(lambda: http("GET", "/", user=None)[0] != 0, "the bundled server does not answer")

    # Log in: a wrong password first, then the right one.
    screen.press("loginButton")
    sheet = screen.find("loginSheet")
    title = screen.find("loginSheetTitle")
    sx, sy, _, _ = screen.extents(sheet)
    tx, ty, _, _ = screen.extents(title)
    check(ty - sy < 40, "the login sheet has an empty band of %d pixels above its title"
          % (ty - sy))
    screen.type("_loginPassWordTextField", "not-the-password")
    screen.press("loginSheetConfirm")
    notice = screen.find("loginWarningTextField", within=sheet)
    failure = screen.label("loginWarningTextField")
    check(failure and "password" in failure, "the login failure reads %r" % failure)
    check(overlaps(screen.extents(notice), screen.extents(sheet)),
          "the login failure notice is not inside the login sheet")
    log("wrong password refused: " + failure)
    screen.type("_loginPassWordTextField", ADMIN_PASSWORD)
    screen.press("loginSheetConfirm")
    screen.find("projectTableView", timeout=60)
    screen.gone("loginSheet")
    check_master(ids)
    no_stray_design_members()
    log("logged in; master database as specified")

    # Users, each validation message read back.
    screen.press("userButton")
    for name, first, last in (("anna", "Anna", "Andersen"), ("ben", "Ben", "Brook"),
                              ("cleo", "", "Cole")):
        screen.press("addUserButton")
        screen.find("userSheet")
        screen.press("userSheetConfirm")
        screen.warning("userSheetWarningTextField", "The username is missing.")
        screen.type("tmpUserName", name)
        screen.press("userSheetConfirm")
        screen.warning("userSheetWarningTextField", "The last name is missing.")
        screen.type("tmpFirstName", first)
        screen.type("tmpLastName", last)
        screen.press("userSheetConfirm")
        screen.warning("userSheetWarningTextField", "The password is missing.")
        screen.type("tmpPassword", name + "-pw")
        screen.type("tmpRepeatPassword", name + "-PW")
        screen.press("userSheetConfirm")
        screen.warning("userSheetWarningTextField", "The passwords don't match.")
        screen.type("tmpRepeatPassword", name + "-pw")
        screen.press("userSheetConfirm")
        screen.gone("userSheet", 60)
        eventually(lambda: check_user(name, first, last) or True,
                   "user %s is not as the data model says" % name, 30)
        screen.item("table", name)
        log("user %s added; its documents as specified" % name)
    no_stray_design_members()

    # Sync health on the users tab: the two columns at the end, named in words,
    # and the state of each user's replication into the master database.
    table = screen.find("table")
    headers = [node.name for node in screen.walk(table, into_items=True)
               if node.getRole() in (screen.atspi.ROLE_COLUMN_HEADER,
                                     screen.atspi.ROLE_TABLE_COLUMN_HEADER)]
    check(headers[-2:] == ["Last seen", "Sync"],
          "the users table's last columns are %r, expected Last seen and Sync" % headers)
    # The cells read in words: the state as a sentence, the time with its column.
    eventually(lambda: "Replication running, up to date" in screen.item_names("table"),
               "no user's replication reads as running in the users table", 60)
    check("Last seen never" in screen.item_names("table"),
          "a user without a sync client is not read as never seen")
    log("users table: columns %r" % headers)

    # A new password for ben.
    screen.click(screen.item("table", "ben"))
    screen.press("changeUserPasswordButton")
    screen.find("userPasswordSheet")
    check(screen.label("userPasswordSheetTitle") == "New password for ben",
          "the password sheet does not say whose password it changes")
    screen.press("userPasswordSheetConfirm")
    screen.warning("userPasswordSheetWarningField", "The password is missing.")
    screen.type("tmpNewPassword", "ben-new")
    screen.type("tmpRepeatNewPassword", "ben-other")
    screen.press("userPasswordSheetConfirm")
    screen.warning("userPasswordSheetWarningField", "The passwords don't match.")
    screen.type("tmpRepeatNewPassword", "ben-new")
    screen.press("userPasswordSheetConfirm")
    screen.gone("userPasswordSheet")
    eventually(lambda: http("GET", "/trevok_user_db_ben", user="ben",
                            password="ben-new")[0] == 200,
               "ben cannot use his new password", 30)
    check(http("GET", "/trevok_user_db_ben", user="ben", password="ben-pw")[0] == 401,
          "ben's old password still works")
    check_user("ben", "Ben", "Brook")
    log("ben's password changed")

    # Projects; a title whose stem is taken is refused.
    screen.press("projectButton")
    for title in ("Café Zürich", "Summer Fair 2015!"):
        screen.press("addProjectButton")
        screen.find("projectSheet")
        screen.type("tmpProjectNameField", title)
        screen.press("projectSheetConfirm")
        screen.gone("projectSheet", 60)
        screen.item("projectTableView", title)
    ids["cafe"] = eventually(lambda: check_project("Café Zürich", "cafezurich", []),
                             "Café Zürich is not as the data model says")
    ids["fair"] = eventually(lambda: check_project("Summer Fair 2015!", "summerfair2015", []),
                             "Summer Fair 2015! is not as the data model says")
    screen.press("addProjectButton")
    screen.find("projectSheet")
    screen.type("tmpProjectNameField", "cafe-zurich")
    screen.press("projectSheetConfirm")
    refusal = eventually(lambda: screen.label("projectSheetWarningField"),
                         "a title with a stem in use is not refused", 20)
    log("duplicate stem refused: " + refusal)
    screen.press("projectSheetCancel")
    screen.gone("projectSheet")
    check(project_record("cafe-zurich") is None, "the refused project was written")
    no_stray_design_members()

    # Members, through the picking panel beside the members list.
    screen.click(screen.item("projectTableView", "Café Zürich"))
    screen.press("addMemberButton")
    panel = screen.find("userPanel")
    for covered in ("membersTableView", "addMemberButton", "removeMemberButton",
                    "listMembersButton", "projectMembersFullNameField"):
        check(not overlaps(screen.extents(panel), screen.extents(screen.find(covered))),
              "the user-picking panel covers %s" % covered)
    picking = screen.find("userSelectionTableView")
    px, _, pw, _ = screen.extents(picking)
    for cell in screen.items("userSelectionTableView"):
        cx, _, cw, _ = screen.extents(cell)
        check(cx + cw <= px + pw + 1, "the picking table must scroll to show %r" % cell.name)
    screen.click(screen.item("userSelectionTableView", "anna"), count=2)
    eventually(lambda: screen.item_names("membersTableView") == ["anna"],
               "the members list does not show anna after adding her")
    eventually(lambda: "Anna Andersen" in screen.label("projectMembersFullNameField"),
               "the line below the members does not name Anna Andersen")
    eventually(lambda: check_project("Café Zürich", "cafezurich", ["anna"]),
               "Café Zürich is not as the data model says")
    # The keyboard: select ben, press Return.
    screen.click(screen.item("userSelectionTableView", "ben"))
    screen.key("Return")
    eventually(lambda: screen.item_names("membersTableView") == ["anna", "ben"],
               "the members list does not show anna and ben")
    eventually(lambda: check_project("Café Zürich", "cafezurich", ["anna", "ben"]),
               "Café Zürich is not as the data model says")
    log("anna and ben added through the picking panel")
    screen.click(screen.item("membersTableView", "anna"))
    screen.press("removeMemberButton")
    eventually(lambda: screen.item_names("membersTableView") == ["ben"],
               "the members list still shows anna after her removal")
    line = screen.label("projectMembersFullNameField")
    check("Ben Brook" in line and "Anna" not in line,
          "the line below the members reads %r" % line)
    eventually(lambda: check_project("Café Zürich", "cafezurich", ["ben"]),
               "Café Zürich is not as the data model says")
    log("anna removed; list and line agree: " + line)
    screen.press("userPanelDone")
    screen.gone("userPanel")

    # Another project selected: its (empty) members, and the line agrees.
    screen.click(screen.item("projectTableView", "Summer Fair 2015!"))
    eventually(lambda: screen.item_names("membersTableView") == [],
               "the members list keeps the previous project's members")
    check(screen.label("projectMembersFullNameField") == "No members yet.",
          "the line below an empty members list disagrees")

    # Archive Café Zürich.
    screen.click(screen.item("projectTableView", "Café Zürich"))
    screen.press("archiveProjectButton")
    alert = screen.find("archiveProjectAlert")
    screen.press_node(next(n for n in screen.walk(alert)
                           if n.name == "Archive Project"
                           and n.getRole() == screen.atspi.ROLE_PUSH_BUTTON))
    screen.item("projectTableView", "Café Zürich, archived")
    eventually(lambda: (project_record("Café Zürich") or {}).get("archived") is True,
               "the master copy of Café Zürich is not archived", 60)
    check(http("GET", "/archived_trevok_project_cafezurich")[0] == 200,
          "the archive database is missing")
    eventually(lambda: screen.item_names("membersTableView") ==
               (project_record("Café Zürich") or {}).get("members", []),
               "the members list disagrees with the archived project's record", 30)
    no_stray_design_members()
    log("Café Zürich archived; its row reads \"Café Zürich, archived\"")

    # Delete anna.
    screen.press("userButton")
    screen.click(screen.item("table", "anna"))
    screen.press("deleteUserButton")
    alert = screen.find("deleteUserAlert")
    screen.press_node(next(n for n in screen.walk(alert)
                           if n.name == "Delete User"
                           and n.getRole() == screen.atspi.ROLE_PUSH_BUTTON))
    eventually(lambda: check_user_gone("anna"), "anna is not deleted", 60)
    eventually(lambda: "anna" not in screen.item_names("table"), "anna is still listed")
    check_user("ben", "Ben", "Brook")
    check_user("cleo", "", "Cole")
    no_stray_design_members()
    log("anna deleted")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--resources", required=True)
    args = parser.parse_args()
    prerequisites()
    enter_own_network(sys.argv[1:])
    if http("GET", "/", user=None)[0] != 0:
        skip("a server already answers on 127.0.0.1:5984 and no network namespace is at hand")

    session = Session(os.path.abspath(args.binary), os.path.abspath(args.resources))
    try:
        session.start_display()
        session.start_buses()
        os.environ.update({k: session.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                                      "XDG_RUNTIME_DIR")})
        import pyatspi
        session.start_console()
        scenario(Screen(pyatspi, session))
        log("PASS")
        return 0
    except Failure as failure:
        log("FAIL: %s" % failure)
        tell_logs(session, 80)
        return 1
    except Exception:
        traceback.print_exc()
        tell_logs(session, 80)
        return 1
    finally:
        if os.environ.get("TREVOK_ACCEPTANCE_VERBOSE"):
            tell_logs(session, None)
        session.stop()


def tell_logs(session, lines):
    """The console's and the server's last words, so that a failure seen only
    on CI can be understood from its output."""
    for title, path in (
            ("console", os.path.join(session.dir, "console.log")),
            ("server", os.path.join(session.env["XDG_DATA_HOME"],
                                    "com.trevokapp.TrevokServer", "server-core.log"))):
        if not os.path.exists(path):
            continue
        with open(path, errors="replace") as f:
            text = f.read().splitlines()
        shown = text if lines is None else text[-lines:]
        log("--- the %s's log, %s of %d lines:" % (
            title, "all" if lines is None or len(text) <= lines else "the last %d" % lines,
            len(text)))
        log("\n".join(shown))


if __name__ == "__main__":
    sys.exit(main())
