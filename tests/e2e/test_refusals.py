"""Every refusal: its message, its exit status, and nothing written anywhere."""

import pytest

from frontend import (INDEX_FILE, NEW_FLAG, OLD_FLAG, REC_UUID, TASK_FILE, add_device,
                      assert_nothing_written, patch, recovery_files, run, scenario)

EARLIER_PLAN = '{"name": "restore", "type": "SystemBackup", "tasks": []}\n'
EARLIER_INDEX = '{"x": {"1": "/old"}}\n'


def with_earlier_plan(s):
    """An earlier plan and index that a refused request must leave as they are."""
    return recovery_files(s, recovery__json=EARLIER_PLAN, savePath__json=EARLIER_INDEX)


def mounted(name, mount, fstype="ext4", drive="disk9", size=200 << 30, **extra):
    d = {"name": name, "type": "part", "drive": drive, "fstype": fstype,
         "uuid": "0000aaaa-0000-4000-8000-" + name.encode().hex().ljust(12, "0")[:12], "size": size,
         "used": 1 << 30, "mount": [mount]}
    d.update(extra)
    return d


def extra(*devices, **top):
    s = scenario("plain", **top)
    for d in devices:
        add_device(s, d)
    return s


def nested(d):
    """d mounted inside the data partition, which holds its mount point."""
    s = extra(d)
    data = [x for x in s["devices"] if x["name"] == "sda3"][0]
    data["files"] = dict(data.get("files", {}), **{d["mount"][0][len("/data/"):] + "/.keep": ""})
    return s


BACKUP = ["-a", "system_backup", "-p"]
MANUAL = ["-a", "manual_backup", "-p"]


def data_partition_at(mount_point, **top):
    """The data partition mounted at mount_point, its home, opt and var bound as in plain."""
    s = patch(scenario("plain", **top), "sda3", mount=[mount_point])
    s["binds"] = [[mount_point + "/" + d, "/" + d] for d in ("home", "opt", "var")]
    return s

# (id, scenario, arguments, message, exit status)
REFUSALS = [
    # machine checks
    ("no recovery configuration", scenario("plain", recovery_uuid=None), BACKUP + ["/data"],
     '"Cannot open /etc/orvik/system-recovery.conf"', 255),
    ("empty recovery UUID", scenario("plain", recovery_conf="UUID=\n"), BACKUP + ["/data"],
     '"Cannot open /etc/orvik/system-recovery.conf"', 255),
    ("recovery UUID on no device", scenario("plain", recovery_uuid="no-such-uuid"),
     ["-a", "system_restore"], '"Cannot find the recovery partition"', 255),
    ("recovery mount fails", scenario("recovery-unmounted", udisks={"mount_error": "boom"}),
     ["-a", "system_restore"], '"Cannot find the recovery partition"', 255),
    ("cancel without recovery partition", scenario("plain", recovery_uuid="no-such-uuid"),
     ["-a", "cancel_backup"], '"Cannot find the recovery partition"', 255),
    ("lsblk missing", scenario("plain", programs={"lsblk": {"missing": True}}),
     ["-a", "system_restore"], "Cannot read the block devices; LVM and encryption cannot be "
     "checked", 255),
    ("lsblk failing on an LVM machine", scenario("lvm-root", programs={"lsblk": {"exit": 1}}),
     BACKUP + ["/data"], "Cannot read the block devices", 255),
    # location checks
    ("system backup without path", scenario("plain"), ["-a", "system_backup"],
     '"Path not set or not exists!"', 3),
    ("missing directory", scenario("plain"), BACKUP + ["/data/nothing"],
     '"Path not set or not exists!"', 3),
    ("path is a file", scenario("plain", files={"/data/file": "x"}), BACKUP + ["/data/file"],
     '"Path not set or not exists!"', 3),
    ("manual backup outside /media", extra(mounted("sdz1", "/mnt/disk")), MANUAL + ["/mnt/disk"],
     '"The storage location cannot be in the source disk."', 4),
    ("manual backup to the data partition", scenario("plain", dirs=["/data/b"]),
     MANUAL + ["/data/b"], '"The storage location cannot be in the source disk."', 4),
    ("system backup on /", scenario("plain", dirs=["/srv/bk"]), BACKUP + ["/srv/bk"],
     '"This directory cannot be used to store backup files, please select a different '
     'directory."', 7),
    ("system backup on /boot", scenario("plain", dirs=["/boot/bk"]), BACKUP + ["/boot/bk"],
     '"This directory cannot be used', 7),
    ("system backup under /opt", scenario("plain", dirs=["/opt/bk"]), BACKUP + ["/opt/bk"],
     '"This directory cannot be used', 7),
    ("system backup under /var", scenario("plain", dirs=["/var/bk"]), BACKUP + ["/var/bk"],
     '"This directory cannot be used', 7),
    ("system backup under data /opt", scenario("plain", dirs=["/data/opt/bk"]),
     BACKUP + ["/data/opt/bk"], '"This directory cannot be used', 7),
    ("system backup under data /var prefix", scenario("plain", dirs=["/data/variable"]),
     BACKUP + ["/data/variable"], '"This directory cannot be used', 7),
    ("plain prefix /optical", extra(mounted("sdz1", "/optical")), BACKUP + ["/optical"],
     '"This directory cannot be used', 7),
    # The service sorts mount points: /home, a bind of the data partition's home, comes before
    # /userdata, where the partition itself is mounted and whose opt the backup copies.
    ("system backup under the data partition's own /opt",
     data_partition_at("/userdata", dirs=["/userdata/opt/bk"]), BACKUP + ["/userdata/opt/bk"],
     '"This directory cannot be used', 7),
    ("read-only location", extra(mounted("sdz1", "/mnt/ro", readonly=True)),
     BACKUP + ["/mnt/ro"], '"Cannot back up data to the read-only device"', 6),
    ("read-only manual location", extra(mounted("sdz1", "/media/ro", readonly=True)),
     MANUAL + ["/media/ro"], '"Cannot back up data to the read-only device"', 6),
    ("vfat location", extra(mounted("sdz1", "/mnt/usb", fstype="vfat")), BACKUP + ["/mnt/usb"],
     '"The file system is not supported for backup. Please select one in ext4, btrfs, xfs, '
     'reiserfs format." "vfat"', 2),
    ("ntfs location", extra(mounted("sdz1", "/media/win", fstype="ntfs")),
     MANUAL + ["/media/win"], 'reiserfs format." "ntfs"', 2),
    ("location on a tmpfs", scenario("plain", dirs=["/run/x"]), BACKUP + ["/run/x"],
     'reiserfs format." "tmpfs"', 2),
    # A mount point selects a path only whole, and the deepest one wins.
    ("vfat beside the data partition", extra(mounted("sdz1", "/data2", fstype="vfat")),
     BACKUP + ["/data2"], 'reiserfs format." "vfat"', 2),
    ("vfat inside the data partition", nested(mounted("sdz1", "/data/usb", fstype="vfat")),
     BACKUP + ["/data/usb"], 'reiserfs format." "vfat"', 2),
    ("directory beside a mounted disk", scenario("plain", dirs=["/media/user/usb2"]),
     MANUAL + ["/media/user/usb2"], 'reiserfs format." ""', 2),
    ("too little space", extra(mounted("sdz1", "/mnt/small", size=1 << 30)),
     BACKUP + ["/mnt/small"], "is required for backup. Free space available:", 1),
    # restore checks
    ("damaged initial image",
     scenario("plain", invalid_images=["/recovery/backup/system.osi"]), ["-a", "system_restore"],
     '"The initial backup file is invalid."', 5),
    ("manual restore without path", scenario("plain"), ["-a", "manual_restore"],
     '"Path not set or not exists!"', 3),
    ("manual restore of a missing directory", scenario("plain"),
     ["-a", "manual_restore", "-p", "/data/none"], '"Path not set or not exists!"', 3),
    ("manual restore without images", scenario("plain", files={"/data/bk/system.img": "x"}),
     ["-a", "manual_restore", "-p", "/data/bk"], '"Invalid path"', 3),
    ("manual restore, hidden image only", scenario("plain", files={"/data/bk/.system.osi": "x"}),
     ["-a", "manual_restore", "-p", "/data/bk"], '"Invalid path"', 3),
    ("manual restore, damaged image",
     scenario("plain", files={"/data/bk/a.osi": "x", "/data/bk/b.osi": "x"},
              invalid_images=["/data/bk/a.osi"]),
     ["-a", "manual_restore", "-p", "/data/bk"], '"The backup file is invalid."', 5),
]


@pytest.mark.parametrize("case", REFUSALS, ids=[c[0] for c in REFUSALS])
def test_refusal(case):
    _, s, args, message, status = case
    with_earlier_plan(s)
    o = run(s, *args, collect=["/.flag.d"])
    assert o.code == status, o
    assert message in o.err, o
    assert "Configuration successful" not in o.err
    # An unmounted recovery partition shows nothing at /recovery.
    earlier = {TASK_FILE: EARLIER_PLAN, INDEX_FILE: EARLIER_INDEX}
    rec = [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]
    assert_nothing_written(o, earlier if rec.get("mount") else {})
    assert o.files["/.flag.d"] is None
    assert not o.ran("touch") and not o.ran("mkdir")


def test_space_refusal_writes_no_probe_left_behind():
    s = extra(mounted("sdz1", "/mnt/small", size=1 << 30))
    o = run(s, *BACKUP, "/mnt/small", collect=["/mnt/small"])
    assert o.code == 1, o
    assert o.files["/mnt/small"] == []


def test_refused_image_stops_the_walk():
    """The second image is damaged: the third is never looked at."""
    files = {"/data/bk/%s.osi" % n: "x" for n in ("a", "B", "c")}
    s = scenario("plain", files=files, invalid_images=["/data/bk/B.osi"])
    o = run(s, "-a", "manual_restore", "-p", "/data/bk")
    assert o.code == 5, o
    checked = [p[-1] for p in o.programs if p[0].endswith("orvik-clone")]
    assert checked == ["/data/bk/a.osi", "/data/bk/B.osi"]


@pytest.mark.parametrize("action", ["cancel_backup", "cancel_restore", "system_backup",
                                    "manual_backup", "manual_restore", "system_restore"])
def test_encrypted_system_refused_before_any_file(action):
    s = scenario("luks-root", dirs=["/data/bk"])
    before = ["mkdir -p /.flag.d", "touch /live.flag /.flag.d/live.flag",
              "echo plan > /recovery/backup/recovery.json"]
    o = run(s, "-a", action, "-p", "/data/bk", before=before)
    assert o.code == 8, o
    assert ('"The system contains encrypted partition, please decrypt it before using the '
            'backup and restore function."') in o.err
    assert o.exists(OLD_FLAG) and o.exists(NEW_FLAG)
    assert o.text(TASK_FILE) == "plan\n"
    assert o.files[INDEX_FILE] is None
    # Refused before the disk service was asked anything.
    assert o.calls == []


UNSUPPORTED = [
    ("lvm-root", "isLvm =  true , isEncrypted =  false , osType =  \"Professional\""),
    ("lvm-in-luks", "isLvm =  true , isEncrypted =  true , osType =  \"Professional\""),
    ("device-type", "isLvm =  false , isEncrypted =  false , osType =  \"Device\""),
]


@pytest.mark.parametrize("name,detail", UNSUPPORTED, ids=[u[0] for u in UNSUPPORTED])
@pytest.mark.parametrize("action", ["manual_backup", "system_backup", "manual_restore"])
def test_unsupported_machine_refuses_planning(name, detail, action):
    s = with_earlier_plan(scenario(name, dirs=["/data/bk"]))
    o = run(s, "-a", action, "-p", "/data/bk")
    assert o.code == 255, o
    assert "not support, isLvm = " in o.err and detail in o.err, o
    assert_nothing_written(o, {TASK_FILE: EARLIER_PLAN, INDEX_FILE: EARLIER_INDEX})


@pytest.mark.parametrize("name", ["lvm-root", "lvm-in-luks", "device-type"])
@pytest.mark.parametrize("action", ["system_restore", "cancel_restore"])
def test_unsupported_machine_allows_reset_and_cancel(name, action):
    o = run(scenario(name), "-a", action)
    assert o.code == 0, o
    assert "not support" not in o.err


def test_lower_case_device_type_is_not_refused():
    s = scenario("plain", desktop_type="device", dirs=["/data/bk"])
    o = run(s, "-a", "system_backup", "-p", "/data/bk")
    assert o.code == 0, o


def test_missing_desktop_version_counts_as_professional():
    s = scenario("plain", desktop_type=None, dirs=["/data/bk"])
    o = run(s, "-a", "system_backup", "-p", "/data/bk")
    assert o.code == 0, o


def test_cancel_works_without_the_inventory():
    s = scenario("plain", programs={"lsblk": {"missing": True}})
    o = run(s, "-a", "cancel_restore", before=["touch /live.flag"])
    assert o.code == 0, o
    assert not o.exists(OLD_FLAG)
