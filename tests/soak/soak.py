#!/usr/bin/python3
"""The soak harness: rounds of random changes to a share served by arraysim, each
followed by whole snapscan jobs run while the array fails, garbles or delays its
answers and while the CLI is killed, every invariant checked after every round
from the tree itself and the array's own state, never from what the CLI says.

Invariants (see tests/soak/README section in the top-level README):
  1 no false success: a job that delivered (exit 0, or its done record says
    delivered) handed on exactly the difference between its base's snapshot and
    its own, as a set of paths with type (a renamed or removed directory covers
    what is below it);
  2 no lost change: every job compares against a job whose delivery was seen
    whole, or reads the share in full; the last clean job succeeds;
  3 no leaked snapshot: after a job that exits 0 (with its cleanup) the array
    holds only that job's snapshots of the content, and nobody else's snapshot
    was touched;
  4 bounded: every run ends within a bound derived from its settings and the
    faults injected, under a memory cap, and leaves in its results directory
    only what a job leaves by design.

Python 3 standard library only. Run through scripts/soak, or directly:
  soak.py --build DIR [--seed N] [--rounds N | --seconds S] [--keep-going]
"""

import argparse
import http.client
import json
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

CLIENT = 1
SUBCLIENTS = (1, 2)          # two contents of the same share
SHARE_NAME = b"soak"
CONNECT_TIMEOUT = 2          # credentials: seconds to connect
LOW_SPEED_TIME = 2           # credentials: a transfer under 1 byte/s this long ends
REQUEST_BOUND = CONNECT_TIMEOUT + 4 * LOW_SPEED_TIME  # the CLI's bound of one request
WAIT_TIME = 4                # IsilonChangeListGenerationWaitTime
RSS_CAP_KB = 256 * 1024      # peak resident memory of any CLI run
KEEP_BASES = 10             # delivered jobs per content whose trees are kept
SETTLE_ROUNDS = 6            # a content without a success this long gets a clean round


class Violation(Exception):
    pass


def default_tmpdir():
    """Where the share and its snapshot copies go: memory when there is some
    (every job copies the whole tree), else the usual temporary directory."""
    if os.environ.get("SNAPSCAN_SOAK_TMPDIR"):
        return os.environ["SNAPSCAN_SOAK_TMPDIR"]
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        return "/dev/shm"
    return None


def log(*parts):
    print(*parts, flush=True)


# ---------------------------------------------------------------------------
# arraysim: the process, its API (Basic auth) and its control endpoints.

class Array:
    def __init__(self, binary, root, work):
        self.binary, self.root, self.work = binary, root, work
        self.proc = None
        self.port = None

    def start(self):
        port_file = os.path.join(self.work, "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        self.out = open(os.path.join(self.work, "arraysim.log"), "ab")
        self.proc = subprocess.Popen(
            [self.binary, "--root", self.root, "--port", "0", "--port-file", port_file,
             "--user", "backup", "--password", "pw"],
            stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if os.path.exists(port_file) and open(port_file).read().strip():
                self.port = int(open(port_file).read().strip())
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        raise RuntimeError("arraysim did not start; see " + self.out.name)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def request(self, method, path, body=None, auth=False):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = {"Content-Type": "application/json"}
        if auth:
            headers["Authorization"] = "Basic YmFja3VwOnB3"  # backup:pw
        data = None if body is None else json.dumps(body).encode()
        try:
            conn.request(method, path, body=data, headers=headers)
            answer = conn.getresponse()
            text = answer.read()
            return answer.status, text
        finally:
            conn.close()

    def faults(self, rules):
        status, text = self.request("POST", "/arraysim/faults", {"rules": rules})
        if status != 201:
            raise RuntimeError("fault rules refused: %r" % text)

    def rules(self):
        status, text = self.request("GET", "/arraysim/faults")
        value = json.loads(text)
        return value["rules"] if isinstance(value, dict) else value

    def clear_faults(self):
        self.request("DELETE", "/arraysim/faults")

    def control(self, settings):
        status, text = self.request("POST", "/arraysim/control", settings)
        if status != 204:
            raise RuntimeError("control refused: %r %r" % (settings, text))

    def requests_seen(self):
        status, text = self.request("GET", "/arraysim/requests")
        value = json.loads(text)
        return len(value.get("requests", [])) if isinstance(value, dict) else len(value)

    def request_log(self):
        status, text = self.request("GET", "/arraysim/requests")
        value = json.loads(text.decode("utf-8", "surrogateescape"))
        return value.get("requests", []) if isinstance(value, dict) else value

    def refused_deletes(self):
        """Names of snapshots whose deletion the array refused or never
        answered since the request log was last cleared."""
        refused, deleted = set(), set()
        for entry in self.request_log():
            if entry.get("method") != "DELETE" or "/snapshot/snapshots/" not in entry.get("path", ""):
                continue
            name = entry["path"].rsplit("/", 1)[1]
            (deleted if entry.get("status") == 204 and "fault" not in entry else refused).add(name)
        return refused - deleted

    def snapshots(self):
        """name -> id of every snapshot on the array, as the array lists them."""
        status, text = self.request("GET", "/platform/1/snapshot/snapshots", auth=True)
        if status != 200:
            raise RuntimeError("snapshot listing answered %d: %r" % (status, text[:200]))
        listed = json.loads(text.decode("utf-8", "surrogateescape"))
        if listed.get("resume"):
            raise RuntimeError("snapshot listing paged unexpectedly")
        return {s["name"]: s["id"] for s in listed["snapshots"]}

    def create_snapshot(self, name, ifs_path):
        status, text = self.request("POST", "/platform/1/snapshot/snapshots",
                                    {"name": name, "path": ifs_path}, auth=True)
        if status != 201:
            raise RuntimeError("cannot create snapshot %s: %r" % (name, text))


# ---------------------------------------------------------------------------
# The share: random changes, and the tree as it is.

ODD_NAMES = [b"with space", b"it's", b'say "hi"', b"#hash", b"a # b", b"caf\xe9", b"\xff\xfe",
             b"lone\x80byte", "\u00fcn\u00efc\u00f6de".encode(), b"semi;colon", b"back\\slash",
             b"pct%20", b"tab\there", b"new\nline", b"x:y", b"...", b"-dash", b"*star?",
             b"[br]{ace}", b"$HOME"]


def scan(root):
    """rel path (bytes, b"" for the root) -> (inode, kind, size, mtime_ns, ctime_ns);
    kind "d" for a directory, "f" otherwise. Directories named .snapshot are not
    part of the tree, as on the array."""
    tree = {}
    st = os.lstat(root)
    tree[b""] = (st.st_ino, "d", st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    stack = [b""]
    while stack:
        rel = stack.pop()
        full = root + b"/" + rel if rel else root
        for name in os.listdir(full):
            if name == b".snapshot":
                continue
            child = rel + b"/" + name if rel else name
            st = os.lstat(full + b"/" + name)
            kind = "d" if stat.S_ISDIR(st.st_mode) else "f"
            tree[child] = (st.st_ino, kind, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
            if kind == "d":
                stack.append(child)
    return tree


class Share:
    """The live share and a mirror of its paths kept by the changes made."""

    def __init__(self, root, rng):
        self.root, self.rng = root, rng
        self.entries = {b"": "d"}  # rel -> "d" / "f" / "l" (symlink)
        self.counter = 0
        self.ops = {}
        self.journal = None  # a file: every change made, one line each

    def p(self, rel):
        return self.root + b"/" + rel if rel else self.root

    def name(self):
        self.counter += 1
        r = self.rng.random()
        tag = str(self.counter).encode()
        if r < 0.35:
            return self.rng.choice(ODD_NAMES) + b"-" + tag
        if r < 0.40:
            return b"L" * self.rng.randint(180, 240) + tag  # long, under NAME_MAX
        return b"n" + tag

    def depth(self, rel):
        return rel.count(b"/") + (1 if rel else 0)

    def dirs(self):
        return [r for r, k in self.entries.items() if k == "d"]

    def files(self):
        return [r for r, k in self.entries.items() if k == "f"]

    def pick_dir(self, max_path=2600):
        dirs = [d for d in self.dirs() if len(d) < max_path]
        return self.rng.choice(sorted(dirs))

    def join(self, parent, name):
        return parent + b"/" + name if parent else name

    def below(self, rel):
        prefix = rel + b"/"
        return [r for r in self.entries if r == rel or r.startswith(prefix)]

    def write(self, rel, size=None):
        size = self.rng.randint(0, 3000) if size is None else size
        with open(self.p(rel), "wb") as out:
            out.write(bytes(self.rng.getrandbits(8) for _ in range(min(size, 64))) * (size // 64 + 1)
                      if size else b"")
            out.truncate(size)
        self.entries[rel] = "f"

    def count(self, op, *paths):
        self.ops[op] = self.ops.get(op, 0) + 1
        if self.journal:
            self.journal.write("%s %s\n" % (op, " ".join(repr(p) for p in paths)))

    def populate(self, files):
        """The starting tree: about `files` files in nested directories."""
        made = 0
        top = 0
        while made < files:
            top += 1
            d1 = self.join(b"", b"top%02d" % top)
            os.mkdir(self.p(d1))
            self.entries[d1] = "d"
            for s in range(8):
                d2 = self.join(d1, b"sub%d" % s if s % 3 else self.name())
                os.mkdir(self.p(d2))
                self.entries[d2] = "d"
                for f in range(30):
                    self.write(self.join(d2, b"f%03d" % f if f % 5 else self.name()),
                               self.rng.randint(0, 200))
                    made += 1
        self.deep_tree()

    def deep_tree(self):
        rel = self.pick_dir(1500)
        for _ in range(self.rng.randint(6, 14)):
            rel = self.join(rel, self.name() if self.rng.random() < 0.3 else b"deep%d" % self.counter)
            self.counter += 1
            if len(rel) > 3000:
                break
            os.mkdir(self.p(rel))
            self.entries[rel] = "d"
            if self.rng.random() < 0.5:
                self.write(self.join(rel, self.name()))

    def change(self, target_files):
        """One random change; returns its name."""
        rng = self.rng
        files = sorted(self.files())
        dirs = sorted(d for d in self.dirs() if d)
        nfiles = len(files)
        ops = [("add", 10), ("add_dir", 3), ("deep", 1), ("edit", 10), ("truncate", 4),
               ("delete", 7), ("delete_dir", 1), ("rename", 6), ("move", 6), ("rename_dir", 2),
               ("move_dir", 2), ("hardlink", 3), ("unlink_link", 2), ("symlink", 1),
               ("type_change", 1), ("chmod", 2), ("replace", 2), ("swap", 1), ("bulk_add", 0.3)]
        if nfiles > target_files * 1.2:
            ops = [(o, w * (4 if o.startswith("delete") else 1)) for o, w in ops]
        if nfiles < target_files * 0.8:
            ops = [(o, w * (4 if "add" in o else 1)) for o, w in ops]
        total = sum(w for _, w in ops)
        r = rng.uniform(0, total)
        for op, w in ops:
            r -= w
            if r <= 0:
                break
        if not files and op not in ("add", "add_dir", "deep", "bulk_add"):
            op = "add"
        if not dirs and op in ("delete_dir", "rename_dir", "move_dir"):
            op = "add_dir"

        info = []
        if op == "add":
            info = [self.join(self.pick_dir(), self.name())]
            self.write(info[0])
        elif op == "bulk_add":
            d = self.join(self.pick_dir(1500), self.name())
            info = [d]
            os.mkdir(self.p(d))
            self.entries[d] = "d"
            for _ in range(rng.randint(50, 300)):
                self.write(self.join(d, self.name()), rng.randint(0, 100))
        elif op == "add_dir":
            d = self.join(self.pick_dir(), self.name())
            info = [d]
            os.mkdir(self.p(d))
            self.entries[d] = "d"
            for _ in range(rng.randint(0, 5)):
                self.write(self.join(d, self.name()))
        elif op == "deep":
            self.deep_tree()
        elif op == "edit":
            f = rng.choice(files)
            info = [f]
            with open(self.p(f), "ab" if rng.random() < 0.5 else "r+b") as out:
                out.write(b"edited %d\n" % self.counter)
            self.counter += 1
        elif op == "truncate":
            f = rng.choice(files)
            info = [f]
            size = os.lstat(self.p(f)).st_size
            os.truncate(self.p(f), rng.randint(0, size // 2) if size > 1 else 0)
        elif op == "delete":
            f = rng.choice(files)
            info = [f]
            os.unlink(self.p(f))
            del self.entries[f]
        elif op == "delete_dir":
            d = rng.choice(dirs)
            info = [d]
            shutil.rmtree(self.p(d))
            for r in self.below(d):
                del self.entries[r]
        elif op in ("rename", "move", "rename_dir", "move_dir"):
            src = rng.choice(files if op in ("rename", "move") else dirs)
            parent = src.rpartition(b"/")[0] if b"/" in src else b""
            if op in ("move", "move_dir"):
                inside = src + b"/"
                candidates = [d for d in self.dirs() if d != src and not d.startswith(inside)
                              and len(d) + len(src) < 3000]
                parent = rng.choice(sorted(candidates))
            dst = self.join(parent, self.name())
            info = [src, dst]
            os.rename(self.p(src), self.p(dst))
            for r in self.below(src):
                self.entries[dst + r[len(src):]] = self.entries.pop(r)
        elif op == "hardlink":
            f = rng.choice(files)
            dst = self.join(self.pick_dir(), self.name())
            info = [f, dst]
            os.link(self.p(f), self.p(dst))
            self.entries[dst] = "f"
        elif op == "unlink_link":
            linked = [f for f in files if os.lstat(self.p(f)).st_nlink > 1]
            f = rng.choice(linked or files)
            info = [f]
            os.unlink(self.p(f))
            del self.entries[f]
        elif op == "symlink":
            dst = self.join(self.pick_dir(), self.name())
            info = [dst]
            os.symlink(rng.choice(files) if files else b"nowhere", self.p(dst))
            self.entries[dst] = "l"
        elif op == "type_change":
            f = rng.choice(files)
            info = [f]
            os.unlink(self.p(f))
            os.mkdir(self.p(f))
            self.entries[f] = "d"
            self.write(self.join(f, self.name()))
        elif op == "chmod":
            f = rng.choice(files)
            info = [f]
            os.chmod(self.p(f), rng.choice([0o600, 0o640, 0o644, 0o400]))
        elif op == "replace":  # renamed over another file
            a, b = rng.choice(files), rng.choice(files)
            info = [a, b]
            if a != b:
                os.rename(self.p(a), self.p(b))
                del self.entries[a]
        elif op == "swap":
            a, b = rng.choice(files), rng.choice(files)
            info = [a, b]
            if a != b:
                tmp = self.join(self.pick_dir(), self.name())
                os.rename(self.p(a), self.p(tmp))
                os.rename(self.p(b), self.p(a))
                os.rename(self.p(tmp), self.p(b))
        self.count(op, *info)
        return op


# ---------------------------------------------------------------------------
# What a job delivered, checked against the trees.

def item_rel(item, share_path):
    """The item's path as bytes relative to the share, and whether it ends in "/"."""
    def raw(key, hexkey):
        if item.get(hexkey):
            return bytes.fromhex(item[hexkey])
        return item.get(key, "").encode("utf-8")
    out = []
    for key, hexkey in (("path", "pathHex"), ("oldPath", "oldPathHex")):
        path = raw(key, hexkey)
        if not path:
            out.append((None, False))
            continue
        slash = path.endswith(b"/")
        if path == share_path + b"/":
            out.append((b"", True))
            continue
        if not path.startswith(share_path + b"/"):
            raise Violation("item path %r is not below the share %r" % (path, share_path))
        out.append((path[len(share_path) + 1:].rstrip(b"/") if slash else path[len(share_path) + 1:],
                     slash))
    return out


def ancestors_or_self(rel):
    yield rel
    while rel:
        rel = rel.rpartition(b"/")[0] if b"/" in rel else b""
        yield rel


def check_delivery(items, base, new, share_path):
    """Invariant 1: the items turn the base tree into the new one, and each of
    them is a true difference. Returns a list of problems (empty when right)."""
    problems = []
    removed, renames, changed = set(), {}, {}
    seen = {}
    for item in items:
        (path, slash), (old, _) = item_rel(item, share_path)
        kind = item.get("kindName")
        key = (kind, path, old)
        if key in seen:
            problems.append("item delivered twice: %s %r" % (kind, path))
        seen[key] = True
        is_dir = item.get("mode") == 0x4000
        if kind == "removed":
            if not slash:
                problems.append("removed item %r does not end in /" % path)
            for p in (path, old):
                if p is None:
                    continue
                if p not in base:
                    problems.append("removed %r: not in the base snapshot" % p)
                elif p in new and new[p][0] == base[p][0]:
                    problems.append("removed %r: still there, same inode" % p)
                removed.add(p)
        elif kind in ("changed", "renamed"):
            if slash != is_dir:
                problems.append("%s item %r: trailing / %s but mode %#x" % (kind, path, slash, item.get("mode", 0)))
            if path not in new:
                problems.append("%s %r: not in the job's snapshot" % (kind, path))
                continue
            if (new[path][1] == "d") != is_dir:
                problems.append("%s %r: delivered as %s, is %s" % (kind, path, "directory" if is_dir else "file",
                                                                  "directory" if new[path][1] == "d" else "file"))
            b = base.get(path)
            if kind == "changed" and b is not None and b == new[path]:
                problems.append("changed %r: the same in both snapshots" % path)
            if kind == "renamed":
                if old is None or old not in base:
                    problems.append("renamed %r: old path %r not in the base snapshot" % (path, old))
                    continue
                if base[old][0] != new[path][0]:
                    problems.append("renamed %r <- %r: not the same inode" % (path, old))
                renames[old] = path
            changed[path] = (new[path][1], item.get("size"), item.get("mtime"))
        else:
            problems.append("item of unknown kind %r" % kind)
    # The base tree with the items applied: every entry moves with its deepest
    # renamed or removed ancestor (or itself); changed entries take their
    # delivered attributes.
    applied = {}
    for rel, attrs in base.items():
        target = rel
        for a in ancestors_or_self(rel):
            if a in renames:
                target = renames[a] + rel[len(a):]
                break
            if a in removed:
                target = None
                break
        if target is not None:
            applied[target] = (attrs[1], attrs[2], attrs[3] // 10**9)
    for rel, (kind, size, mtime) in changed.items():
        applied[rel] = (kind, size if kind != "d" else new[rel][2], mtime)
    for rel in sorted(set(new) | set(applied)):
        want = new.get(rel)
        got = applied.get(rel)
        if want is None:
            problems.append("delivered tree has %r, the snapshot has not" % rel)
        elif got is None:
            problems.append("not delivered: %r (%s), in the snapshot" % (rel, "directory" if want[1] == "d" else "file"))
        else:
            if got[0] != want[1]:
                problems.append("delivered %r as %s, snapshot has %s" % (rel, got[0], want[1]))
            elif want[1] != "d" and got[1] != want[2]:
                problems.append("delivered %r with size %s, snapshot has %s" % (rel, got[1], want[2]))
            elif got[2] != want[3] // 10**9:
                problems.append("delivered %r with mtime %s, snapshot has %s" % (rel, got[2], want[3] // 10**9))
        if len(problems) > 40:
            problems.append("...")
            break
    return problems


# ---------------------------------------------------------------------------
# One content (client 1, subclient N) as the harness sees it.

class Content:
    def __init__(self, subclient, work):
        self.subclient = subclient
        self.prefix = "TZOP_%d_%d_" % (CLIENT, subclient)
        self.results = os.path.join(work, "results", "sub%d" % subclient)
        self.job_round = {}       # job id -> round whose tree its snapshot holds
        self.delivered = set()    # job ids whose whole delivery was seen and checked
        self.last_ok = 0          # the last job that exited 0
        self.rounds_since_ok = 0
        self.snapshots = None     # names after this content's last successful job

    def job_of(self, name):
        rest = name[len(self.prefix):]
        return int(rest.split("_", 1)[0])


# ---------------------------------------------------------------------------
# Fault catalogue.

REQUEST_KINDS = [
    ("GET", "/platform/1/snapshot/snapshots", 0),   # job id list
    ("GET", "/platform/1/cluster/config", 0),
    ("GET", "/platform/1/job/types/ChangelistCreate", 0),
    ("POST", "/platform/1/snapshot/snapshots", 0),
    ("GET", "/platform/1/snapshot/snapshots", 1),   # retention at job start
    ("POST", "/platform/3/job/jobs", 0),
    ("GET", "/platform/3/job/jobs/", 0),
    ("GET", "/platform/1/snapshot/changelists/", 0),
    ("GET", "/platform/1/snapshot/changelists/", 1),
    ("GET", "/platform/1/snapshot/changelists/", 3),
    ("GET", "/platform/1/snapshot/snapshots", 2),   # post-backup cleanup list
    ("DELETE", "/platform/1/snapshot/snapshots/", 0),
    ("POST", "/session/1/session", 0),
    ("POST", "/session/1/session", 1),
]


def random_rule(rng):
    method, path, skip = rng.choice(REQUEST_KINDS)
    rule = {"method": method, "path": path, "skip": skip + rng.choice([0, 0, 0, 1, 2]),
            "count": rng.choice([1, 1, 1, 2, 3])}
    action = rng.choice(["error", "error", "error503", "drop", "delay", "delay", "malformed", "truncate",
                         "html", "expire_sessions", "rotate_session", "body", "trickle", "resume_cycle"])
    if action == "error":
        rule.update(action="error", status=rng.choice([500, 502, 504]))
    elif action == "error503":
        rule.update(action="error", status=503, code="AEC_SERVICE_UNAVAILABLE", message="busy")
    elif action == "delay":
        rule.update(action="delay", delay_ms=rng.choice([100, 400, 1000, 2500]))
    elif action == "html":
        rule.update(action="html", status=rng.choice([502, 503]))
    elif action == "body":
        rule.update(action="body", body=rng.choice([
            '{"snapshots":"none"}', '[]', '{"id":"x","lins":{"id":1}}', '', 'null',
            '{"changelists":[{"root_path":5}],"lins":[{"id":"12","path":7}]}']))
    elif action == "trickle":
        rule.update(action="trickle", chunk_bytes=64, interval_ms=200, count=1)
    elif action == "resume_cycle":
        rule.update(action="resume_cycle", tokens=["aa", "bb"], count=1)
    else:
        rule["action"] = action
    return rule


def rule_cost(rule):
    """Seconds one firing of a rule may add to a run."""
    cost = rule.get("delay_ms", 0) / 1000.0
    if rule["action"] in ("trickle", "endless", "drop", "truncate"):
        cost += REQUEST_BOUND
    return cost + 0.5


# ---------------------------------------------------------------------------
# A CLI run.

class Run:
    def __init__(self, name, args, env, work):
        self.name = name
        self.out_path = os.path.join(work, "runs", name + ".out")
        self.err_path = os.path.join(work, "runs", name + ".err")
        self.args = args
        self.start = time.monotonic()
        # Spawned, not forked: a forked child's peak RSS would count the soak's
        # own memory. A session of its own: a Ctrl-C meant for the soak does
        # not reach it.
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, self.out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                   (os.POSIX_SPAWN_OPEN, 2, self.err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)]
        self.pid = os.posix_spawn(args[0], args, env, file_actions=actions, setsid=True)
        self.status = None
        self.killed = False
        self.hung = False
        self.seconds = None
        self.maxrss = 0

    def poll(self):
        if self.status is not None or self.hung:
            return True
        pid, status, usage = os.wait4(self.pid, os.WNOHANG)
        if pid == 0:
            return False
        self._ended(status, usage)
        return True

    def _ended(self, status, usage):
        self.seconds = time.monotonic() - self.start
        self.maxrss = usage.ru_maxrss
        if os.WIFSIGNALED(status):
            self.status = -os.WTERMSIG(status)
        else:
            self.status = os.WEXITSTATUS(status)

    def kill(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.killed = True
            pid, status, usage = os.wait4(self.pid, 0)
            self._ended(status, usage)

    def wait(self, bound):
        deadline = self.start + bound
        while not self.poll():
            if time.monotonic() > deadline:
                self.kill()
                self.killed = False
                self.hung = True
                return
            time.sleep(0.01)

    def records(self):
        text = open(self.out_path, "rb").read().decode("utf-8", "replace")
        records = []
        for line in text.splitlines():
            try:
                records.append(json.loads(line))
            except ValueError:
                raise Violation("%s: a line of output is not JSON: %r" % (self.name, line[:200]))
        return records

    def err(self):
        return open(self.err_path, "rb").read().decode("utf-8", "replace")


# ---------------------------------------------------------------------------
# The soak.

class Soak:
    def __init__(self, opts):
        self.opts = opts
        self.seed = opts.seed
        self.rng = random.Random(self.seed)
        self.work = tempfile.mkdtemp(prefix="snapscan-soak-", dir=opts.tmpdir or default_tmpdir())
        os.makedirs(os.path.join(self.work, "runs"))
        self.ifs = os.path.join(self.work, "ifs")
        self.share_path = os.path.join(self.ifs, SHARE_NAME.decode()).encode()
        os.makedirs(self.share_path)
        self.share = Share(self.share_path, random.Random(self.seed * 7919 + 1))
        self.array = Array(opts.arraysim or os.path.join(opts.build, "tools/arraysim/arraysim"), self.ifs,
                           self.work)
        self.cli = opts.cli or os.path.join(opts.build, "bin/snapscan")
        self.plugin = opts.plugin or self.find_plugin(opts.build)
        self.contents = {s: Content(s, self.work) for s in SUBCLIENTS}
        self.trees = {}           # round -> tree
        self.foreign = {}         # snapshots of nobody we run: name -> id
        self.stats = {"rounds": 0, "changes": 0, "rules": 0, "fired": 0, "controls": 0, "kills": 0,
                      "expiries": 0, "lock_refusals": 0, "cleanups": 0, "status_runs": 0, "jobs": 0,
                      "exit": {}, "full_scans": 0, "refused_deletes": 0, "lock_unchecked": 0, "max_rss_kb": 0, "max_seconds": 0, "items": 0, "violations": 0}
        self.violations = []
        self.round = 0
        self.job_seconds = 1.0    # a clean job's usual run time, kept up to date

    @staticmethod
    def find_plugin(build):
        # The build puts the plug-in where an install does, below lib/ (lib/snapscan, or
        # lib/<triplet>/snapscan on Debian).
        for root, _, files in os.walk(os.path.join(build, "lib")):
            for f in files:
                if f.startswith("libIsilonSnapClient.so"):
                    return os.path.join(root, f)
        raise RuntimeError("no libIsilonSnapClient.so under " + build)

    # -- set-up --------------------------------------------------------------

    def setup(self):
        self.share.journal = open(os.path.join(self.work, "changes.log"), "w")
        self.share.populate(self.opts.files)
        self.array.start()
        config = os.path.join(self.work, "config")
        os.makedirs(config, mode=0o700)
        cred = os.path.join(config, "credentials.ini")
        with open(cred, "w") as out:
            out.write("[client %d]\nfileServer = http://127.0.0.1:%d\nuser = backup\npassword = pw\n"
                      "connectTimeoutSeconds = %d\nlowSpeedTimeSeconds = %d\n"
                      % (CLIENT, self.array.port, CONNECT_TIMEOUT, LOW_SPEED_TIME))
        os.chmod(cred, 0o600)
        self.write_settings(keep_db=False, snapshot_only=True)
        mounts = os.path.join(self.work, "mounts")
        share = self.share_path.decode()
        with open(mounts, "w") as out:
            out.write("127.0.0.1:/ifs/%s %s nfs rw 0 0\n" % (SHARE_NAME.decode(), share))
        self.env = dict(os.environ)
        self.env.update(SNAPSCAN_CONFIG_DIR=config, SNAPSCAN_LOG_DIR=os.path.join(self.work, "log"),
                        SNAPSCAN_STATE_DIR=os.path.join(self.work, "state"),
                        SNAPSCAN_LOCK_DIR=os.path.join(self.work, "locks"), SNAPSCAN_MOUNT_TABLE=mounts)
        self.env.pop("SNAPSCAN_PLUGIN", None)
        # Snapshots of other owners, which no run may touch: a user's, another
        # client's, and a subclient whose id starts like ours.
        for name in ("nightly user snapshot", "TZOP_2_1_5_other_client", "TZOP_1_11_3_longer_subclient",
                     "TZOP_1_1x_9_not_ours"):
            self.array.create_snapshot(name, "/ifs/" + SHARE_NAME.decode())
        self.foreign = {n: i for n, i in self.array.snapshots().items()}

    def write_settings(self, keep_db, snapshot_only):
        self.keep_db = keep_db
        path = os.path.join(self.work, "config", "settings.ini")
        with open(path + ".tmp", "w") as out:
            out.write("[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = %d\n"
                      "bKeepSnapDiffDatabase = %d\nbBackupFromSnapshotOnly = %d\n"
                      % (WAIT_TIME, keep_db, snapshot_only))
        os.rename(path + ".tmp", path)

    # -- runs ----------------------------------------------------------------

    def cli_args(self, *args):
        return [self.cli, "--plugin", self.plugin, "--json", "--progress", "never"] + list(args)

    def job_args(self, content):
        return self.cli_args("job", "--client-id", str(CLIENT), "--subclient-id", str(content.subclient),
                             "--share", self.share_path.decode("utf-8"), "--results-dir", content.results,
                             "--map-file", os.path.join(content.results, "map"))

    def start(self, name, args):
        return Run("r%05d-%s" % (self.round, name), args, self.env, self.work)

    def start_job(self, name, content):
        before = set(os.listdir(content.results)) if os.path.isdir(content.results) else set()
        run = self.start(name, self.job_args(content))
        run.results_before = before
        return run

    def violation(self, text):
        message = "VIOLATION seed %d round %d: %s" % (self.seed, self.round, text)
        log(message)
        self.violations.append(message)
        self.stats["violations"] += 1
        if not self.opts.keep_going:
            raise Violation(message)

    def check_finished(self, run, bound):
        """Invariant 4 and the output's shape; returns the records."""
        if run.hung:
            self.violation("%s still running after its bound of %.0f s (killed)" % (run.name, bound))
        self.stats["max_rss_kb"] = max(self.stats["max_rss_kb"], run.maxrss)
        self.stats["max_seconds"] = max(self.stats["max_seconds"], run.seconds or 0)
        if run.maxrss > RSS_CAP_KB:
            self.violation("%s peak RSS %d KiB over the cap of %d KiB" % (run.name, run.maxrss, RSS_CAP_KB))
        try:
            records = run.records()
        except Violation as v:
            self.violation(str(v))
            return []
        if run.killed or run.hung:
            return records
        self.stats["exit"][run.status] = self.stats["exit"].get(run.status, 0) + 1
        if run.status not in (0, 1, 3):
            self.violation("%s exited %s: %s" % (run.name, run.status, run.err()[-500:]))
        if not records or records[-1].get("event") != "done":
            self.violation("%s: the last record is not done: %r" % (run.name, records[-1:]))
        elif records[-1].get("status") != run.status:
            self.violation("%s: done says status %s, exit status %s" % (run.name, records[-1].get("status"),
                                                                        run.status))
        if run.status == 1 and "failed" not in run.err():
            self.violation("%s exited 1 without a failure line on stderr" % run.name)
        return records

    def check_results_dir(self, content, run):
        """Invariant 4: a finished job adds to its results directory only the
        map file and, when the setting keeps it, the change database. (What an
        earlier run left is not this run's.)"""
        if not os.path.isdir(content.results):
            return
        added = set(os.listdir(content.results)) - run.results_before
        extra = sorted(f for f in added if f != "map" and not (self.keep_db and f.startswith("snapdiff_")
                                                                 and f.endswith(".db")))
        if extra:
            self.violation("%s (exit %s) left in %s: %s" % (run.name, run.status, content.results, extra))

    # -- a round -------------------------------------------------------------

    def make_changes(self):
        rng = self.rng
        r = rng.random()
        n = 0 if r < 0.08 else rng.randint(1, 8) if r < 0.6 else rng.randint(9, 40)
        self.share.journal.write("round %d\n" % (self.round))
        for _ in range(n):
            self.share.change(self.opts.files)
        self.share.journal.flush()
        self.stats["changes"] += n
        return n

    def plan_faults(self, clean):
        """Fault rules and control settings for this round's main job."""
        rng = self.rng
        rules, control = [], {}
        if clean:
            return rules, control
        r = rng.random()
        nrules = 0 if r < 0.3 else 1 if r < 0.7 else rng.randint(2, 4)
        rules = [random_rule(rng) for _ in range(nrules)]
        if rng.random() < 0.3:
            control["changelist_page_size"] = rng.choice([1, 3, 17, 100])
        if rng.random() < 0.15:
            # A changelist not ready yet: within the wait, or beyond it.
            control["changelist_delay_ms"] = rng.choice([500, 1500, (WAIT_TIME + 3) * 1000])
        if rng.random() < 0.07:
            control["fail_next_jobs"] = 1
        if rng.random() < 0.1:
            control["job_delay_ms"] = rng.choice([200, 800])
        return rules, control

    def run_round(self):
        self.round += 1
        rng = self.rng
        changes = self.make_changes()
        tree = scan(self.share_path)
        mirror = set(self.share.entries)
        if mirror != set(tree):
            raise RuntimeError("harness mirror of the share went wrong: %r" % sorted(mirror ^ set(tree))[:5])
        self.trees[self.round] = tree
        self.prune_trees()

        main = self.contents[1] if rng.random() < 0.8 else self.contents[2]
        other = self.contents[2 if main.subclient == 1 else 1]
        clean = main.rounds_since_ok >= SETTLE_ROUNDS
        rules, control = self.plan_faults(clean)
        self.write_settings(keep_db=rng.random() < 0.2, snapshot_only=rng.random() < 0.5)
        lock_check = not clean and rng.random() < 0.08
        concurrent = not lock_check and rng.random() < 0.15
        kill_mode = None if clean or lock_check else rng.choice([None] * 6 + ["time", "request"])
        expire_at = rng.uniform(0.0, 1.5) if not clean and rng.random() < 0.08 else None
        if lock_check:
            # Holds the first run in a request (first rule, so it fires first).
            rules.insert(0, {"method": "GET", "path": "/platform/1/cluster/config", "action": "delay",
                             "delay_ms": 1500, "count": 1, "skip": 0})
        kill_rule = None
        if kill_mode == "request":
            method, path, skip = rng.choice(REQUEST_KINDS[:12])
            kill_rule = {"method": method, "path": path, "skip": skip, "action": "delay", "delay_ms": 700,
                         "count": 1}
            rules.insert(0, kill_rule)
        self.array.clear_faults()
        before = self.array.snapshots()
        self.array.request("DELETE", "/arraysim/requests")
        if rules:
            self.array.faults(rules)
        if control:
            self.array.control(control)
        self.stats["rules"] += len(rules) - (1 if kill_rule else 0) - (1 if lock_check else 0)
        self.stats["controls"] += len(control)

        bound = 20 + WAIT_TIME + sum(rule_cost(r) * max(r["count"], 1) for r in rules)
        if control.get("changelist_delay_ms") or control.get("job_delay_ms"):
            bound += WAIT_TIME + 2
        runs = []
        main_run = self.start_job("job-sub%d" % main.subclient, main)
        runs.append((main, main_run))
        second = None
        if lock_check:
            deadline = time.monotonic() + 15
            held = False
            while time.monotonic() < deadline and not main_run.poll():
                if any(r.get("fired", 0) for r in self.array.rules() if r.get("delay_ms") == 1500):
                    held = True
                    break
                time.sleep(0.01)
            if held:
                second = self.start_job("second-sub%d" % main.subclient, main)
                # Whether the first run still held the lock when the second ended.
                while not second.poll() and time.monotonic() < second.start + 30:
                    main_run.poll()
                    time.sleep(0.005)
                second.first_alive = not main_run.poll()
            else:
                self.stats["lock_unchecked"] += 1  # the first run ended before its held request
        if concurrent:
            runs.append((other, self.start_job("job-sub%d" % other.subclient, other)))
        if expire_at is not None:
            timer = threading.Timer(expire_at, lambda: self.array.control({"expire_sessions": True}))
            timer.start()
            self.stats["expiries"] += 1
        if kill_mode == "time":
            # Anywhere in a job's usual run time (and a little beyond).
            kill_at = main_run.start + rng.uniform(0.0, 1.3) * self.job_seconds
            while time.monotonic() < kill_at and not main_run.poll():
                time.sleep(0.002)
            if not main_run.poll():
                main_run.kill()
        elif kill_mode == "request":
            deadline = time.monotonic() + bound
            while time.monotonic() < deadline and not main_run.poll():
                seen = [r for r in self.array.rules() if r.get("delay_ms") == 700 and r.get("seen", 0)]
                if seen:
                    main_run.kill()
                    break
                time.sleep(0.005)
        if main_run.killed:
            self.stats["kills"] += 1
            # A request held when the CLI died still completes on the array
            # (a snapshot deleted late): let it, before anything is checked.
            time.sleep(max([r.get("delay_ms", 0) for r in rules] + [0]) / 1000.0 + 0.3)
        if second:
            second.wait(30)
        for content, run in runs:
            run.wait(bound)
        if expire_at is not None:
            timer.join()
        fired = sum(r.get("fired", 0) for r in self.array.rules())
        self.stats["fired"] += fired
        self.array.clear_faults()
        self.array.control({"changelist_page_size": 0, "changelist_delay_ms": 0, "fail_next_jobs": 0,
                            "job_delay_ms": 0})

        fault_free = not rules and not control and kill_mode is None and expire_at is None
        for content, run in runs:
            self.check_job(content, run, bound, tree)
            if fault_free and run.status != 0:
                self.violation("%s: a job without any fault injected did not succeed (exit %s): %s"
                               % (run.name, run.status, run.err()[-500:]))
            if run.status == 0 and not rules and not control and not run.killed:
                self.job_seconds = 0.8 * self.job_seconds + 0.2 * run.seconds
        if second:
            self.check_lock_refusal(main, main_run, second, tree)
        if not concurrent and rng.random() < 0.5:
            # The other content, on the same share, after this one.
            run = self.start_job("job-sub%d" % other.subclient, other)
            run.wait(20 + WAIT_TIME)
            self.check_job(other, run, 20 + WAIT_TIME, tree)
            if run.status != 0:
                self.violation("%s: a job without any fault injected did not succeed (exit %s): %s"
                               % (run.name, run.status, run.err()[-500:]))
            runs.append((other, run))
        if rng.random() < 0.12:
            self.run_cleanup(main)
        if rng.random() < 0.1:
            self.run_status(main)
        self.check_foreign(before, runs)
        self.stats["rounds"] += 1
        summary = " ".join("%s:%s%s" % (r.name.split("-", 1)[1], "killed" if r.killed else r.status,
                                        "" if not r.killed else "") for _, r in runs)
        if self.opts.verbose or self.round % 25 == 0:
            log("round %d: %d changes, %d rules (%d fired), %s" % (self.round, changes, len(rules), fired, summary))

    def prune_trees(self):
        """Keeps the trees a later job may still compare against: the rounds of
        each content's last KEEP_BASES jobs seen delivered, and this round's.
        A base older than that would be a base moving backwards."""
        keep = {self.round}
        for content in self.contents.values():
            for job in sorted(content.delivered)[-KEEP_BASES:]:
                keep.add(content.job_round[job])
        for r in [r for r in self.trees if r not in keep]:
            del self.trees[r]

    def check_lock_refusal(self, content, first, run, tree):
        """A second run of a content whose first run holds the lock is refused
        at once, starting nothing."""
        records = [r for r in run.records()] if not run.hung else []
        if any(r.get("event") == "job" for r in records):
            # It ran a job: a violation unless the first run had ended by then.
            if getattr(run, "first_alive", False):
                self.violation("%s: a second run of a running content was not refused by the lock "
                               "(exit %s)" % (run.name, run.status))
            else:
                self.stats["lock_unchecked"] += 1
            self.check_job(content, run, 30, tree)
            return
        self.check_finished(run, 30)
        self.stats["lock_refusals"] += 1
        if run.status != 1 or "holds" not in run.err():
            self.violation("%s: a second run of a running content was not refused by the lock "
                           "(exit %s): %s" % (run.name, run.status, run.err()[-300:]))
        if any(r.get("event") in ("item", "share") for r in records):
            self.violation("%s: refused by the lock, yet it started a job" % run.name)

    def check_job(self, content, run, bound, tree):
        self.stats["jobs"] += 1
        records = self.check_finished(run, bound)
        job = next((r for r in records if r.get("event") == "job"), None)
        if job is None:
            if run.status == 0:
                self.violation("%s exited 0 without a job record" % run.name)
            content.rounds_since_ok += 1
            return
        job_id, prev = job["jobId"], job.get("prevJobId", 0)
        if content.job_round.get(job_id, self.round) != self.round:
            self.violation("%s reused job id %d" % (run.name, job_id))
        content.job_round[job_id] = self.round
        events = [r.get("event") for r in records]
        items = [r for r in records if r.get("event") == "item"]
        full = [r for r in records if r.get("event") == "fullScan"]
        compare = "compare" in events or items
        done = records[-1] if records and records[-1].get("event") == "done" else {}
        share_done = [r for r in records if r.get("event") == "shareDone"]
        not_processed = [r for r in records if r.get("event") == "notProcessed"]
        # Invariant 2: a comparison runs only against a job whose delivery was
        # seen whole.
        if compare:
            if prev == 0 or prev not in content.delivered:
                self.violation("%s: job %d compares against job %d, whose delivery was not seen whole "
                               "(delivered: %s)" % (run.name, job_id, prev, sorted(content.delivered)[-5:]))
        # Whole delivery: the done record says so; a killed run when its only
        # share was handed on (shareDone or read in full).
        delivered_whole = bool(done.get("delivered")) or (run.killed and (share_done or full)
                                                          and not not_processed)
        if run.status == 0 and not done.get("delivered"):
            self.violation("%s exited 0 but its done record says not delivered" % run.name)
        if run.status == 0 and not (share_done or full):
            self.violation("%s exited 0 without handing the share on" % run.name)
        if delivered_whole and (share_done or full) and not not_processed:
            if full:
                self.stats["full_scans"] += 1
                if items:
                    self.violation("%s: the share read in full, yet %d items" % (run.name, len(items)))
                if job.get("type") == "incremental" and prev in content.delivered and \
                        full[0].get("reason") == "no comparison base":
                    pass  # the base's snapshot is gone: a full read loses nothing
            else:
                self.stats["items"] += len(items)
                base_round = content.job_round.get(prev)
                if base_round is None:
                    self.violation("%s: base job %d ran in no round of this soak" % (run.name, prev))
                elif base_round not in self.trees:
                    self.violation("%s: base job %d is older than the last %d jobs seen delivered"
                                   % (run.name, prev, KEEP_BASES))
                else:
                    problems = check_delivery(items, self.trees[base_round], tree, self.share_path)
                    counted = [r for r in share_done if r.get("items") != len(items)]
                    if counted:
                        problems.append("shareDone counts %s items, %d delivered" % (counted[0].get("items"),
                                                                                      len(items)))
                    if problems:
                        self.violation("%s: job %d against job %d (rounds %d -> %d) delivered wrong:\n    %s"
                                       % (run.name, job_id, prev, base_round, self.round,
                                          "\n    ".join(problems)))
            content.delivered.add(job_id)
        if run.status == 0:
            content.last_ok = job_id
            content.rounds_since_ok = 0
            self.check_own_snapshots(content, job_id, run)
            self.check_snapshot_copy(content, job_id, tree, run)
        else:
            content.rounds_since_ok += 1
        if not run.killed and not run.hung:
            self.check_results_dir(content, run)

    def check_own_snapshots(self, content, job_id, run):
        """Invariant 3: after a successful job and its cleanup only its own
        snapshots of the content are on the array."""
        names = self.array.snapshots()
        own = {n: i for n, i in names.items() if n.startswith(content.prefix)}
        mine = [n for n in own if content.job_of(n) == job_id]
        # A snapshot whose deletion the array refused during this round (an
        # injected fault on the DELETE itself) stays until the next success;
        # anything else left is a leak.
        refused = self.array.refused_deletes()
        left = sorted(n for n in own if content.job_of(n) != job_id and n not in refused)
        if len(mine) != 1 or left:
            self.violation("%s: after job %d succeeded the array holds the content's snapshots %s "
                           "(deletes refused this round: %s)" % (run.name, job_id, sorted(own), sorted(refused)))
        self.stats["refused_deletes"] += len(set(own) & refused)
        content.snapshots = set(own)

    def check_snapshot_copy(self, content, job_id, tree, run):
        """The job's snapshot as the array serves it (its .snapshot copy) holds
        the tree the harness recorded for the round."""
        names = [n for n in self.array.snapshots() if n.startswith(content.prefix + "%d_" % job_id)]
        for name in names:
            copy = self.share_path + b"/.snapshot/" + name.encode()
            if not os.path.isdir(copy):
                self.violation("%s: snapshot %s has no copy at %r" % (run.name, name, copy))
                continue
            served = scan(copy)
            want = {r: (a[1], a[2] if a[1] != "d" else 0) for r, a in tree.items() if r}
            got = {r: (a[1], a[2] if a[1] != "d" else 0) for r, a in served.items() if r}
            if want != got:
                diff = sorted(set(want.items()) ^ set(got.items()))[:5]
                self.violation("%s: snapshot %s differs from the round's tree: %r" % (run.name, name, diff))

    def check_foreign(self, before, runs):
        """Invariant 3: snapshots of other owners are never touched; a content's
        snapshots are touched only by its own runs."""
        after = self.array.snapshots()
        for name, snap_id in self.foreign.items():
            if after.get(name) != snap_id:
                self.violation("snapshot %r of another owner is gone or changed" % name)
        ran = {content.subclient for content, _ in runs}
        for content in self.contents.values():
            if content.subclient in ran:
                continue
            mine_before = {n for n in before if n.startswith(content.prefix)}
            mine_after = {n for n in after if n.startswith(content.prefix)}
            if mine_before != mine_after:
                self.violation("subclient %d's snapshots changed by another content's run: %s -> %s"
                               % (content.subclient, sorted(mine_before), sorted(mine_after)))
        on_disk = set(n.decode("utf-8", "replace") for n in os.listdir(self.share_path + b"/.snapshot"))
        if on_disk != set(after):
            self.violation("the array's snapshot copies %s differ from its list %s"
                           % (sorted(on_disk ^ set(after))[:5], len(after)))

    def run_cleanup(self, content):
        self.stats["cleanups"] += 1
        rules = []
        before = self.array.snapshots()
        if self.rng.random() < 0.3:
            rules = [random_rule(self.rng)]
            self.array.faults(rules)
            self.stats["rules"] += 1
        run = self.start("cleanup-sub%d" % content.subclient,
                         self.cli_args("cleanup", "--client-id", str(CLIENT), "--subclient-id",
                                       str(content.subclient)))
        kill = self.rng.random() < 0.1
        if kill:
            time.sleep(self.rng.uniform(0.01, 0.5))
            if not run.poll():
                run.kill()
                self.stats["kills"] += 1
                time.sleep(max([r.get("delay_ms", 0) for r in rules] + [0]) / 1000.0 + 0.3)
        bound = 15 + sum(rule_cost(r) * r["count"] for r in rules)
        run.wait(bound)
        self.stats["fired"] += sum(r.get("fired", 0) for r in self.array.rules())
        self.array.clear_faults()
        records = self.check_finished(run, bound)
        if run.status == 0:
            cleaned = [r for r in records if r.get("event") == "cleanup"]
            kept = cleaned[0]["jobId"] if cleaned else None
            own = {n for n in self.array.snapshots() if n.startswith(content.prefix)}
            if kept not in content.delivered and kept != 0:
                self.violation("%s kept job %s, whose delivery was not seen" % (run.name, kept))
            refused = self.array.refused_deletes()
            if {n for n in own if content.job_of(n) != kept and n not in refused}:
                self.violation("%s: after cleanup for job %s the content still has %s" % (run.name, kept,
                                                                                          sorted(own)))
            if kept < content.last_ok:
                self.violation("%s kept job %s, older than the last success %d" % (run.name, kept,
                                                                                   content.last_ok))
            was = {n for n in before if n.startswith(content.prefix) and content.job_of(n) == kept}
            if was - own:
                self.violation("%s deleted the kept job's snapshots %s" % (run.name, sorted(was - own)))

    def run_status(self, content):
        self.stats["status_runs"] += 1
        before = self.array.snapshots()
        run = self.start("status-sub%d" % content.subclient,
                         self.cli_args("status", "--client-id", str(CLIENT), "--subclient-id",
                                       str(content.subclient)))
        run.wait(15)
        records = self.check_finished(run, 15)
        if run.status != 0:
            self.violation("%s exited %s: %s" % (run.name, run.status, run.err()[-300:]))
        if self.array.snapshots() != before:
            self.violation("%s changed the array's snapshots" % run.name)
        status = [r for r in records if r.get("event") == "status"]
        if run.status == 0 and len(status) != 1:
            self.violation("%s: %d status records" % (run.name, len(status)))
        elif status:
            listed = {s.get("name") for s in status[0].get("snapshots", [])}
            own = {n for n in before if n.startswith(content.prefix)}
            if listed != own:
                self.violation("%s lists snapshots %s, the array holds %s" % (run.name, sorted(listed),
                                                                              sorted(own)))

    def settle(self):
        """A last round without faults: every content's job succeeds and hands
        on everything since its base (invariant 2's end)."""
        self.round += 1
        tree = scan(self.share_path)
        self.trees[self.round] = tree
        self.array.clear_faults()
        for content in self.contents.values():
            run = self.start_job("final-sub%d" % content.subclient, content)
            run.wait(20 + WAIT_TIME)
            self.check_job(content, run, 20 + WAIT_TIME, tree)
            if run.status != 0:
                self.violation("%s: the job after the faults did not succeed (exit %s): %s"
                               % (run.name, run.status, run.err()[-500:]))

    def report(self, seconds):
        s = self.stats
        log("soak seed %d: %d rounds in %.0f s, %d changes (%s), %d jobs, exit statuses of all runs %s, %d items checked, "
            "%d full reads, %d fault rules injected (%d fired), %d control faults, %d session expiries, "
            "%d kills, %d lock refusals, %d cleanups, %d status runs, %d deletes refused, "
            "longest run %.1f s, peak RSS %d KiB, %d violations"
            % (self.seed, s["rounds"], seconds, s["changes"],
               ", ".join("%s %d" % kv for kv in sorted(self.share.ops.items())), s["jobs"],
               ", ".join("%s: %d" % kv for kv in sorted(s["exit"].items())), s["items"], s["full_scans"],
               s["rules"], s["fired"], s["controls"], s["expiries"], s["kills"], s["lock_refusals"],
               s["cleanups"], s["status_runs"], s["refused_deletes"], s["max_seconds"], s["max_rss_kb"],
               s["violations"]))

    def run(self):
        started = time.monotonic()
        log("soak: seed %d, work directory %s" % (self.seed, self.work))
        ok = False
        try:
            self.setup()
            stop = []
            for sig in (signal.SIGINT, signal.SIGTERM):
                signal.signal(sig, lambda *_: stop.append(True))
            while not stop:
                if self.opts.rounds and self.round >= self.opts.rounds:
                    break
                if self.opts.seconds and time.monotonic() - started > self.opts.seconds:
                    break
                self.run_round()
            self.settle()
            ok = not self.violations
        except Violation:
            ok = False
        except Exception:
            log("soak: harness error at seed %d round %d" % (self.seed, self.round))
            raise
        finally:
            self.array.stop()
            self.report(time.monotonic() - started)
            if ok and not self.opts.keep:
                shutil.rmtree(self.work, ignore_errors=True)
            else:
                log("soak: files kept in %s" % self.work)
        if not ok:
            log("soak: FAILED; reproduce with --seed %d (the first violation is in round %s)"
                % (self.seed, self.violations[0].split("round ")[1].split(":")[0] if self.violations else "?"))
        return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build directory with snapscan, the plug-in and arraysim")
    parser.add_argument("--cli", help="the snapscan binary (default: the build's)")
    parser.add_argument("--plugin", help="the plug-in to load (default: the build's)")
    parser.add_argument("--arraysim", help="the arraysim binary (default: the build's)")
    parser.add_argument("--seed", type=int, help="random seed (default: a random one, printed)")
    parser.add_argument("--rounds", type=int, default=0, help="stop after N rounds (0: no limit)")
    parser.add_argument("--seconds", type=float, default=0,
                        help="stop starting rounds after S seconds (neither: until SIGINT or SIGTERM)")
    parser.add_argument("--files", type=int, default=2500, help="files in the share (about)")
    parser.add_argument("--tmpdir", help="where the work directory goes (default: $SNAPSCAN_SOAK_TMPDIR, "
                        "else /dev/shm, else $TMPDIR)")
    parser.add_argument("--keep-going", action="store_true", help="record violations and go on")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("-v", "--verbose", action="store_true", help="a line per round")
    opts = parser.parse_args()
    if opts.seed is None:
        opts.seed = random.SystemRandom().randrange(1, 2**31)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    return Soak(opts).run()


if __name__ == "__main__":
    sys.exit(main())
