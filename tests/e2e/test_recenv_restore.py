"""The live restore page (job 4 of the background worker), backup history and mounting by
UUID, end to end in the simulated machine. The live case boots from a medium of its own,
with the installed system's root, data and recovery partitions not mounted."""

import json
import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from test_recenv import (BOOT, DATA, REC, ROOT, LVM_ROOT, device, run,  # noqa: E402
                         scenario)

RECOVERY_JSON = {"type": 2, "total": 1, "auto_reboot": False, "locale": "zh_CN",
                 "tasks": [{"name": "backup root"}]}
INDEX = {DATA: {"1700000000": "/backups/a", "1700100000": "/backups/b",
                "1690000000": "/backups/three-tars", "1690000001": "/backups/no-osi"},
         "4e4e4e4e-no-such-partition": {"1710000000": "/backups/x"}}
IMAGES = {"root.osi": "osi", "opt.tar": "tar", "var.tar": "tar"}
UTC = {"TZ": "UTC0"}
# udisks2 mounts a partition with a label at /media/root/<label>.
MEDIA_REC = "/media/root/Backup"
MEDIA_DATA = "/media/root/Data"


def local_date(seconds):
    return time.strftime("%Y/%m/%d", time.gmtime(seconds))


def backup_files(directory, names):
    return {"%s/%s" % (directory, n): "x" for n in names}


def live_scenario(os_version_link=None):
    """The recovery live system: the installed system's partitions are unmounted and carry
    their own files, which the disk service shows once it mounts them."""
    s = scenario("plain")
    for name in ("sda1", "sda2", "sda3", "sda4"):
        device(s, name)["mount"] = []
    s["binds"] = []
    root = device(s, "sda2")
    root["files"] = {
        "etc/fstab": s["fstab"],
        "etc/orvik/system-recovery.conf": "UUID=%s\n" % REC,
        "usr/lib/orvik/desktop-version": "[Release]\nType=Device\n",
        "usr/lib/os-version.real": "[Version]\nMajorVersion=25\nMinorVersion=1060\n",
    }
    if os_version_link is None:
        root["files"]["etc/os-version"] = "[Version]\nMinorVersion=1060\n"
    data = device(s, "sda3")
    data["files"] = {}
    data["files"].update(backup_files("backups/a", IMAGES))
    data["files"].update(backup_files("backups/b", ["root.osi", "boot.osi", "opt.tar",
                                                    "var.tar"]))
    data["files"].update(backup_files("backups/three-tars", ["root.osi", "a.tar", "b.tar",
                                                             "c.tar"]))
    data["files"].update(backup_files("backups/no-osi", ["opt.tar", "var.tar"]))
    device(s, "sda4")["files"] = {
        "backup/system.osi": "image",
        "backup/recovery.json": json.dumps(RECOVERY_JSON),
        "backup/savePath.json": json.dumps(INDEX),
    }
    s["devices"].append({"name": "sr0", "type": "rom", "fstype": "iso9660",
                         "uuid": "2024-05-01-10-00-00-00", "size": 4 << 30, "mount": ["/"]})
    s["fstab"] = "overlay / overlay rw 0 0\n"
    s["recovery_uuid"] = None
    s["desktop_type"] = None
    s["os_version"] = None
    return s


def mounted_targets(r):
    return sorted(m[1] for m in r.mounts if m[1].startswith("/media/root/"))


EXPECTED_BACKUPS = [
    {"backupUUID": DATA, "backupPath": "/backups/b", "backupTime": local_date(1700100000),
     "createTime": "1700100000"},
    {"backupUUID": DATA, "backupPath": "/backups/a", "backupTime": local_date(1700000000),
     "createTime": "1700000000"},
]


@pytest.mark.parametrize("link", [None, "/usr/lib/os-version.real",
                                  "../usr/lib/os-version.real"],
                         ids=["file", "absolute link", "relative link"])
def test_live_restore_page(link):
    s = live_scenario(link)
    before = []
    if link is not None:
        # The link lives in the installed system: mount it first to make it.
        before = ["PROBE mount %s >/dev/null" % ROOT,
                  "ln -s %s /media/root/%s/etc/os-version" % (link, ROOT)]
    r, got = run(s, "job", "4", "root=" + ROOT, before=before, env=UTC)
    assert [x["name"] for x in got["signals"]] == ["initLiveRestorePageFinish"]
    page = json.loads(got["signals"][0]["arg"])
    assert json.loads(page.pop("backupInfo")) == {"BackupFileInfoList": EXPECTED_BACKUPS}
    assert json.loads(page.pop("recoveryInfo")) == RECOVERY_JSON
    assert page == {"recoveryUUID": REC, "osType": "Device", "osVersion": 1060,
                    "isExitsInitBackup": True, "isDeviceOS": True, "isLvm": False,
                    "isEncrypted": False, "isFileManagerEncrypted": False}
    # The task file is consumed; every partition the job mounted is unmounted again.
    assert ["rm", "-f", MEDIA_REC + "/backup/recovery.json"] in r.programs
    kept = {"sda2"} if before else set()
    assert mounted_targets(r) == ["/media/root/" + ROOT for _ in kept]
    unmounted = [c.split()[-1].rsplit("/", 1)[-1] for c in r.calls if "Unmount" in c]
    assert set(unmounted) == {"sda2", "sda3", "sda4"} - kept


def test_mount_with_a_blank_in_its_path_is_released():
    s = live_scenario()
    device(s, "sda3")["label"] = "My Data"
    r, got = run(s, "job", "4", "root=" + ROOT, env=UTC)
    assert json.loads(got["signals"][0]["arg"])["backupInfo"]
    assert mounted_targets(r) == [], r.mounts


def test_live_restore_page_without_recovery_partition():
    s = live_scenario()
    device(s, "sda2")["files"].pop("etc/orvik/system-recovery.conf")
    device(s, "sda2")["files"].pop("usr/lib/orvik/desktop-version")
    r, got = run(s, "job", "4", "root=" + ROOT, env=UTC)
    page = json.loads(got["signals"][0]["arg"])
    assert page["recoveryUUID"] == "" and page["recoveryInfo"] == ""
    assert page["osType"] == "Professional" and not page["isDeviceOS"]
    assert not page["isExitsInitBackup"]
    assert json.loads(page["backupInfo"]) == {"BackupFileInfoList": []}
    assert not [c for c in r.calls if c.endswith("/sda4")]


@pytest.mark.parametrize("name,root,flags", [
    ("plain", ROOT, (False, False, False)),
    ("lvm-root", LVM_ROOT, (True, False, False)),
    ("lvm-in-luks", LVM_ROOT, (True, True, False)),
    ("luks-root", "0a9b8c7d-6e5f-4a3b-9c2d-1e0f9a8b7c6d", (False, True, True)),
])
def test_installed_restore_page_flags(name, root, flags):
    r, got = run(scenario(name), "job", "4", "root=" + root)
    page = json.loads(got["signals"][0]["arg"])
    assert (page["isLvm"], page["isEncrypted"], page["isFileManagerEncrypted"]) == flags
    assert page["osVersion"] == 1070 and page["osType"] == "Professional"
    assert page["isExitsInitBackup"] and page["recoveryUUID"] == REC


# ------------------------------------------------------------------ history and mounting

@pytest.mark.parametrize("umount", [True, False])
def test_history_backup(umount):
    s = live_scenario()
    index = MEDIA_REC + "/backup/savePath.json"
    args = ["history", index] + (["umount"] if umount else [])
    r, got = run(s, *args, before=["PROBE mount %s >/dev/null" % REC], env=UTC)
    assert got["list"] == [[b["backupUUID"], b["backupPath"], b["backupTime"], b["createTime"]]
                           for b in EXPECTED_BACKUPS]
    data_mount = MEDIA_DATA
    if umount:
        assert data_mount not in mounted_targets(r)
        assert 'getHistoryBackup, umount uuid:  "%s" , mountPoint:  "%s"' % (
            DATA, data_mount) in r.stderr
    else:
        assert data_mount in mounted_targets(r)
        assert "getHistoryBackup, umount uuid" not in r.stderr


def test_history_backup_paths():
    r, got = run(live_scenario(), "paths", MEDIA_REC + "/backup/savePath.json",
                 before=["PROBE mount %s >/dev/null" % REC])
    base = MEDIA_DATA
    assert got["list"] == [["1700100000", base + "/backups/b"],
                           ["1700000000", base + "/backups/a"],
                           ["1690000001", base + "/backups/no-osi"],
                           ["1690000000", base + "/backups/three-tars"]]


@pytest.mark.parametrize("uuid,target,expected,mount_calls", [
    (REC, None, MEDIA_REC, 1),
    # A mount path with a blank is read back from the device's mount points.
    (REC, "/media/root/My Backup", "/media/root/My Backup", 1),
    # Already mounted: the first mount point.
    (BOOT, None, "/boot", 1),
    ("no-such-uuid", None, "", 0),
    ("", None, "", 0),
])
def test_mount_by_uuid(uuid, target, expected, mount_calls):
    s = scenario("recovery-unmounted")
    if target:
        device(s, "sda4")["mount_target"] = target
    r, got = run(s, "mount", uuid)
    assert got == {"mountPoint": expected}
    assert len([c for c in r.calls if "Filesystem.Mount" in c]) == mount_calls


def test_umount_by_uuid():
    r, got = run(scenario("recovery-unmounted"), shell="PROBE mount %s && PROBE umount %s"
                 % (REC, REC))
    assert MEDIA_REC in mounted_targets(r)
    assert [c for c in r.calls if "Unmount" in c] == []
