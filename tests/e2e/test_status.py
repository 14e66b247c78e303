"""--status: what the next boot will do, read from the flags, the task file and the disk
service, with nothing written."""

import json

import pytest

import test_taskfile
from frontend import (DATA_UUID, INDEX_FILE, NEW_FLAG, OLD_FLAG, REC_UUID, ROOT_UUID, TASK_FILE,
                      patch, recovery_files, run, scenario, tool_path)

PENDING = "a plan is pending"
NOTHING = "nothing pending"
FLAG_ONLY = "a flag without a task file"
FILE_ONLY = "a task file without a flag (not pending)"


def facts(o):
    """The report as {key: value}; every line is one fact and no key comes twice."""
    assert o.code == 0, o
    result = {}
    for line in o.out.splitlines():
        key, sep, value = line.partition(": ")
        assert sep and key not in result, line
        result[key] = value
    return result


def status(s, before=(), collect=()):
    """--status after the before lines; the state files must come out as they went in."""
    probe = "cat %s 2>/dev/null | md5sum > /tmp/state.sum; " % " ".join(
        [OLD_FLAG, NEW_FLAG, TASK_FILE, INDEX_FILE])
    argv = ["/bin/sh", "-c", probe + '"$0" --status; code=$?; ' + probe.replace(
        "/tmp/state.sum", "/tmp/after.sum") + 'exit $code', tool_path()]
    o = run(s, before=before, argv=argv,
            collect=["/tmp/state.sum", "/tmp/after.sum"] + list(collect))
    assert o.files["/tmp/state.sum"] == o.files["/tmp/after.sum"], "state changed"
    return o


def tool(*args):
    return " ".join([tool_path()] + list(args)) + " >/dev/null 2>&1"


def partition(s, uuid):
    """The device, label and mount point facts a UUID argument should resolve to."""
    for d in s["devices"]:
        if uuid and d.get("uuid") == uuid:
            mounts = d.get("mount") or []
            return ["/dev/" + d.get("kname", d["name"]), d.get("label", ""),
                    mounts[0] if mounts else "not mounted"]
    return ["no partition has this UUID"]


def assert_plan(f, s, plan):
    """Every enabled task of the plan, in order, with each UUID argument resolved."""
    assert f["Plan type"] == plan["type"] and f["Plan locale"] == plan["locale"]
    assert f["Reboot when done"] == ("yes" if plan["auto_reboot"] else "no")
    for n, task in enumerate(plan["tasks"], 1):
        key = "Task %d" % n
        assert (f[key], f[key + " command"]) == (task["message"], task["command"])
        for i, arg in enumerate(task.get("args", []), 1):
            akey = "%s argument %d" % (key, i)
            assert f[akey] == arg
            if arg.startswith("UUID:"):
                got = [f.get(akey + k) for k in (" device", " label", " mount point")]
                want = partition(s, arg[5:])
                assert got[:len(want)] == want, (akey, got)
    assert "Task %d" % (len(plan["tasks"]) + 1) not in f


@pytest.mark.parametrize("case", test_taskfile.CASES, ids=[c[0] for c in test_taskfile.CASES])
def test_after_each_action(case):
    _, make, args, kind, _, _ = case
    s = make()
    o = status(s, before=[tool(*args, "-f")], collect=[TASK_FILE])
    f = facts(o)
    assert f["Next boot"] == PENDING
    assert (f["Flag /live.flag"], f["Flag /.flag.d/live.flag"]) == ("absent", "raised")
    assert f["Flag read at the next boot"] == NEW_FLAG and f["Task file"] == TASK_FILE
    assert f["Format data partition"] == "yes"
    plan = o.json(TASK_FILE)
    assert plan["type"] == kind
    assert_plan(f, s, plan)


@pytest.mark.parametrize("cancel", ["cancel_backup", "cancel_restore"])
@pytest.mark.parametrize("action", [["-a", "system_restore"],
                                    ["-a", "system_backup", "-p", "/data/backups"]],
                         ids=["system_restore", "system_backup"])
def test_after_each_cancel(action, cancel):
    o = status(test_taskfile.plain_with_backup_dirs(),
               before=[tool(*action), tool("-a", cancel)])
    f = facts(o)
    assert (f["Next boot"], f["Task file"]) == (NOTHING, "none")
    assert f["Flag /live.flag"] == f["Flag /.flag.d/live.flag"] == "absent"
    assert "Plan type" not in f and "Recorded backups" not in f


HALF = [
    # (id, system version, before lines, state, flags raised)
    ("new flag, no task file", None, ["mkdir /.flag.d", "touch /.flag.d/live.flag"], FLAG_ONLY,
     ("absent", "raised")),
    ("old flag on an old system, no task file", {"MajorVersion": "19"}, ["touch /live.flag"],
     FLAG_ONLY, ("raised", "absent")),
    ("task file, flag removed", None, [tool("-a", "system_restore"), "rm /.flag.d/live.flag"],
     FILE_ONLY, ("absent", "absent")),
    ("task file, only the flag this version does not read", None,
     [tool("-a", "system_restore"), "rm /.flag.d/live.flag", "touch /live.flag"], FILE_ONLY,
     ("raised", "absent")),
    ("nothing at all", None, [], NOTHING, ("absent", "absent")),
]


@pytest.mark.parametrize("case", HALF, ids=[c[0] for c in HALF])
def test_half_cancelled_hand_off(case):
    _, version, before, state, flags = case
    s = scenario("plain")
    if version:
        s["os_version"] = version
    f = facts(status(s, before=before))
    assert f["Next boot"] == state
    assert (f["Flag /live.flag"], f["Flag /.flag.d/live.flag"]) == flags
    assert f["Flag read at the next boot"] == (OLD_FLAG if version else NEW_FLAG)
    assert ("Plan type" in f) == (state == FILE_ONLY)


GONE = "/backups/gone\\\x01\nNext boot: nothing pending\t\u2028x"  # one fact, however named


def test_recorded_backups_newest_first():
    index = {DATA_UUID: {"1600000000": GONE, "1700000000": "/backups/kept"},
             REC_UUID: {"1800000000": "/elsewhere"}}
    s = test_taskfile.plain_with_backup_dirs()
    s["dirs"].append("/data/backups/kept")
    recovery_files(s, savePath__json=json.dumps(index))
    o = status(s, before=[tool("-a", "system_backup", "-p", "/data/backups")],
               collect=[TASK_FILE])
    f = facts(o)
    new = o.json(TASK_FILE)["tasks"][0]["args"][2]
    assert f["Recorded backups"] == "3"
    rows = [(f["Recorded backup %d" % i], f["Recorded backup %d directory" % i])
            for i in (1, 2, 3)]
    # The new backup is made at the next boot: its directory does not exist yet.
    assert rows == [(new, "to be made at the next boot"), ("/backups/kept", "present"),
                    ("/backups/gone\\\\\\001\\nNext boot: nothing pending\\t\\u2028x",
                     "missing")]
    assert f["Recorded backup 3 created"] == "2020-09-13 12:26:40"


def test_recorded_backups_on_an_unmounted_location():
    plan = {"type": "SystemBackup", "locale": "en_US", "auto_reboot": False, "tasks": [
        {"enable": True, "message": "m", "command": "create-backup-image",
         "args": ["UUID:" + ROOT_UUID, "UUID:" + DATA_UUID, "/b/x", "system.osi"]}]}
    s = patch(scenario("plain", binds=[]), "sda3", mount=[])
    recovery_files(s, recovery__json=json.dumps(plan),
                   savePath__json=json.dumps({DATA_UUID: {"1700000000": "/b/x"}}))
    f = facts(status(s))
    assert f["Next boot"] == FILE_ONLY
    assert f["Task 1 argument 2 mount point"] == "not mounted"
    assert f["Recorded backup 1 directory"] == "unknown, the partition is not mounted"


def test_unknown_and_empty_uuids_are_said_plainly():
    plan = {"type": "SystemRestore", "locale": "en_US", "auto_reboot": True, "tasks": [
        {"enable": True, "message": "a", "command": "restore-partitions",
         "args": ["UUID:no-such-uuid", "backup/system.osi", "UUID:"]},
        {"enable": False, "message": "off", "command": "restore-partitions", "args": []},
        {"enable": True, "message": "b", "command": "refresh-data-partition"}]}
    s = recovery_files(scenario("plain"), recovery__json=json.dumps(plan))
    f = facts(status(s))
    shown = dict(plan, tasks=[plan["tasks"][0], plan["tasks"][2]])
    assert_plan(f, s, shown)
    assert f["Task 1 argument 1 device"] == f["Task 1 argument 3 device"] == \
        "no partition has this UUID"
    assert f["Format data partition"] == "yes"


def test_not_a_plan():
    s = recovery_files(scenario("plain"), recovery__json="[1, 2")
    f = facts(status(s, before=["mkdir /.flag.d", "touch /.flag.d/live.flag"]))
    assert f["Next boot"] == PENDING and f["Plan type"] == "not a valid plan"


def test_recovery_partition_unmounted_is_mounted_and_read():
    s = scenario("recovery-unmounted")
    recovery_files(s, recovery__json=json.dumps({"type": "SystemRestore", "tasks": []}))
    o = status(s)
    f = facts(o)
    # Wherever the disk service chose to mount it, the plan is read from there.
    where = f["Task file"][:-len("/backup/recovery.json")]
    assert f["Task file"].endswith("/backup/recovery.json") and where.startswith("/media/")
    assert f["Next boot"] == FILE_ONLY
    assert "Mounted" in o.err and where in o.err
    assert o.r.mount_of(where) is not None


# (id, scenario, before, user, status, message)
FAILURES = [
    ("normal user", scenario("plain"), [], "65534", 255, '"Permission denied"'),
    ("no configuration", scenario("plain", recovery_uuid=None), [], None, 255,
     '"Cannot open /etc/orvik/system-recovery.conf"'),
    ("no recovery partition", scenario("plain", recovery_uuid="nowhere"), [], None, 255,
     '"Cannot find the recovery partition"'),
    ("unreadable task file", scenario("plain"), ["mkdir /recovery/backup/recovery.json"], None,
     255, '"Cannot read /recovery/backup/recovery.json"'),
]


@pytest.mark.parametrize("case", FAILURES, ids=[c[0] for c in FAILURES])
def test_state_that_cannot_be_read(case):
    _, s, before, user, code, message = case
    o = run(s, "--status", before=before, user=user)
    assert o.code == code, o
    assert message in o.err and o.out == ""


def test_encrypted_machine_is_reported_all_the_same():
    f = facts(run(scenario("luks-root"), "--status", before=["touch /live.flag"]))
    assert f["Flag /live.flag"] == "raised" and f["Next boot"] == NOTHING
