"""Space estimates, read back from the numbers of the SpaceError message."""

import pytest

from frontend import (RESERVE, TASK_FILE, add_device, patch, recovery_files, run, scenario,
                      space_numbers)

GiB = 1 << 30
MiB = 1 << 20
# Used bytes of the plain machine's partitions, and the whole sizes of boot and root.
BOOT, ROOT, DATA, RECOVERY = 268435456, 21474836480, 53687091200, 8589934592
BOOT_SIZE, ROOT_SIZE = 1610612736, 107374182400
STATVFS = "stat -f -c '%S %b %f' "  # fragment size, blocks, free blocks


def statvfs_used(before_result):
    size, blocks, free = map(int, before_result["stdout"].split())
    return size * (blocks - free)
SWAP = 8 * GiB


def system_machine(avail, du=None, **top):
    s = scenario("plain", dirs=["/data/backups"], **top)
    if du is not None:
        s["du"] = du
    return patch(s, "sda3", avail=avail)


def manual_machine(avail, arch="amd64", swap=True):
    s = scenario("plain", arch=arch)
    if swap:
        add_device(s, {"name": "sda5", "type": "part", "pkname": "sda", "drive": "disk1",
                       "fstype": "swap", "uuid": "5a0a5a0a-0000-4000-8000-000000000005",
                       "size": SWAP}, after="sda4")
    return patch(s, "sdb1", avail=avail)


# Boot and root each hold 2^63 - 2^52 bytes by dumpe2fs, /opt 2^53 + 1 MiB: a sum that
# wraps round to 1 MiB.
HUGE_EXT = "Block count: %d\nFree blocks: 0\nBlock size: 4096\n" % ((1 << 51) - (1 << 40))

# (id, du of /opt and /var in KiB, programs, estimate or None for "cannot be estimated"[, env])
SYSTEM = [
    ("plain", {"/opt": 2097152, "/var": 4194304}, {}, BOOT + ROOT + 6 * GiB),
    ("the caller's block size variables", {"/opt": 2097152, "/var": 4194304}, {},
     BOOT + ROOT + 6 * GiB, {"BLOCK_SIZE": "1M", "DU_BLOCK_SIZE": "1M", "POSIXLY_CORRECT": "1"}),
    ("sum beyond 64 bits", {"/opt": (1 << 43) + 1024, "/var": 0},
     {"dumpe2fs": {"stdout": HUGE_EXT}}, None),
    ("du beyond 32 bits", {"/opt": 5 << 30, "/var": 0}, {}, BOOT + ROOT + (5 << 40)),
    ("nothing in /opt and /var", {"/opt": 0, "/var": 0}, {}, BOOT + ROOT),
    # Unreadable usage counts the whole partition: too high, never too low.
    ("usage tool fails", {"/opt": 1024, "/var": 0}, {"dumpe2fs": {"exit": 1}},
     BOOT_SIZE + ROOT_SIZE + MiB),
    ("usage tool killed", {"/opt": 1024, "/var": 0}, {"dumpe2fs": {"signal": 9}},
     BOOT_SIZE + ROOT_SIZE + MiB),
    ("usage tool prints no figures", {"/opt": 1024, "/var": 0},
     {"dumpe2fs": {"stdout": "dumpe2fs 1.47.0\n"}}, BOOT_SIZE + ROOT_SIZE + MiB),
    ("du exits 1 after its total", {}, {"du": [
        {"when": ["/opt"], "exit": 1, "stdout": "1024\t/opt\n", "stderr": "du: cannot read\n"},
        {"when": ["/var"], "exit": 1, "stdout": "2048\t/var\n"}]}, BOOT + ROOT + 3 * MiB),
]


@pytest.mark.parametrize("case", SYSTEM, ids=[c[0] for c in SYSTEM])
def test_system_backup_estimate(case):
    _, du, programs, estimate, *env = case
    o = run(system_machine(GiB, du, programs=programs), "-a", "system_backup", "-p",
            "/data/backups", env=env[0] if env else None)
    if estimate is None:
        assert o.code == 255 and "The size estimate overflows" in o.err, o
        return
    assert o.code == 1, o
    assert space_numbers(o.err) == (GiB, estimate + RESERVE)
    assert o.files[TASK_FILE] is None
    if "dumpe2fs" in programs:
        for node, size in (("/dev/sda1", BOOT_SIZE), ("/dev/sda2", ROOT_SIZE)):
            assert ('The usage of "%s" ( "ext4" ) cannot be read: its usage tool failed or gave '
                    'no usable figures ; counting its whole size %d' % (node, size)) in o.err


# (id, du rule): du gives no total for /opt and /var, which then count with the used bytes of
# the file system holding them (the data partition, 64 MiB written).
DU_WITHOUT_TOTAL = [
    ("du fails", {"exit": 1, "stderr": "du: cannot access\n"}),
    ("du killed", {"signal": 9}),
    ("du prints garbage", {"stdout": "x\t/opt\n12\t/opt/\n"}),
]


@pytest.mark.parametrize("case", DU_WITHOUT_TOTAL, ids=[c[0] for c in DU_WITHOUT_TOTAL])
def test_du_without_total_counts_the_file_system(case):
    _, rule = case
    o = run(system_machine(GiB, {"/opt": 1, "/var": 1}, programs={"du": rule}),
            "-a", "system_backup", "-p", "/data/backups",
            before=["head -c 64M /dev/zero > /data/var/fill", STATVFS + "/var"])
    assert o.code == 1, o
    used = statvfs_used(o.r.before[-1])
    assert used >= 64 * MiB
    # the 64 MiB came out of the data partition's free space too
    assert space_numbers(o.err)[1] == BOOT + ROOT + 2 * used + RESERVE
    for d in ("/opt", "/var"):
        assert 'du gave no total for "%s"' % d in o.err


@pytest.mark.parametrize("total", [None, 16], ids=["within the total", "beyond the total"])
def test_mounted_ext_usage_never_below_the_kernel_figure(total):
    # dumpe2fs says the boot partition holds 4 KiB (counters as of mount time), in all of
    # total blocks if given; 64 MiB were written since, and the kernel says so.
    s = patch(system_machine(GiB, {"/opt": 0, "/var": 0}), "sda1", used=4096)
    if total:
        s["programs"] = {"dumpe2fs": {"when": ["/dev/sda1"], "stdout": "Block count: %d\n"
                                      "Free blocks: %d\nBlock size: 4096\n" % (total, total - 1)}}
    o = run(s, "-a", "system_backup", "-p", "/data/backups",
            before=["head -c 64M /dev/zero > /boot/fill", STATVFS + "/boot", STATVFS + "/"])
    assert o.code == 1, o
    boot, root = statvfs_used(o.r.before[1]), statvfs_used(o.r.before[2])
    assert boot >= 64 * MiB and root < ROOT
    assert space_numbers(o.err) == (GiB, boot + ROOT + RESERVE)


@pytest.mark.parametrize("delta,status", [(0, 0), (-4096, 1), (4096, 0)],
                         ids=["required equals available", "one page short", "one page more"])
def test_required_equal_to_available_passes(delta, status):
    required = BOOT + ROOT + 6 * GiB + RESERVE
    o = run(system_machine(required + delta), "-a", "system_backup", "-p", "/data/backups")
    assert o.code == status, o
    if status:
        assert space_numbers(o.err) == (required + delta, required)
    else:
        assert o.json(TASK_FILE)["type"] == "SystemBackup"


# (id, architecture, swap counted)
MANUAL = [
    ("amd64 leaves swap out", "amd64", False),
    ("AMD64 in capitals too", "AMD64", False),
    ("arm64 counts swap", "arm64", True),
    ("loongarch64 counts swap", "loongarch64", True),
]


@pytest.mark.parametrize("case", MANUAL, ids=[c[0] for c in MANUAL])
def test_manual_backup_estimate(case):
    _, arch, counted = case
    o = run(manual_machine(GiB, arch), "-a", "manual_backup", "-p", "/media/user/usb")
    assert o.code == 1, o
    estimate = BOOT + ROOT + DATA + RECOVERY + (SWAP if counted else 0)
    assert space_numbers(o.err) == (GiB, estimate + RESERVE)
    assert ('ManualBackup, partitionPath =  "/dev/sda5" , size:  %d' % SWAP in o.err) == counted


def test_unknown_architecture_leaves_swap_out():
    s = manual_machine(GiB)
    s["programs"] = {"dpkg": {"exit": 1}}
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb")
    assert space_numbers(o.err) == (GiB, BOOT + ROOT + DATA + RECOVERY + RESERVE)


def test_manual_backup_counts_the_second_drive():
    s = patch(scenario("data-second-drive"), "sdc1", avail=GiB)
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb")
    assert o.code == 1, o
    # root drive: boot, root, recovery; data drive: the data partition
    assert space_numbers(o.err) == (GiB, BOOT + ROOT + RECOVERY + 100 * GiB + RESERVE)


def spare_drive_first(s):
    """A disk without UUID on a drive of its own, listed first: an empty data UUID must not
    pick its drive."""
    s["devices"][:0] = [
        {"name": "sdx", "type": "disk", "drive": "spare", "size": 100 * GiB},
        {"name": "sdx1", "type": "part", "pkname": "sdx", "drive": "spare", "fstype": "ext4",
         "uuid": "5a0a5a0a-0000-4000-8000-000000000001", "size": 10 * GiB,
         "used": 3 * GiB},
    ]
    return recovery_files(s, _ovd_data__info=None)


def test_without_data_marker_only_the_root_drive_counts():
    s = spare_drive_first(patch(scenario("data-second-drive"), "sdc1", avail=GiB))
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb")
    assert o.code == 1, o
    assert space_numbers(o.err) == (GiB, BOOT + ROOT + RECOVERY + RESERVE)


def test_without_data_marker_no_data_image():
    s = spare_drive_first(patch(scenario("data-second-drive"), "sdc1", size=400 * GiB))
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb")
    assert o.code == 0, o
    tasks = o.json(TASK_FILE)["tasks"]
    assert [t["args"][3] for t in tasks] == ["system.osi"]


# (id, extra partition on the root drive, programs, added to the estimate or the message of -1)
UNREADABLE = [
    ("no usage reader for f2fs", "f2fs", {}, 4 * GiB),
    ("usage tool missing", "xfs", {"xfs_db": {"missing": True}}, 4 * GiB),
    ("size unknown as well", "f2fs", {"lsblk": {"when": ["PATH,SIZE"], "exit": 1}},
     'Neither the usage nor the size of "/dev/sda5" can be read'),
    ("sum beyond 64 bits", "ext4", {"dumpe2fs": {"stdout": HUGE_EXT}},
     "The size estimate overflows when adding"),
]


@pytest.mark.parametrize("case", UNREADABLE, ids=[c[0] for c in UNREADABLE])
def test_manual_backup_counts_unreadable_partitions_whole(case):
    _, fstype, programs, added = case
    s = add_device(manual_machine(GiB, swap=False), {
        "name": "sda5", "type": "part", "pkname": "sda", "drive": "disk1", "fstype": fstype,
        "uuid": "5a0a5a0a-0000-4000-8000-000000000006", "size": 4 * GiB, "used": GiB},
        after="sda4")
    s["programs"] = programs
    o = run(s, "-a", "manual_backup", "-p", "/media/user/usb")
    if isinstance(added, str):
        assert o.code == 255 and added in o.err, o
        assert o.files[TASK_FILE] is None
        return
    assert o.code == 1, o
    assert space_numbers(o.err) == (GiB, BOOT + ROOT + DATA + RECOVERY + added + RESERVE)
    assert 'The usage of "/dev/sda5" ( "%s" ) cannot be read' % fstype in o.err
