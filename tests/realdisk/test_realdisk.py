"""The tool on real disks, the real udisks2 and udev daemons and the real programs: what the
user and the recovery live system would find after each request."""

import json
import os
import re
import select
import stat
import subprocess
import time

import pytest

import planverify
from conftest import REPORT, built, missing
from realmachine import RESERVE

TASK = "/recovery/backup/recovery.json"
INDEX = "/recovery/backup/savePath.json"
FLAG = "/.flag.d/live.flag"
STAMP = r"\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d"
UDISKS = "org.freedesktop.UDisks2"
DRIVES = "/org/freedesktop/UDisks2/drives/"


def run(m, *args, env=None):
    p = m.chrooted([m.tool] + list(args), check=False,
                   env=dict({"TZ": "UTC", "LC_ALL": "C.UTF-8", "QT_MESSAGE_PATTERN": "%{message}"},
                            **(env or {})))
    p.code = p.returncode
    return p


def read(m, inside):
    path = m.path(inside)
    if not os.path.lexists(path):
        return None
    with open(path) as f:
        return f.read()


def written(m):
    return {p: read(m, p) for p in (TASK, INDEX, FLAG, "/live.flag")}


def assert_nothing_written(m, p):
    assert written(m) == {TASK: None, INDEX: None, FLAG: None, "/live.flag": None}, p.err


def make_dir(m, inside, marker=True):
    os.makedirs(m.path(inside), exist_ok=True)
    if marker:
        m.write(inside + "/.marker", inside)


def df_figures(m, inside):
    """(used, available) bytes as df reports them."""
    out = m.chrooted(["df", "-B1", "--output=used,avail", inside]).out.split("\n")[1]
    used, avail = out.split()
    return int(used), int(avail)


def du_bytes(m, inside):
    return int(m.chrooted(["du", "-sk", inside]).out.split()[0]) * 1024


def assert_plan_resolves_to(m, plan, requested):
    """After the reboot the backup directory is the requested directory plus the new time
    stamp, on the partition that holds it; every UUID is one of the machine's partitions."""
    m.unmount_all_but_root()
    try:
        with planverify.resolve(m, plan) as (uuids, paths):
            assert None not in uuids.values(), uuids
            assert set(uuids) <= {p.uuid for p in m.parts}
            dirs = [r for r in paths if r.command.startswith("create-backup")]
            assert dirs, paths
            for r in dirs:
                assert re.fullmatch(STAMP, os.path.basename(r.arg)), r
                parent = os.path.dirname(r.where)
                with open(os.path.join(parent, ".marker")) as f:
                    assert f.read() == requested, r
                assert not os.path.exists(r.where), r
    finally:
        m.reset()


# ---------------------------------------------------------------------- system backup

FAMILIES = [
    # partition holding the location, requested directory, exit status
    ("data", "/data/backups", 0),
    ("xfs", "/srv/xfs/backups", 0),
    ("btrfs", "/srv/btrfs/backups", 0),
    ("ntfs", "/srv/ntfs/backups", 2),
]


@pytest.mark.parametrize("role,requested,code", FAMILIES, ids=[f[0] for f in FAMILIES])
def test_system_backup_by_family(fresh, role, requested, code):
    m = fresh
    part = m.part(role)
    reason = None if m.can_mount(part) else "the kernel cannot mount " + part.fstype
    if reason:
        pytest.skip(reason)
    make_dir(m, requested)
    p = run(m, "-a", "system_backup", "-p", requested)
    assert p.code == code, p.err
    if code:
        assert_nothing_written(m, p)
        return
    plan = json.loads(read(m, TASK))
    sources = {(t["command"], t["args"][-1] if "image" in t["command"] else ""): t["args"][:2]
               for t in plan["tasks"]}
    uuid = {r: "UUID:" + m.part(r).uuid for r in ("boot", "root", "data", role)}
    assert sources == {("create-backup-image", "boot.osi"): [uuid["boot"], uuid[role]],
                       ("create-backup-image", "system.osi"): [uuid["root"], uuid[role]],
                       ("create-backup-directory", ""): [uuid["data"], uuid[role]]}
    index = json.loads(read(m, INDEX))
    (secs, rel), = index[part.uuid].items()
    assert re.fullmatch(requested[len(part.mount_point):] + "/" + STAMP, rel)
    assert abs(int(secs) - time.time()) < 120
    assert read(m, FLAG) == ""
    assert_plan_resolves_to(m, plan, requested)


class Monitor:
    """dbus-monitor on the machine's bus, for the method calls to udisks2. Ping calls with a
    marker path frame what one action caused."""

    def __init__(self, m):
        self.m = m
        self.p = subprocess.Popen(
            ["dbus-monitor", "--address", "unix:path=" + m.path("/run/dbus/system_bus_socket"),
             "--monitor", "type='method_call',destination='%s'" % UDISKS],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.set_blocking(self.p.stdout.fileno(), False)
        self.buffer = b""

    def ping(self, tag):
        self.m.chrooted(["busctl", "--system", "call", UDISKS, "/" + tag,
                         "org.freedesktop.DBus.Peer", "Ping"], check=False)

    def lines_until(self, tag, repeat, seconds=20):
        """Lines up to the ping of tag; the ping is sent again while unseen when repeat."""
        end = time.monotonic() + seconds
        self.ping(tag)
        lines = []
        while time.monotonic() < end:
            ready, _, _ = select.select([self.p.stdout], [], [], 0.5)
            if ready:
                self.buffer += self.p.stdout.read() or b""
            *done, self.buffer = self.buffer.split(b"\n")
            for line in (d.decode(errors="replace") for d in done):
                if "path=/%s;" % tag in line and "member=Ping" in line:
                    return lines
                lines.append(line)
            if repeat and not ready:
                self.ping(tag)
        raise AssertionError("dbus-monitor never saw the %s marker" % tag)

    def calls_of(self, action):
        self.lines_until("start", repeat=True)
        result = action()
        lines = self.lines_until("end", repeat=False)
        calls = [re.search(r"interface=(\S+); member=(\S+)", line) for line in lines]
        return result, [c.group(1).rsplit(".", 1)[-1] + "." + c.group(2) for c in calls if c]

    def close(self):
        self.p.terminate()
        self.p.wait()


def monitor_udisks(m, action):
    """The methods called on the real udisks2 daemon while action runs."""
    mon = Monitor(m)
    try:
        return mon.calls_of(action)
    finally:
        mon.close()


def test_udisks_calls_of_a_system_backup(fresh):
    m = fresh
    make_dir(m, "/data/backups")
    p, calls = monitor_udisks(m, lambda: run(m, "-a", "system_backup", "-p", "/data/backups"))
    assert p.code == 0, p.err
    counts = {c: calls.count(c) for c in dict.fromkeys(calls)}
    REPORT.append("udisks2 calls of a system backup: %d %s" % (len(calls), counts))
    assert counts.get("Manager.GetBlockDevices", 0) >= 1
    assert "Filesystem.Mount" not in counts


# ---------------------------------------------------------------------- recovery partition

RECOVERY_MOUNTS = [
    # fstab lists the recovery partition, where udisks2 mounts it, options it must carry
    (True, "/recovery", "rw"),
    (False, "/media/root/Backup", "nosuid"),
]


@pytest.mark.parametrize("listed,target,option", RECOVERY_MOUNTS, ids=["fstab", "media"])
def test_recovery_partition_mounted_by_udisks(fresh, listed, target, option):
    m = fresh
    rec = m.part("recovery")
    m.unmount_part(rec)
    if not listed:
        m.write("/etc/fstab", "".join(l + "\n" for l in m.fstab().splitlines()
                                      if rec.uuid not in l))
    make_dir(m, "/data/backups")
    p = run(m, "-a", "system_backup", "-p", "/data/backups")
    assert p.code == 0, p.err
    mounts = m.mounted_at(target)
    assert [x[0] for x in mounts] == [rec.node], m.mounts()
    assert option in mounts[0][3].split(",")
    assert json.loads(read(m, target + "/backup/recovery.json"))["type"] == "SystemBackup"
    assert read(m, FLAG) == ""


# ---------------------------------------------------------------------- refusals

def test_read_only_location(fresh):
    m = fresh
    make_dir(m, "/srv/spare/backups")
    subprocess.run(["mount", "-o", "remount,ro", m.path("/srv/spare")], check=True)
    p = run(m, "-a", "system_backup", "-p", "/srv/spare/backups")
    assert p.code == 6, p.err
    assert_nothing_written(m, p)


def space_numbers(err):
    found = re.search(r"A minimum of (\d+) bytes is required for backup\. "
                      r"Free space available: (\d+)\.", err)
    return int(found.group(1)), int(found.group(2))


def full_location_run(m):
    """A system backup to a location filled up with fallocate, after 300 MiB were written to
    the root file system since it was mounted: the space refusal and the df/du figures
    (used boot + used root + /opt + /var + reserve) read right after it."""
    make_dir(m, "/srv/spare/backups")
    m.chrooted(["dd", "if=/dev/zero", "of=/root/written-since-mount", "bs=1M", "count=300",
                "conv=fsync", "status=none"])
    _, avail = df_figures(m, "/srv/spare")
    m.chrooted(["fallocate", "-l", str(avail - 512 * 1024 * 1024), "/srv/spare/fill"])
    try:
        p = run(m, "-a", "system_backup", "-p", "/srv/spare/backups")
        assert p.code == 1, p.err
        assert_nothing_written(m, p)
        floor = df_figures(m, "/boot")[0] + df_figures(m, "/")[0] + du_bytes(m, "/opt") + \
            du_bytes(m, "/var") + RESERVE
        return space_numbers(p.err), df_figures(m, "/srv/spare")[1], floor
    finally:
        os.remove(m.path("/root/written-since-mount"))
        os.remove(m.path("/srv/spare/fill"))


def test_full_location_free_space(fresh):
    (_, available), df_available, _ = full_location_run(fresh)
    assert available == df_available


def test_full_location_required_space(fresh):
    """What is needed is never below what df and du count for what the live system copies."""
    (required, _), _, floor = full_location_run(fresh)
    assert required >= floor, (required, floor)


# ---------------------------------------------------------------------- full backup

def used_bytes(m, part):
    """What the file-system tool says is used: for ext4 the superblock's counters, or df's
    figure when the mounted file system counts more (the counters stay as they were at mount);
    for FAT the data area's start and the clusters in use."""
    if part.fstype == "vfat":
        out = m.chrooted(["fsck.fat", "-n", "-v", part.node], check=False).out
        number = lambda pattern: int(re.search(pattern, out).group(1))  # noqa: E731
        return number(r"Data area starts at byte (\d+)") + \
            number(r"(\d+) bytes per cluster") * number(r" (\d+)/\d+ clusters")
    out = m.chrooted(["dumpe2fs", "-h", part.node]).out
    f = dict((k, int(v)) for k, v in re.findall(r"^(Block \w+|Free blocks):\s+(\d+)$", out, re.M))
    mounts = m.mount_points_of(part)
    df_used = df_figures(m, mounts[0])[0] if mounts else 0
    return max((f["Block count"] - f["Free blocks"]) * f["Block size"], df_used)


FULL_BACKUP = [
    # the data partition, the partition mounted under /media to receive the backup, whether
    # the data partition is imaged too
    ("data", "spare", False),
    ("spare", "xfs", True),
    ("data", "data", False),
]


@pytest.mark.parametrize("data,target,data_image", FULL_BACKUP,
                         ids=["second-disk", "data-on-own-disk", "on-the-system-disk"])
def test_full_backup_drives(fresh, data, target, data_image):
    """The root partition is imaged, the data partition too when its drive is another; the
    estimate counts every partition of those drives, and nothing else."""
    m = fresh
    place = m.part(target)
    m.write("/recovery/backup/_ovd_data.info", m.part(data).uuid + "\n")
    m.mount_part(place, "/media/" + target)
    requested = "/media/%s/backups" % target
    make_dir(m, requested)
    _, avail = df_figures(m, requested)
    m.chrooted(["fallocate", "-l", str(avail - 512 * 1024 * 1024), requested + "/fill"])
    try:
        p = run(m, "-a", "manual_backup", "-p", requested)
        assert p.code == 1, p.err
        assert_nothing_written(m, p)
        drives = {m.part("root").disk, m.part(data).disk}
        counted = sum(used_bytes(m, q) for q in m.parts if q.disk in drives)
        estimate = space_numbers(p.err)[0] - RESERVE
    finally:
        os.remove(m.path(requested + "/fill"))
    p = run(m, "-a", "manual_backup", "-p", requested)
    assert p.code == 0, p.err
    plan = json.loads(read(m, TASK))
    REPORT.append("full backup to %s, data on %s: exit 0, %s; estimate %d, counted %d"
                  % (target, data, [t["args"][3] for t in plan["tasks"]], estimate, counted))
    assert estimate == counted
    images = {"system.osi": "root", "data.osi": data} if data_image else {"system.osi": "root"}
    assert {t["args"][3]: t["args"][:2] for t in plan["tasks"]} == \
        {name: ["UUID:" + m.part(r).uuid, "UUID:" + place.uuid] for name, r in images.items()}
    assert_plan_resolves_to(m, plan, requested)


# ---------------------------------------------------------------------- replacing a backup

OLD = "2020-01-01-00-00-00"
REPLACE = [
    # what the replaced name is, whether the index records it, whether it is deleted
    ("dir", True, True),
    ("dir", False, False),
    ("symlink", True, False),
    ("bind", True, False),  # a directory with a bind of another one of its partition inside
    ("mount", True, False),  # a tmpfs mounted on /data just before the deletion
]


@pytest.mark.parametrize("kind,recorded,deleted", REPLACE,
                         ids=["recorded", "unrecorded", "symlink", "bind inside", "mount on /data"])
def test_replace_target(fresh, request, kind, recorded, deleted):
    m = fresh
    data = m.part("data")
    parent = "/data/replace-%s-%s" % (kind, recorded)
    make_dir(m, parent)
    make_dir(m, "/data/keep")
    m.write("/data/keep/precious", "keep")
    target = parent + "/" + OLD
    if kind == "symlink":
        os.symlink("/data/keep", m.path(target))
    else:
        make_dir(m, target + "/sub")
        m.write(target + "/system.osi", "old image")
    if kind == "bind":
        subprocess.run(["mount", "--bind", m.path("/data/keep"), m.path(target + "/sub")],
                       check=True)
    if recorded:
        m.write(INDEX, json.dumps({data.uuid: {"1577836800": parent[5:] + "/" + OLD}}))
    env = {}
    if kind == "mount":
        env = {"LD_PRELOAD": request.getfixturevalue("fault_shim")(m),
               "ORVIK_FAIL_MOUNTINFO": FLAG, "ORVIK_MOUNTINFO_MOUNT": "/data"}
    try:
        p = run(m, "-a", "system_backup", "-p", target + "#", env=env)
    finally:
        if kind == "bind":
            m.umount(target + "/sub")
        if ("above", "/data") in [x[:2] for x in m.mounted_at("/data")]:
            m.umount("/data")
    assert p.code == 0, p.err
    assert os.path.lexists(m.path(target)) != deleted
    assert read(m, "/data/keep/precious") == "keep"
    entries = json.loads(read(m, INDEX))[data.uuid]
    assert ("1577836800" in entries) == (recorded and not deleted)
    assert kind != "mount" or "a file system is mounted on /data\n" in p.err, p.err


# ---------------------------------------------------------------------- cancel and restore

@pytest.mark.parametrize("action", ["cancel_backup", "cancel_restore"])
def test_cancel(fresh, action):
    m = fresh
    make_dir(m, "/data/backups")
    assert run(m, "-a", "system_backup", "-p", "/data/backups").code == 0
    m.write("/live.flag", "")
    p = run(m, "-a", action)
    assert p.code == 0, p.err
    assert read(m, TASK) is None and read(m, FLAG) is None and read(m, "/live.flag") is None


def test_system_restore_from_the_initial_image(fresh):
    m = fresh
    p = run(m, "-a", "system_restore")
    assert p.code == 0, p.err
    plan = json.loads(read(m, TASK))
    m.unmount_all_but_root()
    try:
        with planverify.resolve(m, plan) as (uuids, paths):
            assert uuids == {m.part(r).uuid: m.part(r).node
                             for r in ("recovery", "boot", "root")}
            images = {r.arg: r for r in paths}
            assert set(images) == {"backup/system.osi", "backup/boot.osi"} or \
                set(images) == {"backup/system.osi"}
            with open(images["backup/system.osi"].where) as f:
                assert f.read().startswith("ORVIK-OSI")
            assert images["backup/system.osi"].uuid == m.part("recovery").uuid
    finally:
        m.reset()


def test_system_restore_with_the_recovery_partition_elsewhere(fresh):
    """The initial image is looked for where the recovery partition is mounted."""
    m = fresh
    rec = m.part("recovery")
    m.unmount_part(rec)
    m.write("/etc/fstab", "".join(l + "\n" for l in m.fstab().splitlines()
                                  if rec.uuid not in l))
    os.makedirs(m.path("/recovery/backup"), exist_ok=True)  # an empty directory on "/"
    p = run(m, "-a", "system_restore")
    assert p.code == 0, p.err
    assert json.loads(read(m, "/media/root/Backup/backup/recovery.json"))["type"] == \
        "SystemRestore"
    os.rmdir(m.path("/recovery/backup"))


MANUAL_RESTORE = [
    # image content, exit status
    ("ORVIK-OSI backup image\n", 0),
    ("broken", 5),
]


@pytest.mark.parametrize("image,code", MANUAL_RESTORE, ids=["valid", "damaged"])
def test_manual_restore(fresh, image, code):
    m = fresh
    backup = "/data/backups/2021-02-03-04-05-06"
    make_dir(m, backup)
    m.write(backup + "/system.osi", image)
    p = run(m, "-a", "manual_restore", "-p", backup)
    assert p.code == code, p.err
    if code:
        assert_nothing_written(m, p)
        return
    plan = json.loads(read(m, TASK))
    m.unmount_all_but_root()
    try:
        with planverify.resolve(m, plan) as (uuids, paths):
            assert uuids == {m.part("data").uuid: m.part("data").node}
            (r,) = paths
            with open(os.path.join(r.where, "system.osi")) as f:
                assert f.read() == image
    finally:
        m.reset()


# ---------------------------------------------------------------------- awkward names

# (requested, None) or (requested, ("link" or "bind", the directory it leads to))
AWKWARD = [(p, None) for p in ["/data/with blank", "/data/quote's \"here\"", "/data/new\nline",
                               "/home/user/b k"]] + [
    ("/srv/link", ("link", "/data/linked")), ("/srv/bk", ("bind", "/data/bound")),
    ("/srv/alias/aliased", ("alias", "/data/aliased"))]


@pytest.mark.parametrize("requested,via", AWKWARD,
                         ids=["blank", "quotes", "newline", "home", "link", "bind", "alias"])
def test_awkward_paths(fresh, requested, via):
    m = fresh
    kind, target = via or (None, requested)
    make_dir(m, target, marker=False)
    m.write(target + "/.marker", requested)
    if kind == "link":
        os.symlink(target, m.path(requested))
    elif kind == "bind":
        os.makedirs(m.path(requested), exist_ok=True)
        subprocess.run(["mount", "--bind", m.path(target), m.path(requested)], check=True)
    elif kind == "alias":  # /data mounted again through a device node of another name
        node = os.makedev(*m.part("data").majmin)
        os.mknod(m.path("/srv/data-node"), 0o600 | stat.S_IFBLK, node)
        os.makedirs(m.path("/srv/alias"), exist_ok=True)
        subprocess.run(["mount", m.path("/srv/data-node"), m.path("/srv/alias")], check=True)
    try:
        p = run(m, "-a", "system_backup", "-p", requested)
    finally:
        if kind == "alias":  # the verifier mounts each partition by itself
            subprocess.run(["umount", m.path("/srv/alias")], check=True)
        if kind in ("link", "alias"):
            os.remove(m.path("/srv/data-node" if kind == "alias" else requested))
    assert p.code == 0, p.err
    assert_plan_resolves_to(m, json.loads(read(m, TASK)), requested)


def test_data_partition_also_bound_elsewhere(fresh):
    """A bind of a data subdirectory that sorts before /data must not be taken for the data
    partition's mount point: /data/opt stays a directory the backup may not go to."""
    m = fresh
    make_dir(m, "/data/srv")
    os.makedirs(m.path("/box"), exist_ok=True)
    subprocess.run(["mount", "--bind", m.path("/data/srv"), m.path("/box")], check=True)
    make_dir(m, "/data/opt/backups")
    p = run(m, "-a", "system_backup", "-p", "/data/opt/backups")
    assert p.code == 7, p.err
    assert_nothing_written(m, p)


# ---------------------------------------------------------------------- the disk layer

def test_disk_layer_on_the_real_daemon(fresh):
    """Order, values without their NUL bytes, and a real Mount and Unmount."""
    m = fresh
    probe = built("tests/unit/udisks/udisks-probe")
    if not probe:
        pytest.skip("udisks-probe is not built")
    order = re.findall(r'"([^"]+)"', m.chrooted(
        ["busctl", "--system", "call", UDISKS, "/org/freedesktop/UDisks2/Manager",
         UDISKS + ".Manager", "GetBlockDevices", "a{sv}", "0"]).out)
    listed = m.chrooted([probe, "list"]).out.splitlines()
    assert [line.split()[0] for line in listed[:-1]] == order
    by_kname = {p.kname: p for p in m.parts}
    drives = set()
    for line in listed[:-1]:
        fields = dict(f.split("=", 1) for f in line.split()[1:])
        kname = line.split()[0].rsplit("/", 1)[-1]
        assert fields["device"] == "/dev/" + kname
        # A disk and each of its partitions: the drive named by the disk's own serial.
        assert fields["drive"] == DRIVES + "Orvik_Orvik_Test_Disk_ORVIK_TEST_" + \
            re.sub(r"(?<=\d)p\d+$", "", kname)
        drives.add(fields["drive"])
        if kname in by_kname:
            part = by_kname[kname]
            assert (fields["uuid"], fields["type"]) == (part.uuid, part.fstype)
            assert fields["mounts"] == ",".join(m.mount_points_of(part))
    REPORT.append("drives: " + " ".join(sorted(drives)))
    spare = m.part("spare")
    m.unmount_part(spare)
    p = m.chrooted([probe, "mount", spare.uuid])
    assert p.out.splitlines() == ["answer=/media/root/Spare", "mounts=/media/root/Spare"]
    assert m.mount_points_of(spare) == ["/media/root/Spare"]
    p = m.chrooted([probe, "unmount", spare.uuid])
    assert p.out.splitlines() == ["mounts="] and m.mount_points_of(spare) == []


# ---------------------------------------------------------------------- faults

def test_disk_service_stopped(fresh):
    m = fresh
    make_dir(m, "/data/backups")
    m.stop_process("udisksd")
    p = run(m, "-a", "system_backup", "-p", "/data/backups")
    assert p.code == 255, p.err
    assert UDISKS in p.err
    assert_nothing_written(m, p)


def test_udev_stopped_recovery_unmounted(fresh):
    """Without udev the mount cannot be confirmed: either the plan lands whole on the
    recovery partition, or the run is refused with nothing written."""
    m = fresh
    m.unmount_part(m.part("recovery"))
    m.stop_process("udevd")
    make_dir(m, "/data/backups")
    p = run(m, "-a", "system_backup", "-p", "/data/backups")
    REPORT.append("udevd stopped, recovery unmounted: exit %d" % p.code)
    if p.code:
        assert p.err.strip()
        assert read(m, FLAG) is None
    else:
        assert json.loads(read(m, "/recovery/backup/recovery.json"))


def test_partition_gone_before_the_mount(fresh):
    """udevd stopped, so udisks2 still lists the recovery partition after it is removed: the
    mount fails, and the run is refused with nothing written anywhere."""
    m = fresh
    rec = m.part("recovery")
    disk = m.loops[rec.disk]
    number = rec.kname.rsplit("p", 1)[1]
    m.unmount_part(rec)
    m.stop_process("udevd")
    # The daemons may still be probing the partition after its unmount (busy for a moment).
    end = time.monotonic() + 10
    while os.path.exists("/sys/class/block/" + rec.kname) and time.monotonic() < end:
        subprocess.run(["partx", "-d", "--nr", number, disk], capture_output=True)
        time.sleep(0.2)
    try:
        assert not os.path.exists("/sys/class/block/" + rec.kname)
        make_dir(m, "/data/backups")
        p = run(m, "-a", "system_backup", "-p", "/data/backups")
        assert p.code == 255, p.err
        assert "recovery" in p.err.lower()
        assert_nothing_written(m, p)
        assert not os.path.exists(m.path("/media/root/Backup/backup/recovery.json"))
    finally:
        if not os.path.exists("/sys/class/block/" + rec.kname):
            subprocess.run(["partx", "-a", "--nr", number, disk], check=True)
        m.remake_node(rec)
        m.reset()


# ---------------------------------------------------------------------- not on this machine

def test_vfat_location(fresh):
    m = fresh
    reason = missing("fs:vfat")
    if reason:
        pytest.skip("a backup location on a vfat partition: " + reason)
    m.mount_part(m.part("efi"), "/srv/efi")
    make_dir(m, "/srv/efi/backups")
    p = run(m, "-a", "system_backup", "-p", "/srv/efi/backups")
    assert p.code == 2, p.err
    assert_nothing_written(m, p)


def test_encrypted_or_lvm_system():
    reason = missing("device-mapper")
    pytest.skip("LVM and LUKS system partitions: " + (reason or "not built on this tier"))













# ---------------------------------------------------------------------- the background worker

# Jobs 2 and 4 in one process, 4 started gap ms after 2 (3000: once 2 is done), on the installed
# machine or a live-style one: a copy of the installed system on the spare partition, unmounted.
WORKER = [(1, gap) for gap in [*range(0, 320, 20), 3000]] + [(0, 0), (0, 3000)]


@pytest.mark.parametrize("live,gap", WORKER)
def test_worker_jobs(fresh, live, gap):
    m, root, rec = fresh, fresh.part("spare" if live else "root"), fresh.part("recovery")
    backups = [(m.part("xfs"), "1700100000", "/b", "2023/11/16"),
               (m.part("data"), "1700000000", "/backups/a", "2023/11/14")]
    names = {p.role: "/dev/sd%s%s" % ("bcd"[list(m.loops).index(p.disk)], p.kname.split("p")[-1])
             for p in m.parts}  # nodes of disk names, probed by blkid: the list leaves loops out
    installed = m.fstab().replace(m.part("root").uuid, root.uuid)
    files = {TASK: '{"type": 2}', INDEX: json.dumps({p.uuid: {t: d} for p, t, d, _ in backups}),
             "/etc/fstab": "overlay / overlay rw 0 0\n" if live else installed,
             "/srv/spare/etc/fstab": installed,
             **{p.mount_point + d + f: "" for p, _, d, _ in backups
                for f in ("/a.osi", "/a.tar", "/b.tar")}}
    try:
        for inside, text in files.items():
            m.write(inside, text)
        m.chrooted(["sh", "-c", "cp --parents etc/orvik/* etc/os-* usr/lib/orvik/* srv/spare"])
        for p in m.parts:
            os.mknod(m.path(names[p.role]), 0o660 | stat.S_IFBLK, os.makedev(*p.majmin))
            m.chrooted(["blkid", names[p.role]])
            if live and p.role in ("spare", "recovery", "xfs"):
                m.unmount_part(p)
        before = set(m.mounts())
        out = json.loads(m.chrooted([built("tests/unit/recenv/recenv-probe"), "job", "2", "with=4",
                                     "gap=%d" % gap, "root=" + root.uuid], env={"TZ": "UTC0"}).out)
        got = {s["name"][:4]: json.loads(s["arg"]) for s in out["signals"]}
        assert {k: json.loads(v or "0") if "Info" in k else v for k, v in got["init"].items()} == {
            "recoveryUUID": rec.uuid, "osType": "Professional", "osVersion": 1070,
            "isExitsInitBackup": True, "isDeviceOS": False, "isLvm": False, "isEncrypted": False,
            "isFileManagerEncrypted": False, "recoveryInfo": {"type": 2}, "backupInfo": {
                "BackupFileInfoList": [{"backupUUID": p.uuid, "backupPath": d, "createTime": t,
                                        "backupTime": day} for p, t, d, day in backups]}}
        fstab = dict(line[5:].split()[:2] for line in installed.splitlines() if line[:5] == "UUID=")
        assert sorted(tuple(i.values()) for i in got["getP"]["PartitionCheckItemList"]) == [
            (names[p.role], int(p.uuid in fstab), p.fstype, p.label, fstab.get(p.uuid, ""), 0,
             p.uuid) for p in m.parts]  # the keys in alphabetical order
        assert (before - set(m.mounts()), set(m.mounts()) - before) == (set(), set())
        assert m.chrooted(["touch", "/.written"], check=False).returncode == 0
    finally:
        m.chrooted(["sh", "-c", "mount -o remount,rw /; rm -f /run/blkid/* /.written /dev/sd*"])
        m.reset()
