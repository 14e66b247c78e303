"""-n/--dry-run: every check of a real run, then the plan on standard output and nothing on
disk. Each accepted request is run twice, dry and real, in two fresh machines: the printed
plan must be the file the real run writes."""

import json
import re

import pytest

import test_refusals
import test_savepath
import test_taskfile
from frontend import (INDEX_FILE, REC_UUID, SUCCESS, STATE, TASK_FILE, TIME_STAMP, assert_nothing_written,
                      run, tool_path)

EARLIER = {TASK_FILE: test_refusals.EARLIER_PLAN, INDEX_FILE: test_refusals.EARLIER_INDEX}


def without_time(text):
    return re.sub(TIME_STAMP, "<time>", text)


def dry_and_real(s, args):
    dry = run(s, "-n", *args)
    real = run(s, *args)
    return dry, real


ACCEPTED = [(c[0], c[1], c[2]) for c in test_taskfile.CASES]
ACCEPTED += [(c[0] + ", formatted, rebooting", c[1], c[2] + ["-f", "-r", "-l", "zh_CN"])
             for c in test_taskfile.CASES[:1] + test_taskfile.CASES[4:5]]


@pytest.mark.parametrize("case", ACCEPTED, ids=[c[0] for c in ACCEPTED])
def test_printed_plan_is_the_written_plan(case):
    _, make, args = case
    s = test_refusals.with_earlier_plan(make())
    dry, real = dry_and_real(s, args)
    assert dry.code == real.code == 0, (dry, real)
    assert without_time(dry.out) == without_time(real.text(TASK_FILE)), dry
    json.loads(dry.out)
    # Same checks, same messages: only the success line of the hand-off is missing.
    assert without_time(dry.err) == without_time(real.err.replace(SUCCESS + "\n", "")), dry
    assert_nothing_written(dry, EARLIER)
    assert not dry.ran("touch") and not dry.ran("sudo")


REFUSALS = [c for c in test_refusals.REFUSALS if not c[2][1].startswith("cancel_")]


@pytest.mark.parametrize("case", REFUSALS, ids=[c[0] for c in REFUSALS])
def test_refusal_keeps_its_code_and_message(case):
    _, s, args, message, status = case
    test_refusals.with_earlier_plan(s)
    o = run(s, "-n", *args)
    assert o.code == status, o
    assert message in o.err, o
    assert o.out == ""
    rec = [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]
    assert_nothing_written(o, EARLIER if rec.get("mount") else {})


@pytest.mark.parametrize("case", test_savepath.REPLACE, ids=[c[0] for c in test_savepath.REPLACE])
def test_replace_target_is_named_not_deleted(case):
    _, index, target, deleted, _ = case
    s = test_savepath.backups_machine(index)
    before = {INDEX_FILE: s_index(s)}
    argv = None
    if not target.startswith("/"):
        argv = ["/bin/sh", "-c", 'cd /data && "$0" -n -a system_backup -p "$1"', tool_path(),
                target]
    o = run(s, "-n", "-a", "system_backup", "-p", target, argv=argv,
            collect=["/data/backups/2023-11-14-22-13-20"])
    assert o.code == 0, o
    named = "Dry run: the replaced backup %s would be deleted" % target.rstrip("#")
    assert (named in o.err) == deleted, o
    if not deleted:
        assert "nothing deleted:" in o.err, o
    assert o.files["/data/backups/2023-11-14-22-13-20"] == ["boot.osi", "sub", "system.osi"]
    assert_nothing_written(o, before)
    assert json.loads(o.out)["type"] == "SystemBackup"


def s_index(s):
    rec = [d for d in s["devices"] if d.get("uuid") == s["recovery_uuid"]][0]
    return rec.get("files", {}).get("backup/savePath.json")


# (id, recovery partition size or None, before lines): the save of the task file would fail.
UNWRITABLE = [
    ("read-only", None, ["mount --bind /recovery/backup /recovery/backup",
                         "mount -o remount,bind,ro /recovery/backup"]),
    ("partition full", 8 << 20, ["dd if=/dev/zero of=/recovery/fill bs=4k >/dev/null 2>&1; true"]),
    ("a directory at its path", None, ["rm -f /recovery/backup/recovery.json",
                                       "mkdir /recovery/backup/recovery.json"]),
]


@pytest.mark.parametrize("case", UNWRITABLE, ids=[c[0] for c in UNWRITABLE])
def test_unwritable_task_file_fails_as_a_real_run_does(case):
    _, size, before = case
    s = test_taskfile.plain_with_backup_dirs()
    if size:
        [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]["size"] = size
    o = run(s, "-n", "-a", "system_restore", before=before)
    assert o.code == 255, o
    assert "Cannot save the task file" in o.err and "recovery.json" in o.err
    assert o.out == ""
    assert all(o.files[p] in (None, []) for p in STATE if p != INDEX_FILE)


# (id, before lines, message): the real run ends with -1 saving the index or raising the flag,
# so the dry run does too, before it prints a plan.
FORESEEN = [
    ("a directory at the index's path", ["rm -f " + INDEX_FILE, "mkdir " + INDEX_FILE],
     "Cannot save the save-path index"),
    ("an immutable index", ["touch " + INDEX_FILE, "chattr +i " + INDEX_FILE],
     "Cannot save the save-path index"),
    ("an immutable flag directory", ["mkdir /.flag.d", "chattr +i /.flag.d"],
     "The live flag could not be created"),
]


@pytest.mark.parametrize("case", FORESEEN, ids=[c[0] for c in FORESEEN])
def test_index_and_flag_fail_as_a_real_run_does(case):
    _, before, message = case
    dry, real = [run(test_taskfile.plain_with_backup_dirs(), *args, "-a", "system_backup", "-p",
                     "/data/backups", before=before) for args in (["-n"], [])]
    assert dry.code == real.code == 255, (dry, real)
    assert message in dry.err and message in real.err and dry.out == "", (dry, real)
