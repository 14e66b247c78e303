"""Self-tests of the simulated machine: isolation from the host, what df, lsblk and the
other fake programs report, the fake udisks2 service, faults, and the normal-user path."""

import copy
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import simmachine  # noqa: E402
from simmachine import Machine, MachineError, generate_scenario, load_scenario  # noqa: E402

REC_UUID = "7b5c1d93-2f4e-4a8b-9c6d-e1f2a3b4c5d6"
BOOT_UUID = "4f1c2a5e-0b7d-4e51-9a43-1d2e3f4a5b61"
DATA_UUID = "2e7a9c41-8b3d-4f6a-a1e5-c4d3b2a19f83"
BLOCK = "/org/freedesktop/UDisks2/block_devices/"
INVENTORY_COLUMNS = ("NAME,KNAME,LABEL,UUID,TYPE,FSTYPE,SIZE,FSUSED,FSAVAIL,LOG-SEC,PHY-SEC,"
                     "MOUNTPOINT,MODEL,RO,HOTPLUG,MAJ:MIN,PARTLABEL,PARTUUID,PKNAME,PATH,"
                     "VENDOR,SERIAL,REV,ROTA")
# The inventory parser's whole-line pattern.
LSBLK_LINE = re.compile(
    r'NAME="(.*)" KNAME="(.*)" LABEL="(.*)" UUID="(.*)" TYPE="(.*)" FSTYPE="(.*)" '
    r'SIZE="(.*)" FSUSED="(.*)" FSAVAIL="(.*)" LOG-SEC="(.*)" PHY-SEC="(.*)" '
    r'MOUNTPOINT="(.*)" MODEL="(.*)" RO="([0-9]+)" HOTPLUG="([0-9]+)" MAJ[_:]MIN="([0-9:]+)" '
    r'PARTLABEL="(.*)" PARTUUID="(.*)" PKNAME="(.*)" PATH="(.*)" VENDOR="(.*)" '
    r'SERIAL="(.*)" REV="(.*)" ROTA="(.*)"')
HOST_PATHS = ["/live.flag", "/.flag.d", "/etc/fstab", "/etc/os-version",
              "/etc/orvik/system-recovery.conf", "/usr/lib/orvik/desktop-version"]

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="the simulated machine needs root")


def sh(script, scenario="plain", **kw):
    return Machine(scenario).run(["/bin/sh", "-c", script], **kw)


def device(s, name):
    return [d for d in s["devices"] if d["name"] == name][0]


def fingerprint(path):
    if not os.path.lexists(path):
        return None
    if os.path.isdir(path):
        return ("dir", sorted(os.listdir(path)))
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def test_writes_stay_in_the_machine():
    before = {p: fingerprint(p) for p in HOST_PATHS}
    r = sh("mkdir -p /.flag.d && touch /live.flag /.flag.d/live.flag && "
           "echo changed > /etc/fstab && rm -f /etc/os-version && "
           "echo plan > /recovery/backup/recovery.json",
           collect=["/live.flag", "/.flag.d/live.flag", "/etc/fstab", "/etc/os-version",
                    "/recovery/backup/recovery.json", "/recovery/backup"])
    assert r.returncode == 0, r
    assert r.files["/live.flag"] == b""
    assert r.files["/.flag.d/live.flag"] == b""
    assert r.files["/etc/fstab"] == b"changed\n"
    assert r.files["/etc/os-version"] is None
    assert r.files["/recovery/backup"] == ["_ovd_data.info", "boot.info", "recovery.json",
                                           "system.osi"]
    assert {p: fingerprint(p) for p in HOST_PATHS} == before


TOOL_SCRIPT = "#!/bin/sh\necho ran \"$@\"\n{ echo x > \"${0%/*}/written\"; } 2>/dev/null\nexit 0\n"


# A clone may lie anywhere: where the machine puts its own /tmp, its data partition's /home
# and /var, or in root's 0700 home. Its tool must run there, for root and for another user,
# and neither the run nor the mount points the machine makes may write into the clone.
@pytest.mark.parametrize("base", ["/tmp", "/home", "/var/tmp", "/root"])
@pytest.mark.parametrize("user", [None, "nobody"])
def test_a_clone_anywhere_runs_its_tool_and_stays_whole(monkeypatch, base, user):
    top = tempfile.mkdtemp(prefix="orvik-clone-", dir=base)
    try:
        os.chmod(top, 0o700)
        tool = os.path.join(top, "build", "orvik-recovery-tool")
        os.makedirs(os.path.dirname(tool))
        with open(tool, "w") as f:
            f.write(TOOL_SCRIPT)
        os.chmod(tool, 0o755)
        monkeypatch.setattr(simmachine, "REPO", top)
        monkeypatch.setattr(simmachine, "find_tool", lambda: tool)
        r = Machine("plain").run(["orvik-recovery-tool", "-a", "cancel_backup"], user=user)
        assert (r.returncode, r.stdout, r.stderr) == (0, "ran -a cancel_backup\n", ""), r
        assert sorted(os.listdir(top)) == ["build"]
        assert os.listdir(os.path.dirname(tool)) == ["orvik-recovery-tool"]
        with open(tool) as f:
            assert f.read() == TOOL_SCRIPT
        assert os.stat(top).st_mode & 0o7777 == 0o700
    finally:
        shutil.rmtree(top)


# A command that cannot start says which file and why, with the shell's 127 (not found) or
# 126 (found, not startable).
@pytest.mark.parametrize("argv,files,before,user,code,words", [
    (["/opt/none/prog"], {}, [], None, 127, "/opt/none/prog: no such file inside the machine"),
    (["no-such-program"], {}, [], None, 127, "no-such-program: no such program on PATH"),
    (["/srv/prog"], {"/srv/prog": "#!/bin/sh\n"}, [], None, 126,
     "/srv/prog as uid 0: it is not executable (mode 644)"),
    (["/srv/prog"], {"/srv/prog": "#!/no/such/shell -e\n"}, ["chmod 755 /srv/prog"], None, 126,
     "/srv/prog: its interpreter /no/such/shell -e is missing inside the machine"),
    (["/srv/closed/prog"], {"/srv/closed/prog": "#!/bin/sh\n"},
     ["chmod 755 /srv/closed/prog", "chmod 700 /srv/closed"], "nobody", 126,
     "/srv/closed/prog as uid 65534: directory /srv/closed is not searchable"),
], ids=["missing", "not-on-path", "not-executable", "no-interpreter", "closed-directory"])
def test_a_command_that_cannot_start_says_why(argv, files, before, user, code, words):
    s = load_scenario("plain")
    s["files"] = files
    r = Machine(s).run(argv, before=before, user=user)
    assert r.returncode == code, r
    assert r.start_error.startswith("cannot start " + words), r.start_error
    assert r.stderr == r.start_error + "\n"


def test_scenario_files_are_the_machines():
    r = sh("true", collect=["/etc/os-version", "/etc/orvik/system-recovery.conf",
                            "/usr/lib/orvik/desktop-version", "/proc/cmdline", "/live.flag"])
    assert r.files["/etc/os-version"] == (b"[Version]\nMajorVersion=25\nMinorVersion=1070\n"
                                          b"OsBuild=102.100\n")
    assert r.files["/etc/orvik/system-recovery.conf"] == ("UUID=%s\n" % REC_UUID).encode()
    assert r.files["/usr/lib/orvik/desktop-version"] == b"[Release]\nType=Professional\n"
    assert b"root=UUID=9d3b6e2f" in r.files["/proc/cmdline"]
    assert r.files["/live.flag"] is None
    s = load_scenario("plain")
    s.update(os_version=None, desktop_type="Device", recovery_uuid=None,
             files={"/srv/blob.bin": b"\x00\xff\x7fELF"})
    device(s, "sda4")["files"]["backup/raw.img"] = b"\xde\xad"
    r = sh("true", s, collect=["/etc/os-version", "/etc/orvik/system-recovery.conf",
                               "/usr/lib/orvik/desktop-version", "/srv/blob.bin",
                               "/recovery/backup/raw.img"])
    assert r.files["/srv/blob.bin"] == b"\x00\xff\x7fELF"
    assert r.files["/recovery/backup/raw.img"] == b"\xde\xad"
    assert r.files["/etc/os-version"] is None
    assert r.files["/etc/orvik/system-recovery.conf"] is None
    assert r.files["/usr/lib/orvik/desktop-version"] == b"[Release]\nType=Device\n"


@pytest.mark.parametrize("scenario,expected", [
    ("plain", {"/": "/dev/sda2", "/boot": "/dev/sda1", "/data": "/dev/sda3",
               "/recovery": "/dev/sda4", "/media/user/usb": "/dev/sdb1", "/home": "/dev/sda3"}),
    ("data-second-drive", {"/": "/dev/sda2", "/data": "/dev/sdb1", "/recovery": "/dev/sda3"}),
    ("lvm-root", {"/": "/dev/mapper/vg0-root", "/data": "/dev/mapper/vg0-data"}),
    ("luks-root", {"/": "/dev/mapper/luks-e4d3c2b1-a098-4765-b432-10fedcba9876"}),
])
def test_df_names_the_scenario_devices(scenario, expected):
    r = sh("df -P -B1 " + " ".join(expected), scenario)
    assert r.returncode == 0, r
    rows = [line.split() for line in r.stdout.splitlines()[1:]]
    assert {row[-1]: row[0] for row in rows} == expected
    size = {d["mount_source"]: d["size"] for d in simmachine.machinelib.normalize(
        load_scenario(scenario))["devices"]}
    for row in rows:  # a tmpfs of the device's size stands for it
        assert abs(int(row[1]) - size[row[0]]) < 4096


def test_available_space_can_be_set_exactly():
    s = load_scenario("plain")
    device(s, "sda3")["avail"] = 5 << 30
    device(s, "sda2")["avail"] = 3 << 30
    r = sh("stat -f -c '%a %S' /data /", s)
    free = [int(a) * int(b) for a, b in (line.split() for line in r.stdout.splitlines())]
    assert free == [5 << 30, 3 << 30]


def test_lsblk_inventory_lines_match_the_parser():
    for name in ("plain", "lvm-in-luks", "luks-root"):
        r = sh("lsblk --bytes --pairs --output " + INVENTORY_COLUMNS, name)
        s = simmachine.machinelib.normalize(load_scenario(name))
        lines = r.stdout.splitlines()
        assert len(lines) == len(s["devices"])
        for line, d in zip(lines, s["devices"]):
            m = LSBLK_LINE.fullmatch(line)
            assert m, line
            assert (m.group(2), m.group(4), m.group(7), m.group(20)) == (
                d["kname"], d["uuid"], str(d["size"]), d["path"])
            assert m.group(12) == (d["mount"][0] if d["mount"] else "")


def test_lsblk_follows_mounts_and_escapes_blanks():
    s = load_scenario("recovery-unmounted")
    device(s, "sda4")["label"] = "My Backup"
    r = sh("lsblk --bytes --pairs --output NAME,LABEL,MOUNTPOINT /dev/sda4; "
           "mkdir -p /mnt/x && mount --bind /data /mnt/x; "
           "lsblk --output UUID,PATH; lsblk --output MOUNTPOINT; "
           "lsblk --bytes --output PATH,SIZE; ls /dev/disk/by-label", s)
    out = r.stdout.splitlines()
    assert out[0] == 'NAME="sda4" LABEL="My\\x20Backup" MOUNTPOINT=""'
    assert out[1].split() == ["UUID", "PATH"]
    assert [line.split() for line in out[2:4]] == [["/dev/sda"], [BOOT_UUID, "/dev/sda1"]]
    assert "/data" in out and "/media/user/usb" in out
    assert "/dev/sda4  21474836480" in r.stdout
    assert "My\\x20Backup" in r.stdout.splitlines()


def test_dmsetup_deps_and_blkid():
    r = sh("dmsetup deps -o blkdevname; blkid; blkid -s UUID -o value /dev/sda1",
           "lvm-in-luks")
    lines = r.stdout.splitlines()
    luks = "luks-e4d3c2b1-a098-4765-b432-10fedcba9876"
    assert lines[:3] == [luks + ": 1 dependencies\t: (sda2)",
                         "vg0-root: 1 dependencies\t: (dm-0)",
                         "vg0-data: 1 dependencies\t: (dm-0)"]
    for line in lines[:3]:  # the dependency reader's pattern
        assert re.fullmatch(r"([^:]*)\:.*\((.*)\)", line)
    assert lines[3] == '/dev/sda: PTUUID="%s" PTTYPE="gpt"' % device(
        load_scenario("lvm-in-luks"), "sda")["ptuuid"]
    assert any(line.startswith('/dev/sda2: UUID="e4d3c2b1') and 'TYPE="crypto_LUKS"' in line
               for line in lines)
    assert any(line.startswith("/dev/mapper/vg0-root: UUID=") for line in lines)
    assert lines[-1] == BOOT_UUID


USAGE_TOOLS = [  # family, command, how the usage reader gets (total, free) from the output
    ("ext4", ["dumpe2fs", "-h"], lambda t: (
        int(re.search(r"Block count:\s+(\d+)", t).group(1)) * 4096,
        int(re.search(r"Free blocks:\s+(\d+)", t).group(1)) * 4096)),
    ("xfs", ["xfs_db", "-c sb", "-c print", "-r"], lambda t: (
        int(re.search(r"^dblocks = (\d+)", t, re.M).group(1)) * 4096,
        int(re.search(r"^fdblocks = (\d+)", t, re.M).group(1)) * 4096)),
    ("ntfs", ["ntfsinfo", "-mf"], lambda t: (
        int(re.search(r"Volume Size in Clusters:\s+(\d+)", t).group(1)) * 4096,
        int(re.search(r"Free Clusters:\s+(\d+)", t).group(1)) * 4096)),
    ("reiserfs", ["debugreiserfs", "-d"], lambda t: (
        int(re.search(r"^Count of blocks on the device: (\d+)", t, re.M).group(1)) * 4096,
        int(re.search(r"^Free blocks \(count of blocks.*: (\d+)", t, re.M).group(1)) * 4096)),
    ("reiser4", ["debugfs.reiser4", "--force", "--yes"], lambda t: (
        int(re.search(r"^blocks:\s+(\d+)", t, re.M).group(1)) * 4096,
        int(re.search(r"^free blocks:\s+(\d+)", t, re.M).group(1)) * 4096)),
    ("nilfs2", ["nilfs-tune", "-l"], lambda t: (
        int(re.search(r"^Device size:\s+(\d+)", t, re.M).group(1)),
        int(re.search(r"^Free blocks count:\s+(\d+)", t, re.M).group(1)) * 4096)),
    ("jfs", ["sh", "-c", "echo dm | jfs_debugfs /dev/sdc1", "#"], lambda t: (
        int(re.search(r"dn_mapsize:\s*(\S+)", t).group(1), 16) * 4096,
        int(re.search(r"dn_nfree:\s*(\S+)", t).group(1), 16) * 4096)),
    ("btrfs", ["btrfs", "filesystem", "show"], lambda t: (
        float(re.search(r"size\s*([\d.]+)GiB\s", t).group(1)) * 2**30,
        (float(re.search(r"size\s*([\d.]+)GiB\s", t).group(1)) -
         float(re.search(r"Total devices.*used\s*([\d.]+)GiB", t).group(1))) * 2**30)),
    ("vfat", ["dosfsck", "-n", "-v"], lambda t: (
        4096 * int(re.search(r"/dev/sdc1: \d+ files, \d+/(\d+) clusters", t).group(1)),
        4096 * int(re.search(r"/dev/sdc1: \d+ files, \d+/(\d+) clusters", t).group(1)) -
        int(re.search(r"Data area starts at byte (\d+)", t).group(1)) -
        4096 * int(re.search(r"/dev/sdc1: \d+ files, (\d+)/", t).group(1)))),
]


@pytest.mark.parametrize("family,command,read", USAGE_TOOLS, ids=[u[0] for u in USAGE_TOOLS])
def test_usage_tools_answer_from_the_scenario(family, command, read):
    size, used = 8 << 30, 3 << 30
    s = load_scenario("plain")
    s["devices"] += [{"name": "sdc", "type": "disk", "drive": "d3", "size": 16 << 30},
                     {"name": "sdc1", "type": "part", "pkname": "sdc", "drive": "d3",
                      "fstype": family, "uuid": "1111-2222", "size": size, "used": used}]
    argv = command if command[0] == "sh" else command + ["/dev/sdc1"]
    r = Machine(s).run(argv)
    assert r.returncode == 0, r
    total, free = read(r.stdout)
    tolerance = 1064960 + 8192 if family == "vfat" else 4096
    assert abs(total - size) <= tolerance
    assert abs((total - free) - used) <= tolerance
    # The wrong family: the tool fails as the real one does on a foreign superblock.
    if command[0] != "sh":
        wrong = Machine("plain").run(command + ["/dev/sda1" if family != "ext4" else "/dev/sda"])
        assert wrong.returncode != 0 or family == "vfat"


def test_small_programs():
    s = load_scenario("plain")
    s.update(arch="arm64", du={"/opt": 1234}, invalid_images=["/recovery/backup/system.osi"])
    r = sh("dpkg --print-architecture; du --max-depth=0 /opt; "
           "orvik-clone --osi-info /recovery/backup/system.osi; echo clone=$?; "
           "update-initramfs -u; echo initramfs=$?; sudo id -u; "
           "fsck -v -n /dev/sda1; echo fsck=$?", s)
    lines = r.stdout.splitlines()
    assert lines[0] == "arm64"
    assert lines[1] == "1234\t/opt"
    assert "clone=1" in lines and "initramfs=0" in lines and "fsck=0" in lines
    assert "invalid file" in r.stderr
    assert "0" in lines
    assert ["sudo", "id", "-u"] in r.programs and ["du", "--max-depth=0", "/opt"] in r.programs


def test_fsck_exit_codes_come_from_the_scenario():
    s = load_scenario("plain")
    device(s, "sda1").update(fsck_exit=4, fsck_repair_exit=1)
    r = sh("sudo fsck -v -n /dev/sda1; echo check=$?; sudo fsck -y /dev/sda1; echo fix=$?", s)
    assert "check=4" in r.stdout and "fix=1" in r.stdout


@pytest.mark.parametrize("rule,script,check", [
    ({"missing": True}, "dumpe2fs -h /dev/sda1; echo rc=$?",
     lambda r: "rc=127" in r.stdout and ["dumpe2fs", "-h", "/dev/sda1"] not in r.programs),
    ({"exit": 3, "stdout": "garbage\n", "stderr": "broken\n"}, "dumpe2fs -h /dev/sda1; "
     "echo rc=$?", lambda r: r.stdout == "garbage\nrc=3\n" and r.stderr == "broken\n"),
    ({"signal": 9}, "dumpe2fs -h /dev/sda1; echo rc=$?", lambda r: "rc=137" in r.stdout),
    ([{"when": ["/dev/sda3"], "exit": 5}], "dumpe2fs -h /dev/sda1 >/dev/null; echo a=$?; "
     "dumpe2fs -h /dev/sda3 >/dev/null; echo b=$?", lambda r: "a=0" in r.stdout and
     "b=5" in r.stdout),
], ids=["missing", "exit-and-text", "killed", "per-argument"])
def test_program_overrides(rule, script, check):
    s = load_scenario("plain")
    s["programs"] = {"dumpe2fs": rule}
    r = sh(script, s)
    assert check(r), r


def test_missing_real_program():
    s = load_scenario("plain")
    s["programs"] = {"df": {"missing": True}}
    r = sh("df /; echo rc=$?", s)
    assert "rc=127" in r.stdout


def test_programs_are_logged_but_not_the_before_lines():
    r = sh("lsblk --output MOUNTPOINT >/dev/null; df -T -B1 >/dev/null",
           before=["lsblk >/dev/null", "mkdir -p /data/backups"])
    assert r.programs == [["lsblk", "--output", "MOUNTPOINT"], ["df", "-T", "-B1"]]
    assert r.before[1]["returncode"] == 0


def test_failing_before_line_is_reported():
    with pytest.raises(MachineError, match="before"):
        sh("true", before=["exit 3"])


DBUSCALL = os.path.join(HERE, "dbuscall.py")


def dbuscall(*args):
    return " ".join([DBUSCALL] + list(args))


def test_udisks_mount_really_mounts():
    s = load_scenario("recovery-unmounted")
    r = sh(dbuscall("mount", BLOCK + "sda4") + " && cat /media/root/Backup/backup/boot.info && "
           "echo x > /media/root/Backup/new && " +
           dbuscall("mountpoints", BLOCK + "sda4"), s)
    assert r.returncode == 0, r
    answer, boot, mount_points = r.stdout.splitlines()
    assert answer == "/media/root/Backup"  # the label, as udisks2 does
    assert boot == BOOT_UUID
    assert mount_points == repr(b"/media/root/Backup\0")  # NUL-terminated
    mount = r.mount_of("/media/root/Backup")
    assert mount[0] == "/dev/sda4" and mount[2] == "tmpfs" and "rw" in mount[3].split(",")
    assert r.calls == ["org.freedesktop.UDisks2.Filesystem.Mount " + BLOCK + "sda4",
                       "org.freedesktop.DBus.Properties.Get " + BLOCK + "sda4"]


def test_udisks_mount_read_only_and_unmount():
    s = load_scenario("recovery-unmounted")
    device(s, "sda4").update(readonly=True, mount_target="/run/media/rec")
    r = sh(dbuscall("mount", BLOCK + "sda4") + "; touch /run/media/rec/x; echo touch=$?; " +
           dbuscall("unmount", BLOCK + "sda4") + "; " + dbuscall("unmount", BLOCK + "sda4") +
           "; ls /run/media", s)
    assert "/run/media/rec" in r.stdout.splitlines() and "touch=1" in r.stdout
    assert "org.freedesktop.UDisks2.Error.NotMounted: Device `/dev/sda4' is not mounted" \
        in r.stderr
    assert r.mount_of("/run/media/rec") is None


def test_udisks_block_properties():
    r = sh(dbuscall("getall", BLOCK + "dm_2d1", "org.freedesktop.UDisks2.Block"), "lvm-root")
    props = dict(line.split("=", 1) for line in r.stdout.splitlines())
    assert props["IdUUID"] == "a1b2c3d4-e5f6-4789-9abc-def012345678"
    assert props["IdType"] == "ext4" and props["Drive"] == "/"
    assert props["IdUsage"] == "filesystem"


# Where udisks2 mounts a device, as the real daemon does it: fstab's mount point and options
# first, else /media/root/<label>, else /media/root/<uuid>.
FSTAB_REC = "UUID=%s\t/srv/rec\text4\tro,relatime\t0\t2\n" % REC_UUID
MOUNT_TARGETS = [
    # label, fstab, where it is mounted, read-only
    ("Backup", "", "/media/root/Backup", False),
    ("", "", "/media/root/" + REC_UUID, False),
    ("Backup", FSTAB_REC, "/srv/rec", True),
]


@pytest.mark.parametrize("label,fstab,target,readonly", MOUNT_TARGETS)
def test_udisks_mount_target(label, fstab, target, readonly):
    s = load_scenario("recovery-unmounted")
    s["fstab"] = fstab
    device(s, "sda4")["label"] = label
    r = sh(dbuscall("mount", BLOCK + "sda4"), s)
    assert r.stdout.split() == [target], r
    assert ("ro" in r.mount_of(target)[3].split(",")) == readonly


def test_udisks_mount_points_sorted_by_path():
    s = load_scenario("plain")
    s["binds"] = [["/data/var", "/var"], ["/data/home", "/home"], ["/data/opt", "/abc"]]
    r = sh(dbuscall("mountpoints", BLOCK + "sda3"), s)
    assert r.stdout.split() == [repr(p.encode() + b"\0") for p in
                                ("/abc", "/data", "/home", "/var")], r


def test_udisks_listing_order():
    s = load_scenario("plain")
    s["udisks"] = {"order": ["sdb1", "sda3"]}
    r = sh(dbuscall("list"), s)
    names = [line.rsplit("/", 1)[-1] for line in r.stdout.split()]
    assert names == ["sdb1", "sda3"] + [d["name"] for d in s["devices"]
                                        if d["name"] not in ("sdb1", "sda3")], r


def test_udisks_faults():
    s = load_scenario("recovery-unmounted")
    s["udisks"] = {"mount_error": "simulated failure",
                   "errors": {"Manager.GetBlockDevices": "listing broken"}}
    r = sh(dbuscall("mount", BLOCK + "sda4") + "; " + dbuscall("list"), s)
    assert "org.freedesktop.UDisks2.Error.Failed: simulated failure" in r.stderr
    assert "org.freedesktop.UDisks2.Error.Failed: listing broken" in r.stderr
    assert r.mount_of("/media/root/Backup") is None
    s["udisks"] = {"absent": True}
    r = sh(dbuscall("list"), s)
    assert r.returncode != 0 and "ServiceUnknown" in r.stderr and r.calls == []


def probe_path():
    found = glob.glob(os.path.join(simmachine.REPO, "build*", "tests", "unit", "udisks",
                                   "udisks-probe"))
    if os.environ.get("ORVIK_BUILD_DIR"):
        found = glob.glob(os.path.join(os.environ["ORVIK_BUILD_DIR"], "tests", "unit",
                                       "udisks", "udisks-probe")) or found
    if not found:
        pytest.skip("udisks-probe is not built")
    return max(found, key=os.path.getmtime)


def test_disk_layer_in_the_machine():
    """The real QtDBus layer against the machine: listing, then a real mount."""
    probe = probe_path()
    r = Machine("recovery-unmounted").run([probe, "mount", REC_UUID])
    assert r.returncode == 0, r
    assert r.stdout.splitlines() == ["answer=/media/root/Backup", "mounts=/media/root/Backup"]
    assert r.mount_of("/media/root/Backup")[0] == "/dev/sda4"
    assert r.calls[:2] == ["org.freedesktop.UDisks2.Manager.GetBlockDevices "
                           "/org/freedesktop/UDisks2/Manager",
                           "org.freedesktop.DBus.ObjectManager.GetManagedObjects "
                           "/org/freedesktop/UDisks2"]
    r = Machine("lvm-root").run([probe, "list"])
    assert "/org/freedesktop/UDisks2/block_devices/dm_2d0 uuid=3f4e5d6c-7b8a-4c9d-8e0f-" \
           "1a2b3c4d5e6f type=ext4 device=/dev/dm-0 drive= mounts=/" in r.stdout


def test_generated_machine():
    s = generate_scenario(500)
    assert len(s["devices"]) == 500
    n = simmachine.machinelib.normalize(s)
    assert len({d["object_path"] for d in n["devices"]}) == 500
    assert len({d["majmin"] for d in n["devices"]}) == 500
    assert len({d["uuid"] for d in n["devices"] if d["uuid"]}) == len(
        [d for d in n["devices"] if d["uuid"]])
    r = Machine(s).run(["/bin/sh", "-c", "lsblk --bytes --output PATH,SIZE | wc -l"])
    assert r.stdout.strip() == "501"


def test_user_and_timeout():
    r = sh("id -u; echo $HOME", user="nobody")
    assert r.stdout.split() == ["65534", "/nonexistent"]
    r = Machine("plain").run(["sleep", "30"], timeout=2)
    assert r.timed_out and r.returncode == 137


def test_normal_user_gets_a_machine_or_a_clear_message():
    # The user works from a copy it can read: the clone may lie under root's 0700 home.
    top = tempfile.mkdtemp(prefix="orvik-user-")
    try:
        os.chmod(top, 0o755)
        machine = os.path.join(top, "tests", "machine")
        shutil.copytree(HERE, machine, ignore=shutil.ignore_patterns("__pycache__"))
        code = ("import sys; sys.path.insert(0, %r)\n"
                "import simmachine\n"
                "try:\n"
                "    r = simmachine.Machine('plain').run(\n"
                "        ['/bin/sh', '-c', 'id -u; touch /live.flag'], collect=['/live.flag'])\n"
                "    print('RAN', r.returncode, r.stdout.strip(), r.files['/live.flag'])\n"
                "except simmachine.MachineError as e:\n"
                "    print('REFUSED', e)\n" % machine)
        p = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "/usr/bin/python3", "-c", code], capture_output=True, text=True,
                           cwd="/", timeout=120)
    finally:
        shutil.rmtree(top)
    assert p.returncode == 0, p.stderr
    assert p.stdout.startswith("RAN 0 0 b''") or (
        p.stdout.startswith("REFUSED") and "needs root" in p.stdout), p.stdout
    assert not os.path.exists("/live.flag")
