"""The index of system backups (savePath.json) and the replacement of a former backup."""

import json
import re
import time

import pytest

from frontend import (DATA_UUID, INDEX_FILE, NEW_FLAG, OLD_FLAG, SUCCESS, TASK_FILE, TIME_STAMP,
                      USB_UUID, patch, recovery_files, run, scenario, tool_path)

OLD_KEY = "1700000000"
OLD_DIR = "/backups/2023-11-14-22-13-20"
OLD_PATH = "/data" + OLD_DIR


def new_entries(index, uuid, old=()):
    return {k: v for k, v in index.get(uuid, {}).items() if k not in old}


def check_new_entry(o, uuid, relative):
    """The one new key: its seconds name the same instant as the directory's time stamp
    (the machine runs in UTC)."""
    index = o.json(INDEX_FILE)
    entries = new_entries(index, uuid, {OLD_KEY, "1600000000"})
    assert len(entries) == 1, index
    key, value = next(iter(entries.items()))
    stamp = time.strftime("%Y-%m-%d-%H-%M-%S", time.gmtime(int(key)))
    assert value == relative + "/" + stamp
    assert o.json(TASK_FILE)["tasks"][0]["args"][2] == value
    return index


def backups_machine(index=None, extra_files=None):
    s = scenario("plain", dirs=["/data/backups"])
    s["files"] = {OLD_PATH + "/boot.osi": "b\n", OLD_PATH + "/system.osi": "s\n",
                  OLD_PATH + "/sub/deep/file": "d\n", "/data/keep/precious": "p\n",
                  "/data/backups/other/system.osi": "o\n"}
    s["files"].update(extra_files or {})
    if index is not None:
        recovery_files(s, savePath__json=json.dumps(index))
    return s


def test_index_starts_with_the_first_backup():
    o = run(backups_machine(), "-a", "system_backup", "-p", "/data/backups")
    assert o.code == 0, o
    index = check_new_entry(o, DATA_UUID, "/backups")
    assert list(index) == [DATA_UUID]
    assert o.text(INDEX_FILE).startswith("{\n    \"")


def test_two_backups_to_one_partition_give_two_keys():
    first = "%s -a system_backup -p /data/backups >/dev/null 2>&1 && sleep 1.1" % tool_path()
    o = run(backups_machine(), "-a", "system_backup", "-p", "/data/backups", before=[first])
    assert o.code == 0, o
    entries = o.json(INDEX_FILE)[DATA_UUID]
    assert len(entries) == 2
    assert all(re.fullmatch("/backups/" + TIME_STAMP, v) for v in entries.values())


def test_other_locations_are_kept():
    index = {USB_UUID: {"1600000000": "/x/2020-09-13-12-26-40"}, "junk": 1}
    o = run(backups_machine(index), "-a", "system_backup", "-p", "/data/backups")
    assert o.code == 0, o
    got = check_new_entry(o, DATA_UUID, "/backups")
    assert got[USB_UUID] == index[USB_UUID] and got["junk"] == 1


@pytest.mark.parametrize("text", ["", "not json", "[1, 2]", "{\"a\": "],
                         ids=["empty", "garbage", "array", "truncated"])
def test_unreadable_index_counts_as_empty(text):
    s = backups_machine()
    recovery_files(s, savePath__json=text)
    o = run(s, "-a", "system_backup", "-p", "/data/backups")
    assert o.code == 0, o
    assert list(check_new_entry(o, DATA_UUID, "/backups")) == [DATA_UUID]


def test_manual_backup_ignores_the_replace_target():
    index = {USB_UUID: {OLD_KEY: "/old"}}
    s = patch(backups_machine(index, {"/media/user/usb/old/system.osi": "s\n"}), "sdb1",
              size=400 << 30)
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb/old#",
            collect=["/media/user/usb/old"])
    assert o.code == 0, o
    assert o.json(INDEX_FILE) == index
    assert o.files["/media/user/usb/old"] == ["system.osi"]
    assert o.json(TASK_FILE)["tasks"][0]["args"][2].startswith("/2")


REPLACE = [
    # (id, recorded index, target, deleted, relative path of the new backup)
    ("recorded target", {DATA_UUID: {OLD_KEY: OLD_DIR}}, OLD_PATH + "#", True, "/backups"),
    ("recorded target, trailing slash", {DATA_UUID: {OLD_KEY: OLD_DIR}}, OLD_PATH + "/#", False,
     OLD_DIR),
    ("unrecorded target", {DATA_UUID: {OLD_KEY: OLD_DIR}}, "/data/backups/other#", False,
     "/backups"),
    ("recorded under another location", {USB_UUID: {OLD_KEY: OLD_DIR}}, OLD_PATH + "#", False,
     "/backups"),
    ("empty index", None, OLD_PATH + "#", False, "/backups"),
    ("relative target", {DATA_UUID: {OLD_KEY: OLD_DIR}}, "backups/2023-11-14-22-13-20#", False,
     "/backups"),
]


@pytest.mark.parametrize("case", REPLACE, ids=[c[0] for c in REPLACE])
def test_replace_target(case):
    _, index, target, deleted, relative = case
    argv = None
    if not target.startswith("/"):
        argv = ["/bin/sh", "-c", 'cd /data && "$0" -a system_backup -p "$1"', tool_path(),
                target]
    o = run(backups_machine(index), "-a", "system_backup", "-p", target, argv=argv,
            collect=["/data/backups", "/data/keep"])
    assert o.code == 0, o
    listing = o.files["/data/backups"]
    assert ("2023-11-14-22-13-20" not in listing) == deleted
    assert "other" in listing and o.files["/data/keep"] == ["precious"]
    got = o.json(INDEX_FILE)
    if deleted:
        assert OLD_KEY not in got[DATA_UUID]
        assert "Not a recorded backup" not in o.err
    else:
        assert "Not a recorded backup of this location, nothing deleted:" in o.err, o
        for uuid, entries in (index or {}).items():
            assert got[uuid][OLD_KEY] == entries[OLD_KEY]
    # Deleted in the tool itself, never by a program or a shell.
    assert not o.ran("rm") and not o.ran("sh") and not o.ran("bash")
    check_new_entry(o, DATA_UUID, relative)


# One file on each file system a damaged or tampered index entry could lead the deletion to.
PRECIOUS = {"/data/keep/precious": "p\n", OLD_PATH + "/system.osi": "s\n",
            "/media/user/usb/old/system.osi": "u\n"}
USB = "/media/user/usb"

OUT_OF_PARTITION = [
    # (id, location, where the USB stick ends up mounted, recorded entry, -p argument,
    #  shell lines run first, relative path of the new backup)
    ("the partition's root", DATA_UUID, USB, "/", "/data/#", [], ""),
    ("climbs to the partition's root", DATA_UUID, USB, "/backups/..", "/data/backups/..#", [],
     "/backups"),
    # "/" of the simulated machine is an overlay whose files a deletion confined to one file
    # system never reaches; one level down the climb lands on a real one: the data partition.
    # The chosen directory is resolved first (/data/usb), the target's own ".." stays.
    ("climbs out of the partition", USB_UUID, "/data/usb", "/..", "/data/usb/backups/../..#",
     ["mkdir /data/usb", "mount --move %s /data/usb" % USB, "mkdir /data/usb/backups"], ""),
    # The link leads to a partition whose mount point only begins like the location's.
    ("target is a link out of the partition", DATA_UUID, "/database", "/backups/usb",
     "/data/backups/usb#",
     ["mkdir /database", "mount --move %s /database" % USB, "ln -s /database /data/backups/usb"],
     "/backups"),
]


@pytest.mark.parametrize("case", OUT_OF_PARTITION, ids=[c[0] for c in OUT_OF_PARTITION])
def test_recorded_entry_leading_out_of_the_partition_deletes_nothing(case):
    """The index lives on the recovery partition, so an entry may be damaged or tampered with:
    the target must still lie strictly inside the location's mount point."""
    _, uuid, usb, entry, target, before, relative = case
    precious = {path.replace(USB, usb): text for path, text in PRECIOUS.items()}
    o = run(backups_machine({uuid: {OLD_KEY: entry}}, PRECIOUS), "-a", "system_backup", "-p",
            target, before=before, collect=list(precious))
    assert o.code == 0, o
    assert {p: o.text(p) for p in precious} == precious
    assert "The replaced backup could not be deleted:" in o.err, o
    assert o.json(INDEX_FILE)[uuid][OLD_KEY] == entry
    check_new_entry(o, uuid, relative)


def test_unsaved_plan_deletes_nothing_even_where_the_index_could_be_saved():
    """A directory holds the task file's name: no plan, so the replaced backup, the index and
    the flags stay as they were."""
    index = {DATA_UUID: {OLD_KEY: OLD_DIR}}
    o = run(backups_machine(index), "-a", "system_backup", "-p", OLD_PATH + "#",
            before=["rm -f " + TASK_FILE, "mkdir " + TASK_FILE], collect=["/data/backups"])
    assert o.code == 255, o
    assert "2023-11-14-22-13-20" in o.files["/data/backups"]
    assert o.json(INDEX_FILE) == index
    assert not o.exists(OLD_FLAG) and not o.exists(NEW_FLAG)


def test_replace_does_not_follow_links_out_of_the_backup():
    s = backups_machine({DATA_UUID: {OLD_KEY: OLD_DIR}})
    links = ["ln -s /data/keep %s/link" % OLD_PATH, "ln -s /data/keep/precious %s/file" % OLD_PATH]
    o = run(s, "-a", "system_backup", "-p", OLD_PATH + "#", before=links,
            collect=["/data/keep", "/data/backups"])
    assert o.code == 0, o
    assert o.files["/data/keep"] == ["precious"]
    assert "2023-11-14-22-13-20" not in o.files["/data/backups"]
    assert OLD_KEY not in o.json(INDEX_FILE)[DATA_UUID]


def test_recorded_target_that_is_a_link_is_not_deleted():
    """The index names the directory, but someone put a link to other data in its place."""
    s = backups_machine({DATA_UUID: {OLD_KEY: "/backups/linked"}})
    o = run(s, "-a", "system_backup", "-p", "/data/backups/linked#",
            before=["ln -s /data/keep /data/backups/linked"], collect=["/data/keep"])
    assert o.code == 0, o
    assert o.files["/data/keep"] == ["precious"]
    assert "The replaced backup could not be deleted:" in o.err
    assert o.json(INDEX_FILE)[DATA_UUID][OLD_KEY] == "/backups/linked"


STAMP_DIR = OLD_DIR.split("/")[-1]
MOUNTED = 'The replaced backup could not be deleted: "%s" : a file system is mounted on ' % OLD_PATH
DELETION = [
    # (id, shell lines run first, files that must survive, exit status, message)
    ("file system mounted inside",
     ["mount -t tmpfs in %s/sub && echo m > %s/sub/m" % ((OLD_PATH,) * 2)],
     {OLD_PATH + "/sub/m": "m\n", OLD_PATH + "/boot.osi": "b\n"}, 0, MOUNTED + OLD_PATH + "/sub"),
    ("file system mounted on it", ["mount -t tmpfs on %s && echo m > %s/m" % ((OLD_PATH,) * 2)],
     {OLD_PATH + "/m": "m\n"}, 0, MOUNTED + OLD_PATH),
    ("same file system bound inside", ["mount --bind /data/keep %s/sub" % OLD_PATH],
     {"/data/keep/precious": "p\n", OLD_PATH + "/system.osi": "s\n"}, 0,
     MOUNTED + OLD_PATH + "/sub"),
    ("same file system bound over a parent",
     ["mkdir /data/keep/%s && echo k > /data/keep/%s/k" % ((STAMP_DIR,) * 2),
      "mount --bind /data/keep /data/backups"],
     {"/data/keep/%s/k" % STAMP_DIR: "k\n"}, 0,
     'Not a recorded backup of this location, nothing deleted: "/data/keep/%s"' % STAMP_DIR),
    ("flag cannot be raised", ["rm -rf /.flag.d", "touch /.flag.d"],
     {OLD_PATH + "/sub/deep/file": "d\n"}, 255, "The live flag could not be created"),
]


@pytest.mark.parametrize("case", DELETION, ids=[c[0] for c in DELETION])
def test_deletion_refused_or_put_off(case):
    """Nothing mounted is deleted, nor anything before the flag is up; the index keeps
    recording the backup, which is still there, beside the new one."""
    _, before, survivors, code, message = case
    index = {DATA_UUID: {OLD_KEY: OLD_DIR}}
    argv = ("-a", "system_backup", "-p", OLD_PATH + "#")
    o = run(backups_machine(index), *argv, before=before, collect=list(survivors))
    assert o.code == code and message in o.err, o
    assert {p: o.text(p) for p in survivors} == survivors
    entries = o.json(INDEX_FILE)[DATA_UUID]
    assert entries[OLD_KEY] == OLD_DIR and len(entries) == 2
    if code == 0:  # the dry run foresees it
        dry = run(backups_machine(index), "-n", *argv, before=before)
        assert message in dry.err and "would be deleted" not in dry.err, dry


@pytest.mark.parametrize("replace", [False, True], ids=["new backup", "replacing one"])
def test_index_write_failure_raises_no_flag(replace):
    """The disk fills up: the task file fits, the larger index does not. The run fails before
    it writes anything (the new backup could never be found again): the old index stays
    whole, no plan, no flag, and a replaced backup is not deleted: the index still lists it."""
    big = {DATA_UUID: {str(1600000000 + i): "/backups/%06d" % i for i in range(400)}}
    big[DATA_UUID][OLD_KEY] = OLD_DIR
    s = backups_machine(big)
    patch(s, "sda4", size=4 << 20)
    fill = ["head -c 8192 /dev/zero > /recovery/pad",
            "dd if=/dev/zero of=/recovery/fill bs=4096 2>/dev/null || true",
            "rm /recovery/pad"]
    target = OLD_PATH + "#" if replace else "/data/backups"
    o = run(s, "-a", "system_backup", "-p", target, before=fill, collect=[OLD_PATH])
    assert o.code == 255, o
    assert 'Cannot save the save-path index "/recovery/backup/savePath.json" :' in o.err
    assert SUCCESS not in o.err
    assert not o.exists(OLD_FLAG) and not o.exists(NEW_FLAG)
    assert o.json(INDEX_FILE) == big
    assert not o.exists(TASK_FILE)
    assert o.files[OLD_PATH] == ["boot.osi", "sub", "system.osi"]
