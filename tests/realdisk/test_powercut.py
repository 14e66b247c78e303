"""Power cuts on the real disk stack. "/" and the recovery partition are shut down without
flushing their logs (all a cut keeps of them is what their journals committed), at a chosen
moment of a request, one of them committed first; the machine is then taken down, its
partitions mounted afresh and read. The data partition is not cut: a replaced backup's
deletion counts as on the disk at once."""

import fcntl
import json
import os
import stat
import struct
import subprocess
import tempfile

import pytest

import realmachine
from conftest import machine_tool

TASK, INDEX = "/recovery/backup/recovery.json", "/recovery/backup/savePath.json"
FLAGS = ("/.flag.d/live.flag", "/live.flag")
OLD = "/data/backups/2020-01-01-00-00-00"
IMAGE = "/data/backups/2021-02-03-04-05-06"
EARLIER = json.dumps({"type": "SystemBackup", "tasks": []})  # a plan still pending
CUT = ("/", "/recovery")
GOINGDOWN, NOLOGFLUSH = 0x8004587D, 2  # _IOR('X', 125, __u32): xfs and ext4
# Periodic commits wait for longer than a row takes: what is on the disk after a cut is what
# the tool made durable, not what a timer happened to commit.
SLOW_COMMITS = "remount,commit=600"
ENV = {"TZ": "UTC", "LC_ALL": "C.UTF-8", "QT_MESSAGE_PATTERN": "%{message}"}
PENDING = {TASK: EARLIER, FLAGS[0]: ""}

# request: (action, arguments, the type of plan it writes, what is on the disk before)
REQUESTS = {
    "system_backup": ("system_backup", ["-p", "/data/backups"], "SystemBackup",
                      {"/data/backups/.marker": ""}),
    "replace": ("system_backup", ["-p", OLD + "#"], "SystemBackup",
                {OLD + "/system.osi": "old image",
                 INDEX: '{"%(data)s": {"1577836800": "/backups/2020-01-01-00-00-00"}}'}),
    "system_restore": ("system_restore", [], "SystemRestore", PENDING),
    "manual_restore": ("manual_restore", ["-p", IMAGE], "ManualRestore",
                       {IMAGE + "/system.osi": "ORVIK-OSI backup image\n"}),
    "cancel_backup": ("cancel_backup", [], None, dict(PENDING, **{FLAGS[1]: ""})),
    "cancel_restore": ("cancel_restore", [], None, dict(PENDING, **{FLAGS[1]: ""})),
}
# Where the run is cut: after its exit, or just after one of its calls.
PLAN_POINTS = {"exit": {}, "task file renamed": {"ORVIK_CUT_MADE": "/backup/recovery.json"},
               "flag made": {"ORVIK_CUT_MADE": FLAGS[0]}}
CANCEL_POINTS = {"exit": {}, "a flag removed": {"ORVIK_CUT_GONE": "/live.flag"},
                 "task file removed": {"ORVIK_CUT_GONE": "/backup/recovery.json"}}
# Which file system commits first; both are cut.
ORDERS = {"both cut": None, "/ first": "/", "recovery first": "/recovery"}
ROWS = [(r, point, order) for r in REQUESTS
        for point in (CANCEL_POINTS if r.startswith("cancel") else PLAN_POINTS)
        for order in ORDERS]


def cut(m, first):
    """The cut after the run, as the shim makes it inside."""
    if first:
        subprocess.run(["sync", "-f", m.path(first)], check=True)
    for inside in CUT:
        fd = os.open(m.path(inside), os.O_RDONLY)
        try:
            fcntl.ioctl(fd, GOINGDOWN, struct.pack("I", NOLOGFLUSH))
        finally:
            os.close(fd)


@pytest.fixture(scope="module")
def crash(fault_shim):
    """The system disk alone, brought up again after each row's cut."""
    m = realmachine.RealMachine(layout=[r for r in realmachine.LAYOUT if r[0] == "sys"],
                                tool=machine_tool())
    m.start()
    try:
        try:
            cut(m, None)
        except OSError as e:
            pytest.skip("a file system cannot be shut down here: %s" % e)
        m.power_off()
        m.reboot()
        yield m
    finally:
        m.stop()
    assert not m.leftovers()


def tree(top, inside, found):
    """Every file (content), link (target) and directory of the file system at top."""
    dev = os.lstat(top).st_dev
    for d, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(d, name)
            mode = os.lstat(path).st_mode
            key = os.path.normpath(os.path.join(inside, os.path.relpath(path, top)))
            if stat.S_ISLNK(mode):
                found[key] = "-> " + os.readlink(path)
            elif stat.S_ISREG(mode):
                with open(path, "rb") as f:
                    found[key] = f.read().decode(errors="replace")
            else:
                found[key] = "dir"
        dirs[:] = [x for x in dirs if os.lstat(os.path.join(d, x)).st_dev == dev]
    return found


def disk(m, afresh=False):
    """What the machine's ext4 partitions hold: where they are mounted, or mounted afresh."""
    found = {}
    for p in (q for q in m.parts if q.fstype == "ext4"):
        if not afresh:
            tree(m.path(p.mount_point), p.mount_point, found)
            continue
        where = tempfile.mkdtemp(dir=m.work)
        subprocess.run(["mount", "-o", "ro", p.node, where], check=True)
        try:
            tree(where, p.mount_point, found)
        finally:
            subprocess.run(["umount", where], check=True)
    return found


def plan_on(kind, before, after):
    """What the task file on the disk is; a system backup's is whole with its directory in
    the index."""
    text = after.get(TASK)
    if text is None or text == before.get(TASK):
        return "no plan" if text is None else "the earlier plan"
    try:
        plan = json.loads(text)
    except ValueError:
        return "a plan not whole"
    dirs = {t["args"][2] for t in plan["tasks"] if t["command"].startswith("create-backup")}
    index = json.loads(after.get(INDEX, "{}"))
    recorded = {d for location in index.values() for d in location.values()}
    if plan.get("type") != kind:
        return "another plan"
    return "this run's plan" if dirs <= recorded else "this run's plan, not in the index"


@pytest.mark.parametrize("name,point,order", ROWS, ids=["-".join(r) for r in ROWS])
def test_power_cut(crash, fault_shim, name, point, order):
    action, args, kind, setup = REQUESTS[name]
    m = crash
    for inside in ("/.flag.d", "/data/backups", TASK, INDEX, FLAGS[1]):  # the last row's
        subprocess.run(["rm", "-rf", m.path(inside)], check=True)
    for inside in CUT:
        subprocess.run(["mount", "-o", SLOW_COMMITS, m.path(inside)], check=True)
    for inside, text in setup.items():
        m.write(inside, text % {"data": m.part("data").uuid})
    subprocess.run(["sync", "-f", m.root, m.path("/recovery"), m.path("/data")], check=True)
    before = disk(m)
    switches = (CANCEL_POINTS if kind is None else PLAN_POINTS)[point]
    env = dict(ENV, LD_PRELOAD=fault_shim(m), ORVIK_CUT_FS=":".join(CUT),
               ORVIK_CUT_SYNC=ORDERS[order] or "", **switches)
    p = m.chrooted([m.tool, "-a", action] + args, check=False, env=env)
    try:
        if not switches:
            cut(m, ORDERS[order])
        m.power_off()
        after = disk(m, afresh=True)
    finally:
        m.reboot()
    check(kind, point, p, before, after)


def check(kind, point, p, before, after):
    assert p.returncode == (0 if point == "exit" else -9), p.err  # the cut came where named
    flag = any(f in after for f in FLAGS)
    plan = plan_on(kind, before, after)
    seen = "flag %s, %s" % ("up" if flag else "down", plan)
    if OLD in before:
        seen += ", the replaced backup " + ("kept" if OLD in after else "deleted")
    # An earlier plan's flag may stand only while a cancel has not gone through: a plan
    # takes it down before it replaces that plan.
    mine = plan == "this run's plan"
    assert not flag or mine or (plan == "the earlier plan" and kind is None), seen
    if point == "exit":
        assert (flag and mine) if kind else not flag and plan == "no plan", seen
    if OLD in before and OLD not in after:
        assert flag and mine, seen
    changed = {k for k in set(before) | set(after) if before.get(k) != after.get(k)}
    changed -= set(FLAGS) | {"/.flag.d", TASK, INDEX, OLD, OLD + "/system.osi"}
    assert not changed, "%s; also changed: %s" % (seen, sorted(changed))
