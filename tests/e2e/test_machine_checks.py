"""Machine checks that need more than one look: the recovery partition found and mounted,
empty UUIDs, the task file that cannot be saved, and the cost of a run."""

import pytest

from frontend import (BOOT_UUID, DATA_UUID, INDEX_FILE, NEW_FLAG, OLD_FLAG, REC_UUID, TASK_FILE,
                      add_device, patch, recovery_files, run, scenario, simmachine)

MOUNTED_REC = "/media/root/Backup"  # udisks2 mounts at the label
REC_OBJECT = "/org/freedesktop/UDisks2/block_devices/sda4"


def mount_calls(o):
    return [c for c in o.calls if ".Mount " in c or c.split(" ")[0].endswith(".Mount")]


@pytest.mark.parametrize("action", ["system_backup", "manual_restore", "cancel_backup",
                                    "system_restore"])
def test_unmounted_recovery_partition_is_mounted_and_stays(action):
    s = scenario("recovery-unmounted", dirs=["/data/backups"],
                 files={"/data/images/system.osi": "i\n"})
    path = "/data/images" if action == "manual_restore" else "/data/backups"
    rec_files = [MOUNTED_REC + "/backup/recovery.json"]
    o = run(s, "-a", action, "-p", path, collect=rec_files)
    assert o.code == 0, o
    assert [c.split(" ")[-1] for c in mount_calls(o)] == [REC_OBJECT]
    assert any(m[1] == MOUNTED_REC for m in o.mounts), o.mounts
    planned = o.json(rec_files[0])
    if action == "system_backup":
        # The markers were read from the partition just mounted.
        assert "UUID:" + BOOT_UUID in str(planned)
    elif action == "manual_restore":
        assert planned["type"] == "ManualRestore"
    elif action == "system_restore":
        # The initial image is checked where the partition was just mounted; the plan still
        # names it relative to the partition.
        checked = [p[-1] for p in o.programs if p[0].endswith("orvik-clone")]
        assert checked == [MOUNTED_REC + "/backup/system.osi"]
        assert planned["tasks"][-1]["args"][:2] == ["UUID:" + REC_UUID, "backup/system.osi"]
    else:
        assert planned is None


def test_root_uuid_comes_from_the_mounted_root():
    """fstab names another root: the device mounted at / decides."""
    s = scenario("plain")
    s["fstab"] = s["fstab"].replace("9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42",
                                    "11111111-2222-4333-8444-555555555555")
    o = run(s, "-a", "system_restore")
    assert o.code == 0, o
    assert o.json(TASK_FILE)["tasks"][1]["args"][2] == "UUID:9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42"


def devices_without_uuid(s):
    """An unmounted file system without UUID listed first, then a whole disk without one."""
    s["devices"].insert(0, {"name": "sdy1", "type": "part", "drive": "spare", "fstype": "ext4",
                            "uuid": "", "size": 1 << 30, "used": 1 << 20})
    s["devices"].insert(1, {"name": "sdz", "type": "disk", "drive": "spare", "size": 1 << 30})
    return s


@pytest.mark.parametrize("action,args", [
    ("system_backup", ["-p", "/data/backups"]),
    ("system_restore", []),
    ("manual_restore", ["-p", "/data/images"]),
])
def test_empty_data_uuid_matches_no_device(action, args):
    s = recovery_files(devices_without_uuid(scenario("plain", dirs=["/data/backups"])),
                       _ovd_data__info=None)
    s["files"] = {"/data/images/system.osi": "i\n"}
    o = run(s, "-a", action, *args)
    assert o.code == 0, o
    assert mount_calls(o) == []
    assert not any(m[0] == "/dev/sdy1" for m in o.mounts)
    tasks = o.json(TASK_FILE)["tasks"]
    if action == "system_backup":  # no data partition to copy /opt and /var from
        assert tasks[1]["args"][0] == "UUID:"


def test_empty_data_uuid_with_backup_under_home():
    """No data partition known: /home is not redirected and the location is the bind's."""
    s = recovery_files(devices_without_uuid(scenario("plain", dirs=["/home/bk"])),
                       _ovd_data__info=None)
    o = run(s, "-a", "system_backup", "-p", "/home/bk")
    assert o.code == 0, o
    assert mount_calls(o) == []


# (id, before lines, device patch)
UNSAVABLE = [
    ("backup directory missing", ["rm -rf /recovery/backup"], {}),
    ("recovery partition read-only", [], {"readonly": True}),
    ("recovery partition full",
     ["dd if=/dev/zero of=/recovery/fill bs=4096 2>/dev/null || true"], {"size": 4 << 20}),
]
OLD_DIR = "/data/backups/2023-11-14-22-13-20"


@pytest.mark.parametrize("args", [["-a", "system_backup", "-p", OLD_DIR + "#"],
                                  ["-a", "manual_restore", "-p", OLD_DIR]],
                         ids=["system_backup", "manual_restore"])
@pytest.mark.parametrize("case", UNSAVABLE, ids=[c[0] for c in UNSAVABLE])
def test_task_file_that_cannot_be_saved(case, args):
    _, before, device_patch = case
    index = '{"%s": {"1700000000": "/backups/2023-11-14-22-13-20"}}' % DATA_UUID
    s = scenario("plain", files={OLD_DIR + "/system.osi": "s\n"})
    recovery_files(s, recovery__json="EARLIER PLAN\n", savePath__json=index)
    patch(s, "sda4", **device_patch)
    o = run(s, *args, before=before, collect=[OLD_DIR, "/recovery/backup"])
    assert o.code == 255, o
    assert 'Cannot save the task file "/recovery/backup/recovery.json"' in o.err
    assert "Configuration successful" not in o.err
    assert not o.exists(OLD_FLAG) and not o.exists(NEW_FLAG)
    assert not o.ran("touch")
    expected = None if "missing" in case[0] else "EARLIER PLAN\n"
    assert o.text(TASK_FILE) == expected
    assert o.text(INDEX_FILE) == (None if expected is None else index)
    # The replaced backup is deleted only once the plan stands.
    assert o.files[OLD_DIR] == ["system.osi"]
    # No temporary file is left behind.
    listing = o.files["/recovery/backup"]
    assert listing is None or sorted(listing) == sorted(
        ["_ovd_data.info", "boot.info", "recovery.json", "savePath.json", "system.osi"])


# (id, action arguments); every action lists the disk service once.
ACTIONS = [
    ("system_backup", ["-a", "system_backup", "-p", "/data/backups"]),
    ("manual_backup", ["-a", "manual_backup", "-p", "/media/user/usb"]),
    ("system_restore", ["-a", "system_restore"]),
    ("manual_restore", ["-a", "manual_restore", "-p", "/data/images"]),
    ("cancel_backup", ["-a", "cancel_backup"]),
]
MACHINES = ["plain", "recovery-unmounted", "no markers"]


def listing_machine(name):
    s = scenario("plain" if name == "no markers" else name, dirs=["/data/backups"],
                 files={"/data/images/system.osi": "i\n"})
    patch(s, "sdb1", size=400 << 30)
    if name == "no markers":
        recovery_files(s, _ovd_data__info=None, boot__info=None)
    return s


@pytest.mark.parametrize("machine", MACHINES)
@pytest.mark.parametrize("args", [a for _, a in ACTIONS], ids=[i for i, _ in ACTIONS])
def test_one_listing_per_run(args, machine):
    o = run(listing_machine(machine), *args)
    assert o.code == 0, o
    methods = [c.split(" ")[0].rsplit(".", 1)[-1] for c in o.calls]
    assert methods.count("GetBlockDevices") == 1, o.calls
    assert methods.count("GetManagedObjects") == 1, o.calls
    # Besides the listing only the recovery partition's mount and its one re-read.
    mounts = 1 if machine == "recovery-unmounted" else 0
    assert sorted(set(methods) - {"GetBlockDevices", "GetManagedObjects"}) == (
        ["GetAll", "Mount"] if mounts else []), o.calls
    assert methods.count("Mount") == mounts and methods.count("GetAll") == 2 * mounts


def bus_calls(n):
    s = simmachine.generate_scenario(n)
    s["dirs"] = ["/data/backups"]
    o = run(s, "-a", "system_backup", "-p", "/data/backups")
    assert o.code == 0, o
    return o


def test_bus_calls_do_not_grow_with_the_devices():
    small, large = bus_calls(10), bus_calls(120)
    assert len(small.calls) == len(large.calls), (small.calls, large.calls)
    assert len(small.programs) == len(large.programs)
