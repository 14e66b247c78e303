"""The recovery-environment utilities and the background worker, end to end in the
simulated machine: the fixed paths (/proc/cmdline, /dev/disk/by-uuid, /dev/mapper,
/home/orvik, /usr/bin/orvik-repair-pkexec) and the disk service are the sandbox's own.
Each case runs the probe binary (tests/unit/recenv/recenv_probe.cpp) and reads its JSON."""

import copy
import glob
import json
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "machine"))

import simmachine  # noqa: E402

BOOT = "4f1c2a5e-0b7d-4e51-9a43-1d2e3f4a5b61"
ROOT = "9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42"
DATA = "2e7a9c41-8b3d-4f6a-a1e5-c4d3b2a19f83"
REC = "7b5c1d93-2f4e-4a8b-9c6d-e1f2a3b4c5d6"
USB = "5a6b7c8d-9e0f-4a1b-8c2d-3e4f5a6b7c8d"
LVM_ROOT = "3f4e5d6c-7b8a-4c9d-8e0f-1a2b3c4d5e6f"
MARKER = "/home/orvik/orvik-recovery-gui.startedFlag"
LAUNCHER = "/usr/bin/orvik-repair-pkexec"


def probe_path():
    env = os.environ.get("ORVIK_RECENV_PROBE")
    if env:
        return os.path.abspath(env)
    found = [p for p in glob.glob(os.path.join(REPO, "build*", "tests", "unit", "recenv",
                                               "recenv-probe")) if os.access(p, os.X_OK)]
    if not found:
        pytest.fail("recenv-probe is not built (build the target recenv-probe under build*/)")
    return max(found, key=os.path.getmtime)


def scenario(name="plain", **top):
    s = copy.deepcopy(simmachine.load_scenario(name))
    s.update(top)
    return s


def device(s, name):
    return next(d for d in s["devices"] if d["name"] == name)


def run(s, *args, before=(), collect=(), shell=None, env=None):
    """Runs the probe with args (or the shell line, where PROBE names it) and returns the
    result and the last JSON line it printed."""
    probe = probe_path()
    if shell is not None:
        argv = ["/bin/sh", "-c", shell.replace("PROBE", probe)]
    else:
        argv = [probe] + list(args)
    before = [b.replace("PROBE", probe) for b in before]
    r = simmachine.Machine(s).run(argv, before=before, collect=collect, env=env, timeout=90)
    lines = [l for l in r.stdout.splitlines() if l.startswith("{")]
    assert lines, r
    return r, json.loads(lines[-1])


def outputs(r):
    return [json.loads(l) for l in r.stdout.splitlines() if l.startswith("{")]


# ------------------------------------------------------------------ kernel command line

CMDLINES = [
    # name, scenario, command line (None: the scenario's), expected fields, mode
    ("installed", "plain", None, {"rootUuid": ROOT, "liveRootUuid": ROOT}, 0),
    ("mapper root through by-uuid", "lvm-root", None,
     {"rootUuid": LVM_ROOT, "liveRootUuid": LVM_ROOT}, 0),
    ("plain partition path", "plain", "BOOT_IMAGE=/boot/vmlinuz root=/dev/sda2 ro quiet\n",
     {"rootUuid": "", "liveRootUuid": ""}, -1),
    ("another system's root", "plain", "BOOT_IMAGE=/boot/vmlinuz root=UUID=%s ro\n" % DATA,
     {"rootUuid": DATA}, 1),
    ("overlay live", "plain",
     "BOOT_IMAGE=/live/vmlinuz-6.1.0 boot=live components union=overlay quiet\n",
     {"boot": "live", "unionType": "overlay", "rootUuid": ""}, 2),
    ("recovery live", "plain",
     "BOOT_IMAGE=/orvik/vmlinuz boot=live live-media-path=recovery_live boot-from=/dev/sda4 "
     "root=UUID=%s root=UUID=%s splash\n" % (ROOT, DATA),
     {"bootFrom": "/dev/sda4", "liveMediaPath": "recovery_live", "rootUuid": DATA,
      "liveRootUuid": ROOT, "liveBootType": "/dev/sda4"}, 3),
]


@pytest.mark.parametrize("name,scen,cmdline,fields,mode", CMDLINES,
                         ids=[c[0] for c in CMDLINES])
def test_cmdline(name, scen, cmdline, fields, mode):
    s = scenario(scen)
    if cmdline is not None:
        s["cmdline"] = cmdline
    r, got = run(s, "cmdline")
    assert got["ok"] and got["liveOk"]
    for key, value in fields.items():
        assert got[key] == value, key
    assert got["mode"] == mode


# ------------------------------------------------------------------ blkid inventory

def test_blkid_adds_lvm_volumes_from_dev_mapper():
    s = scenario("lvm-in-luks")
    # blkid that lists the LVM member but none of the volumes on it.
    s["programs"] = {"blkid": {"stdout":
        '/dev/sda1: UUID="%s" BLOCK_SIZE="4096" TYPE="ext4" PARTUUID="1b2c-01"\n'
        '/dev/sda2: UUID="e4d3c2b1-a098-4765-b432-10fedcba9876" TYPE="crypto_LUKS"\n'
        '/dev/mapper/luks-e4d3c2b1-a098-4765-b432-10fedcba9876: UUID="Xq3Lk9" '
        'TYPE="LVM2_member"\n'
        '/dev/mapper/vg0-data: UUID="a1b2c3d4-e5f6-4789-9abc-def012345678" TYPE="ext4"\n'
        % BOOT}}
    r, got = run(s, "blkid")
    assert got["ok"]
    paths = [item[0] for item in got["list"]]
    assert paths == ["/dev/sda1", "/dev/sda2",
                     "/dev/mapper/luks-e4d3c2b1-a098-4765-b432-10fedcba9876",
                     "/dev/mapper/vg0-data", "/dev/mapper/vg0-root"]
    assert got["list"][-1][1:] == [""] * 8
    # No shell and no ls: the mapper directory is read in code.
    assert [p[:2] for p in r.programs] == [["blkid"]]  # nor sudo: the caller is root


def test_blkid_whole_machine():
    r, got = run(scenario("plain"), "blkid")
    assert got["ok"]
    by_path = {item[0]: item for item in got["list"]}
    assert by_path["/dev/sda3"][3:6] == ["Data", DATA, "ext4"]
    assert by_path["/dev/sda"][7:] == ["0c2b6d3e-0003-4d1e-9b2a-5f6e7d8c9b97", "gpt"]
    assert not any(p.startswith("/dev/mapper/") for p in by_path)


# ------------------------------------------------------------------ partition-check list

SWAP_UUID = "d4e5f607-1829-4a3b-8c4d-5e6f708192a3"
VFAT_REC = "6E5D-4C3B"


def checklist_scenario():
    """The plain machine plus a swap partition, a LUKS container, an LVM member, a
    partition without file system and a disk holding a vfat "recovery" partition."""
    s = scenario("plain")
    s["fstab"] += "UUID=%s\tnone\tswap\tsw\t0\t0\n" % SWAP_UUID
    part = {"type": "part", "pkname": "sda", "drive": "disk1", "size": 1 << 30}
    extra = [
        dict(part, name="sda5", fstype="swap", uuid=SWAP_UUID, partuuid="1b2c3d4e-0005"),
        dict(part, name="sda6", fstype="crypto_LUKS", uuid="c0c0c0c0-luks",
             partuuid="1b2c3d4e-0006"),
        dict(part, name="sda7", fstype="LVM2_member", uuid="Pv1234-lvm",
             partuuid="1b2c3d4e-0007"),
        dict(part, name="sda8", partuuid="aaaa0008-bbbb"),
        dict(part, name="sda9", partuuid="cccc0009-bbbb"),
        {"name": "sdc", "type": "disk", "drive": "usb1", "size": 8 << 30, "pttype": "dos",
         "ptuuid": "5d7a8b2c"},
        dict(part, name="sdc1", pkname="sdc", drive="usb1", fstype="vfat", uuid=VFAT_REC,
             partlabel="recovery", partuuid="5d7a8b2c-01"),
        dict(part, name="sdc2", pkname="sdc", drive="usb1", partuuid="5d7a8b2c-02"),
    ]
    s["devices"].extend(extra)
    device(s, "sda3")["fsck_exit"] = 4
    return s


def item(path, uuid="", fs="", label="", mount="", status=0, dtype=-1):
    return {"devicePath": path, "label": label, "uuid": uuid, "mountPoint": mount,
            "fsType": fs, "status": status, "deviceType": dtype}


def test_checklist_job_marks_system_partitions():
    r, got = run(checklist_scenario(), "job", "2", "root=" + ROOT)
    assert got["finished"]
    assert [x["name"] for x in got["signals"]] == ["getPartitionCheckItemFinish"]
    document = json.loads(got["signals"][0]["arg"])
    assert document == {"PartitionCheckItemList": [
        item("/dev/sda1", BOOT, "ext4", mount="/boot", dtype=1),
        item("/dev/sda2", ROOT, "ext4", mount="/", dtype=1),
        item("/dev/sda3", DATA, "ext4", "Data", "/data", status=-1, dtype=1),
        item("/dev/sda4", REC, "ext4", "Backup", "/recovery", dtype=1),
        item("/dev/sdb1", USB, "ext4", "USB", dtype=0),
        item("/dev/sda5", SWAP_UUID, "swap", mount="SWAP", dtype=1),
        # Without a file system: sda8 (first PARTUUID tail); sda9 shares it, sdc2 lies on
        # the disk of the recovery partition, the disks have partition tables.
        item("/dev/sda8", status=-1),
    ]}
    checked = [p[1:] for p in r.programs_named("fsck")]
    assert checked == [["-v", "-n", "/dev/sda1"], ["-v", "-n", "/dev/sda2"],
                       ["-v", "-n", "/dev/sda3"], ["-v", "-n", "/dev/sda4"],
                       ["-v", "-n", "/dev/sdb1"], ["-v", "-n", "/dev/sda5"]]


@pytest.mark.parametrize("mode", [2, 3])
def test_checklist_live_modes_skip_marking(mode):
    r, got = run(checklist_scenario(), "checklist", str(mode), "no-such-root")
    assert got["ok"] and got["inventoryOk"]
    assert [(x["devicePath"], x["deviceType"], x["mountPoint"]) for x in got["items"]] == [
        ("/dev/sda1", -1, ""), ("/dev/sda2", -1, ""), ("/dev/sda3", -1, ""),
        ("/dev/sda4", -1, ""), ("/dev/sdb1", -1, ""), ("/dev/sda5", -1, ""),
        ("/dev/sda8", -1, "")]
    assert not [c for c in r.calls if "Mount" in c]


def test_checklist_root_not_mountable():
    r, got = run(checklist_scenario(), "job", "2", "root=no-such-uuid")
    document = json.loads(got["signals"][0]["arg"])
    paths = [x["devicePath"] for x in document["PartitionCheckItemList"]]
    assert paths == ["/dev/sda1", "/dev/sda2", "/dev/sda3", "/dev/sda4", "/dev/sdb1",
                     "/dev/sda5"]
    assert "GetPartitionCheckItemList rootMountPoint isEmpty" in r.stderr


# ------------------------------------------------------------------ jobs 1, 3 and 5

@pytest.mark.parametrize("code,signal", [(0, "fixPartitionSuccess"),
                                         (1, "fixPartitionSuccess"),
                                         (2, "fixPartitionFailed"),
                                         (4, "fixPartitionFailed")])
def test_repair_job(code, signal):
    s = scenario("plain")
    device(s, "sda3")["fsck_repair_exit"] = code
    r, got = run(s, "job", "1", "device=/dev/sda3")
    assert [x["name"] for x in got["signals"]] == [signal]
    assert [p for p in r.programs if p[:1] in (["sudo"], ["fsck"])] == [["fsck", "-y", "/dev/sda3"]]


def test_started_marker_ends_job_3():
    r, got = run(scenario("plain"),
                 shell="(sleep 2; touch %s) & exec PROBE job 3 wait=20000" % MARKER,
                 before=["mkdir -p /home/orvik"], collect=[MARKER])
    assert got == {"finished": True, "signals": [{"name": "showSystemRestoreFinish"}]}
    assert r.files[MARKER] is None


def test_job_3_waits_without_marker():
    r, got = run(scenario("plain"), "job", "3", "wait=3500", before=["mkdir -p /home/orvik"])
    assert got == {"finished": False, "signals": []}


LAUNCHERS = [
    ("started", "#!/bin/sh\n[ $# -eq 0 ] || exit 3\necho started\n",
     [{"name": "initSystemRepairToolPageFinish"}]),
    ("refused", "#!/bin/sh\necho 'Request dismissed' >&2\nexit 126\n",
     [{"name": "initSystemRepairToolPageFailed", "arg": "Request dismissed\n"}]),
    ("missing", None, [{"name": "initSystemRepairToolPageFailed", "arg": ""}]),
]


@pytest.mark.parametrize("name,script,signals", LAUNCHERS, ids=[l[0] for l in LAUNCHERS])
def test_repair_tool_job(name, script, signals):
    s = scenario("plain")
    before = ["rm -f %s" % LAUNCHER]
    if script is not None:
        s["files"] = {LAUNCHER: script}
        before = ["chmod 0755 %s" % LAUNCHER]
    r, got = run(s, "job", "5", before=before)
    assert got["signals"] == signals


@pytest.mark.parametrize("job", [0, 6])
def test_unknown_jobs_emit_nothing(job):
    r, got = run(scenario("plain"), "job", str(job))
    assert got == {"finished": True, "signals": []}
    assert r.calls == [] and r.programs == []
