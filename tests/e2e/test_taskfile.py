"""The plan each action writes: recovery.json exactly, and a second request replacing it."""

import json
import re

import pytest

from frontend import (BOOT_UUID, DATA_UUID, OLD_FLAG, NEW_FLAG, REC_UUID, ROOT_UUID, SUCCESS,
                      TASK_FILE, TIME_STAMP, USB_UUID, assert_nothing_written, device, patch,
                      recovery_files, run, scenario, tool_path)
from test_refusals import extra, mounted, nested

SECOND_DATA_UUID = "6c1e8f2a-3b4d-4e5f-8a6b-7c8d9e0f1a2b"
SECOND_USB_UUID = "8e9f0a1b-2c3d-4e5f-9a6b-7c8d9e0f1a3c"
FORMAT = {"message": "formating data partition", "command": "refresh-data-partition",
          "progress": False}


def image(source, location, directory, name, message):
    return {"message": message, "command": "create-backup-image",
            "args": ["UUID:" + source, "UUID:" + location, directory, name]}


def system_backup_tasks(location, directory):
    return [
        image(BOOT_UUID, location, directory, "boot.osi", "starting backup root & boot partition"),
        {"message": "starting backup '/opt' and '/var' of data partition",
         "command": "create-backup-directory",
         "args": ["UUID:" + DATA_UUID, "UUID:" + location, directory]},
        image(ROOT_UUID, location, directory, "system.osi", "starting backup root partition"),
    ]


def restore(args, message):
    return {"message": message, "command": "restore-partitions", "args": args}


RESTORE_BOOT = restore(["UUID:" + REC_UUID, "backup/boot.osi", "UUID:" + BOOT_UUID],
                       "starting restore boot partition")
RESTORE_ROOT = restore(["UUID:" + REC_UUID, "backup/system.osi", "UUID:" + ROOT_UUID],
                       "starting restore root partition")


def big_usb(s, name="sdb1"):
    """A stick large enough for a full backup of the system drive."""
    return patch(s, name, size=400 << 30)


def plain_with_backup_dirs():
    s = scenario("plain")
    s["dirs"] = ["/data/backups"]
    s["files"] = {"/data/images/2024/system.osi": "image\n", "/data/images/2024/boot.osi": "b\n"}
    return s


def data_second_drive():
    return big_usb(scenario("data-second-drive"), "sdc1")


# (id, scenario factory, arguments, type, tasks with "{dir}" for the backup directory)
CASES = [
    ("system_backup", plain_with_backup_dirs, ["-a", "system_backup", "-p", "/data/backups"],
     "SystemBackup", lambda d: system_backup_tasks(DATA_UUID, d), "/backups/"),
    ("system_backup through /home", lambda: scenario("plain", dirs=["/home/user/bk"]),
     ["-a", "system_backup", "-p", "/home/user/bk/"], "SystemBackup",
     lambda d: system_backup_tasks(DATA_UUID, d), "/home/user/bk/"),
    ("manual_backup, one drive", lambda: big_usb(scenario("plain")),
     ["-a", "manual_backup", "-p", "/media/user/usb"], "ManualBackup",
     lambda d: [image(ROOT_UUID, USB_UUID, d, "system.osi", "starting backup root partition")],
     "/"),
    ("manual_backup, data on a second drive", data_second_drive,
     ["-a", "manual_backup", "-p", "/media/user/usb"], "ManualBackup",
     lambda d: [image(ROOT_UUID, SECOND_USB_UUID, d, "system.osi",
                      "starting backup root partition"),
                image(SECOND_DATA_UUID, SECOND_USB_UUID, d, "data.osi",
                      "starting backup data partition")], "/"),
    ("system_restore", lambda: scenario("plain"), ["-a", "system_restore", "-p", "/nowhere"],
     "SystemRestore", lambda d: [RESTORE_BOOT, RESTORE_ROOT], None),
    ("system_restore without boot.info",
     lambda: recovery_files(scenario("plain"), boot__info=None), ["-a", "system_restore"],
     "SystemRestore", lambda d: [RESTORE_ROOT], None),
    ("manual_restore", plain_with_backup_dirs, ["-a", "manual_restore", "-p", "/data/images/2024"],
     "ManualRestore",
     lambda d: [restore(["UUID:" + DATA_UUID, "/images/2024"], "starting restore root partition")],
     None),
    # /media/user/usb2 lies on the root file system, not on the disk at /media/user/usb.
    ("manual_restore beside a mounted disk",
     lambda: scenario("plain", files={"/media/user/usb2/system.osi": "image\n"}),
     ["-a", "manual_restore", "-p", "/media/user/usb2"], "ManualRestore",
     lambda d: [restore(["UUID:" + ROOT_UUID, "media/user/usb2"],
                        "starting restore root partition")], None),
]


def check_plan(o, kind, tasks, directory_prefix, locale, reboot):
    assert o.code == 0, o
    assert SUCCESS in o.err
    plan = o.json(TASK_FILE)
    directory = None
    if directory_prefix is not None:
        first = plan["tasks"][0]["args"][2]
        assert re.fullmatch(re.escape(directory_prefix) + TIME_STAMP, first), first
        directory = first
    expected_tasks = []
    for i, t in enumerate(tasks(directory), 1):
        expected_tasks.append(dict(t, name="task-%d" % i, enable=True))
    assert plan == {"name": "restore", "message": "restore boot and root partition",
                    "total": len(expected_tasks), "ask": True, "locale": locale, "type": kind,
                    "auto_reboot": reboot, "tasks": expected_tasks}


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_plan_of_each_action(case):
    _, make, args, kind, tasks, prefix = case
    o = run(make(), *args)
    check_plan(o, kind, tasks, prefix, "en_US", False)
    # Version 25 uses the newer flag.
    assert o.exists(NEW_FLAG) and not o.exists(OLD_FLAG)


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_format_reboot_and_locale(case):
    _, make, args, kind, tasks, prefix = case
    o = run(make(), *args, "-f", "--reboot", "-l", "zh_CN")
    check_plan(o, kind, lambda d: tasks(d) + [FORMAT], prefix, "zh_CN", True)
    # The format task carries no arguments.
    assert "args" not in o.json(TASK_FILE)["tasks"][-1]
    # -l changes only the task file's locale, never the language of the messages.
    assert SUCCESS in o.err


def test_locale_defaults_to_the_system_locale():
    o = run(scenario("plain"), "-a", "system_restore", env={"LC_ALL": "de_DE.UTF-8"})
    assert o.code == 0, o
    assert o.json(TASK_FILE)["locale"] == "de_DE"


def test_task_file_is_indented_json():
    o = run(scenario("plain"), "-a", "system_restore")
    text = o.text(TASK_FILE)
    assert text.startswith("{\n    \"")
    assert '\n        {\n            "args": [' in text


def test_second_request_replaces_the_plan():
    s = plain_with_backup_dirs()
    first = "%s -a system_backup -f -p /data/backups >/dev/null 2>&1" % tool_path()
    o = run(s, "-a", "system_restore", before=[first])
    assert o.code == 0, o
    plan = o.json(TASK_FILE)
    assert plan["type"] == "SystemRestore"
    assert [t["message"] for t in plan["tasks"]] == [RESTORE_BOOT["message"],
                                                     RESTORE_ROOT["message"]]


def test_plan_replaces_an_unrelated_earlier_file():
    s = scenario("plain")
    recovery_files(s, recovery__json='{"name": "stale", "tasks": [1, 2, 3]}\n' + "x" * 5000)
    o = run(s, "-a", "system_restore")
    assert o.code == 0, o
    assert o.json(TASK_FILE)["total"] == 2
    assert "stale" not in o.text(TASK_FILE)


def test_manual_restore_names_only_the_directory():
    s = plain_with_backup_dirs()
    s["files"].update({"/data/images/2024/%s.osi" % n: "i\n" for n in ("a", "c", "d")})
    o = run(s, "-a", "manual_restore", "-p", "/data/images/2024")
    assert o.code == 0, o
    tasks = o.json(TASK_FILE)["tasks"]
    assert len(tasks) == 1 and tasks[0]["args"] == ["UUID:" + DATA_UUID, "/images/2024"]
    # Every image was checked, in name order.
    checked = [p[-1] for p in o.programs if p[0].endswith("orvik-clone")]
    assert checked == ["/data/images/2024/%s" % n for n in
                       ("a.osi", "boot.osi", "c.osi", "d.osi", "system.osi")]


@pytest.mark.parametrize("invalid,code", [(False, 0), (True, 5)], ids=["valid", "invalid"])
def test_manual_restore_checks_an_upper_case_image(invalid, code):
    image = "/data/old/SYSTEM.OSI"
    s = scenario("plain", files={image: "x\n"}, invalid_images=[image] if invalid else [])
    o = run(s, "-a", "manual_restore", "-p", "/data/old")
    assert o.code == code, o
    assert [p[-1] for p in o.programs if p[0].endswith("orvik-clone")] == [image]
    assert (o.json(TASK_FILE) or {}).get("type") == (None if invalid else "ManualRestore")


def test_system_restore_on_lvm_machine_plans():
    o = run(scenario("lvm-root"), "-a", "system_restore")
    assert o.code == 0, o
    assert o.json(TASK_FILE)["type"] == "SystemRestore"


def test_system_backup_without_data_marker_has_empty_data_reference():
    s = recovery_files(scenario("plain", dirs=["/data/backups"]), _ovd_data__info=None)
    o = run(s, "-a", "system_backup", "-p", "/data/backups")
    assert o.code == 0, o
    tasks = o.json(TASK_FILE)["tasks"]
    assert tasks[1]["args"][0] == "UUID:"
    assert device(s, "sda3")["uuid"] == DATA_UUID


def own_home():
    """/home is a partition of its own, not the data partition's home bound there."""
    s = extra(mounted("sdz1", "/home"), dirs=["/home/user/bk"])
    s["binds"] = [b for b in s["binds"] if b[1] != "/home"]
    return s


def pool():
    """A disk whose directory @sub is mounted at /mnt/sub, as a file-system subvolume is."""
    s = extra(mounted("sdz1", "/media/user/pool", files={"@sub/bk/.keep": ""}))
    s["binds"] = s["binds"] + [["/media/user/pool/@sub", "/mnt/sub"]]
    return s


SDZ1 = mounted("sdz1", "/")["uuid"]
USB_BK = ["mkdir -p /media/user/usb/bk/old", "ln -s /media/user/usb/bk /data/usblink"]
NAS = ["mkdir /data/nas", "mount -t tmpfs nas /data/nas", "touch /data/nas/system.osi"]
# The stick mounted in /run, reached through a link at /media or at /media/user.
MOVED = "mkdir -p /run/media/user/usb && mount --move /media/user/usb /run/media/user/usb && "
ANOTHER = '"The plan would name /data/home/user/bk'
# Where the plan puts the chosen directory: (id, scenario, before, arguments, the location
# UUID and relative path, or the exit status and message of the refusal).
PLACES = [
    ("link to another partition", scenario("plain"), USB_BK,
     ["-a", "system_backup", "-p", "/data/usblink"], (USB_UUID, "/bk")),
    ("replace target through a link",
     recovery_files(scenario("plain"), savePath__json='{"%s": {"1": "/bk/old"}}' % USB_UUID),
     USB_BK, ["-a", "system_backup", "-p", "/data/usblink/old#"],
     (USB_UUID, "/bk", "/media/user/usb/bk/old")),
    ("restore through a link", scenario("plain"), USB_BK + ["touch /media/user/usb/bk/a.osi"],
     ["-a", "manual_restore", "-p", "/data/usblink"], (USB_UUID, "/bk")),
    ("link within the partition", scenario("plain", dirs=["/data/backups/real"]),
     ["ln -s backups/real /data/bk"], ["-a", "system_backup", "-p", "/data/bk"],
     (DATA_UUID, "/backups/real")),
    ("bind of a directory", scenario("plain", dirs=["/media/user/usb/backups", "/srv/bk"]),
     ["mount --bind /media/user/usb/backups /srv/bk"], ["-a", "system_backup", "-p", "/srv/bk"],
     (USB_UUID, "/backups")),
    ("nested mount", dict(nested(mounted("sdz1", "/data/inner")), dirs=["/data/inner/bk"]), [],
     ["-a", "system_backup", "-p", "/data/inner/bk"], (SDZ1, "/bk")),
    ("/media a link", big_usb(scenario("plain")),
     [MOVED + "rm -r /media && ln -s run/media /media"],
     ["-a", "manual_backup", "-p", "/media/user/usb"], (USB_UUID, "")),
    ("/media/user a link", big_usb(scenario("plain")),
     [MOVED + "rm -r /media/user && ln -s /run/media/user /media/user"],
     ["-a", "manual_backup", "-p", "/media/user/usb"], (USB_UUID, "")),
    ("stacked mounts", extra(mounted("sdz1", "/media/user/usb")), [],
     ["-a", "manual_backup", "-p", "/media/user/usb"], (SDZ1, "")),
    ("subvolume-style mount root", pool(), [],
     ["-a", "system_backup", "-p", "/mnt/sub/bk"], (SDZ1, "/@sub/bk")),
    ("subvolume without its partition's root", pool(), ["umount /media/user/pool"],
     ["-a", "system_backup", "-p", "/mnt/sub/bk"], (255, "is not mounted")),
    ("tmpfs below the data partition", scenario("plain"), NAS,
     ["-a", "system_backup", "-p", "/data/nas"], (2, 'reiserfs format." "tmpfs"')),
    ("restore from a tmpfs", scenario("plain"), NAS, ["-a", "manual_restore", "-p", "/data/nas"],
     (255, '"No partition holds /data/nas (a tmpfs file system)')),
    ("/home of its own", own_home(), [], ["-a", "system_backup", "-p", "/home/user/bk"],
     (255, ANOTHER)),
    ("/home of its own, the same path on data", own_home(), ["mkdir -p /data/home/user/bk"],
     ["-a", "system_backup", "-p", "/home/user/bk"], (255, ANOTHER)),
    ("/home bound from another directory of data", scenario("plain", dirs=["/data/u/user/bk"]),
     ["mkdir -p /data/home/user/bk", "mount --bind /data/u/user /home/user"],
     ["-a", "system_backup", "-p", "/home/user/bk"], (255, ANOTHER)),
    ("tmpfs over /media/user", scenario("plain"),
     ["mount -t tmpfs -o size=400G t /media/user", "mkdir -p /media/user/usb/bk"],
     ["-a", "manual_backup", "-p", "/media/user/usb/bk"], (2, 'reiserfs format." "tmpfs"')),
    ("stick's directory bound over /media/user",
     patch(scenario("plain"), "sdb1", mount=["/media/user/usb", "/mnt/usb"], size=400 << 30),
     ["mkdir -p /mnt/usb/o/usb/bk", "mount --bind /mnt/usb/o /media/user"],
     ["-a", "manual_backup", "-p", "/media/user/usb/bk"], (USB_UUID, "/o/usb/bk")),
]


@pytest.mark.parametrize("dry", [False, True], ids=["real", "dry"])
@pytest.mark.parametrize("case", PLACES, ids=[c[0] for c in PLACES])
def test_plan_names_the_chosen_directory(case, dry):
    _, s, before, args, expected = case
    replaced = expected[2:]
    o = run(s, *args, *(["-n"] if dry else []), before=before, collect=replaced)
    if isinstance(expected[0], int):
        assert (o.code, expected[1] in o.err) == (expected[0], True), o
        assert_nothing_written(o)
        return
    assert o.code == 0, o
    task = (json.loads(o.out) if dry else o.json(TASK_FILE))["tasks"][0]
    uuid, place = task["args"][1:3] if args[1].endswith("backup") else task["args"]
    assert "UUID:" + expected[0] == uuid, o
    assert re.fullmatch(re.escape(expected[1]) + ("/" + TIME_STAMP if "backup" in args[1]
                                                   else ""), place), o
    for path in replaced:  # the former backup goes, or a dry run names it
        assert ("replaced backup %s would be deleted" % path in o.err) if dry else (
            o.files[path] is None), o
