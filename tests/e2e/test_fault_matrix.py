"""Fault matrix: the tool in the simulated machine under broken disks, services, programs and
hostile paths. Every row checks the exit status, the messages, and what is left of the task
file, the save-path index and both flag files: a failure must never look like success, and
nothing may be half-written.

Each row starts from a recovery partition that already holds an earlier plan and index, so
"left as it was" can be told from "never written".
"""

import copy
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "machine"))

import simmachine  # noqa: E402

TOOL = "orvik-recovery-tool"
PLAIN = simmachine.load_scenario("plain")


def _uuid_at(mount):
    return [d for d in PLAIN["devices"] if mount in d.get("mount", [])][0]["uuid"]


REC_UUID = PLAIN["recovery_uuid"]
DATA_UUID = _uuid_at("/data")
BOOT_UUID = _uuid_at("/boot")
ROOT_UUID = _uuid_at("/")

TASK = "/recovery/backup/recovery.json"
INDEX = "/recovery/backup/savePath.json"
OLD_FLAG = "/live.flag"
NEW_FLAG = "/.flag.d/live.flag"
SHELL_LOG = "/var/log/orvik-shell-calls.log"
STATE = [TASK, INDEX, OLD_FLAG, NEW_FLAG, SHELL_LOG]

SUCCESS = "Configuration successful, please reboot your system"
CANNOT_FIND = "Cannot find the recovery partition"

# The earlier plan and index every row starts from. The index records one former backup of
# the data partition: /data/backups/2024-01-01-00-00-00.
OLD_BACKUP = "/backups/2024-01-01-00-00-00"
OLD_TASK = (b'{\n    "name": "restore",\n    "message": "restore boot and root partition",\n'
            b'    "total": 0,\n    "ask": true,\n    "locale": "en_US",\n'
            b'    "type": "SystemRestore",\n    "auto_reboot": false,\n    "tasks": []\n}\n')
OLD_INDEX = json.dumps({DATA_UUID: {"1704067200": OLD_BACKUP}}, indent=4).encode()

# Files no run may delete, whatever it is asked to replace.
SENTINELS = ["/data/home/user/Documents/notes.txt", "/data/backups/keep/sentinel", "/etc/fstab",
             "/recovery/backup/system.osi", "/data/opt/apps/.keep"]
RECORDED = "/data/backups/2024-01-01-00-00-00/system.osi"  # goes only when replaced

# Installed as /usr/bin/sh, bash and dash just before the tool runs: any shell the tool
# starts, by name or by absolute path, leaves its arguments in SHELL_LOG and does nothing.
# The machine's own logging wrappers of real programs (bash scripts under WRAPPERS) still run,
# through a copy of the real bash; a wrapper named sh or bash is the tool starting a shell.
SHELL_GUARD = r'''
import os, shutil
REAL = "/usr/local/lib/orvik-fault-matrix/bash"
shutil.copy2("/usr/bin/bash", REAL)
recorder = """#!/usr/bin/python3 -S
import json, os, sys
WRAPPERS = "/run/simmachine/bin/"
script = sys.argv[1] if len(sys.argv) > 1 else ""
if script.startswith(WRAPPERS) and os.path.basename(script) not in ("sh", "bash", "dash"):
    os.execv("%s", ["%s"] + sys.argv[1:])
with open("%s", "a") as log:
    log.write(json.dumps(sys.argv) + "\\n")
""" % (REAL, REAL, "''' + SHELL_LOG + r'''")
for name in ("sh", "bash", "dash"):
    path = "/usr/bin/" + name
    with open(path + ".guard", "w") as f:
        f.write(recorder)
    os.chmod(path + ".guard", 0o755)
    os.replace(path + ".guard", path)
'''
GUARD_PATH = "/usr/local/lib/orvik-fault-matrix/guard_shells.py"


def scenario(name="plain", **top):
    s = copy.deepcopy(simmachine.load_scenario(name))
    s.update(top)
    rec = [d for d in s["devices"] if d.get("uuid") == s["recovery_uuid"]]
    if rec:
        files = dict(rec[0].get("files", {}))
        files["backup/recovery.json"] = OLD_TASK.decode()
        files["backup/savePath.json"] = OLD_INDEX.decode()
        rec[0]["files"] = files
    data = [d for d in s["devices"] if "/data" in d.get("mount", [])]
    if data:
        files = dict(data[0].get("files", {}))
        files["backups/keep/sentinel"] = "keep\n"
        files["backups/2024-01-01-00-00-00/system.osi"] = "image\n"
        files["backups/2024-01-01-00-00-00/opt.tar"] = "tar\n"
        data[0]["files"] = files
    s.setdefault("files", {})
    s["files"] = dict(s["files"], **{GUARD_PATH: SHELL_GUARD})
    return s


def run(s, args, before=(), collect=(), env=None, argv=None):
    before = list(before) + ["python3 " + GUARD_PATH]
    r = simmachine.Machine(s).run(argv or [TOOL] + list(args), before=before,
                                  collect=STATE + SENTINELS + list(collect), env=env)
    report = os.environ.get("ORVIK_FAULT_MATRIX_REPORT")
    if report:  # one line per run, for the table in docs/reliability.md
        with open(report, "a") as f:
            f.write(json.dumps({"test": os.environ.get("PYTEST_CURRENT_TEST", "").split(" ")[0],
                                "status": status(r), "signal": r.signal,
                                "task": r.files[TASK] is not None and r.files[TASK] != OLD_TASK,
                                "index": r.files[INDEX] is not None
                                and r.files[INDEX] != OLD_INDEX,
                                "flag": r.files[NEW_FLAG] is not None
                                or r.files[OLD_FLAG] is not None}) + "\n")
    return r


def status(r):
    """The exit status as a signed number: -1 for 255."""
    return r.returncode - 256 if r.returncode > 127 else r.returncode


def assert_no_shell(r):
    assert r.files[SHELL_LOG] is None, "a shell was started: %r" % r.files[SHELL_LOG]
    assert not [p for p in r.programs if p and os.path.basename(p[0]) in ("sh", "bash")]


def assert_sentinels(r, mounted_recovery=True):
    missing = [p for p in SENTINELS if r.files[p] is None]
    if not mounted_recovery:
        missing = [p for p in missing if not p.startswith("/recovery/")]
    assert not missing, "deleted: %r" % missing


def assert_untouched(r, flags=False):
    """The earlier plan and index as they were, and (unless flags) no flag raised."""
    assert r.files[TASK] == OLD_TASK
    assert r.files[INDEX] == OLD_INDEX
    if not flags:
        assert r.files[OLD_FLAG] is None and r.files[NEW_FLAG] is None
    assert_no_shell(r)
    assert_sentinels(r)


def task_of(r):
    return json.loads(r.files[TASK].decode())


def index_of(r):
    return json.loads(r.files[INDEX].decode())


def assert_planned(r, kind="SystemBackup"):
    assert status(r) == 0, r
    assert SUCCESS in r.stderr
    assert task_of(r)["type"] == kind
    assert r.files[NEW_FLAG] == b""
    assert_no_shell(r)
    assert_sentinels(r)


SYSTEM_BACKUP = ["-a", "system_backup", "-p", "/data/backups"]


def read_only_bind(path):
    return ["mount --bind %s %s && mount -o remount,bind,ro %s" % (path, path, path)]


# --------------------------------------------------------------- recovery partition faults

def test_backup_directory_missing():
    # Without its backup directory the plan cannot be saved: no success, no flag.
    r = run(scenario(), SYSTEM_BACKUP, before=["rm -rf /recovery/backup"])
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert "recovery.json" in r.stderr
    for path in (TASK, INDEX, OLD_FLAG, NEW_FLAG):
        assert r.files[path] is None
    assert_no_shell(r)


def test_backup_directory_read_only():
    r = run(scenario(), SYSTEM_BACKUP, before=read_only_bind("/recovery/backup"))
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert "recovery.json" in r.stderr
    assert_untouched(r)


# Something mounted on the recovery partition's backup directory would take the plan while the
# partition kept the earlier one for the flag to arm. The machine is looked at with it unmounted.
OVER_BACKUP_DIR = {"tmpfs": "mount -t tmpfs over /recovery/backup",
                   "bind": "mkdir /recovery/o && mount --bind /recovery/o /recovery/backup"}
THEN_UNMOUNT = ("import subprocess, sys; r = subprocess.call(sys.argv[1:]); "
                "subprocess.call(['/usr/bin/umount', '/recovery/backup']); sys.exit(r)")


@pytest.mark.parametrize("mount", sorted(OVER_BACKUP_DIR))
def test_mount_on_backup_directory(mount):
    r = run(scenario(), [], before=[OVER_BACKUP_DIR[mount]],
            argv=["/usr/bin/python3", "-c", THEN_UNMOUNT, simmachine.find_tool()] + SYSTEM_BACKUP)
    assert status(r) == -1 and "/recovery/backup is not on the recovery partition" in r.stderr, r
    assert_untouched(r)


def test_recovery_partition_full():
    # The recovery partition is a tmpfs of its size, held in memory: a small one, filled up
    # to the last byte.
    s = scenario()
    [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]["size"] = 8 << 20
    r = run(s, SYSTEM_BACKUP,
            before=["dd if=/dev/zero of=/recovery/fill bs=1M >/dev/null 2>&1; "
                    "dd if=/dev/zero of=/recovery/fill2 bs=1 >/dev/null 2>&1; true"])
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert "recovery.json" in r.stderr
    assert_untouched(r)


# ------------------------------------------------------------------------- flag faults

def test_flag_directory_not_creatable():
    # A file where the flag directory belongs: mkdir fails, the flag never appears.
    r = run(scenario(), SYSTEM_BACKUP, before=["echo x > /.flag.d"])
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert "mkdir flagDir failed" in r.stderr
    assert r.files[NEW_FLAG] is None and r.files[OLD_FLAG] is None
    # The plan written just before stays; without a flag the live system ignores it.
    assert task_of(r)["type"] == "SystemBackup"
    assert_no_shell(r)
    assert_sentinels(r)


def test_flag_not_creatable():
    r = run(scenario(), SYSTEM_BACKUP,
            before=["mkdir -p /.flag.d"] + read_only_bind("/.flag.d"))
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert "live.flag" in r.stderr
    assert r.files[NEW_FLAG] is None and r.files[OLD_FLAG] is None
    assert task_of(r)["type"] == "SystemBackup"
    assert_no_shell(r)


# ------------------------------------------------------------------------ disk service

def test_disk_service_absent():
    s = scenario()
    s["udisks"] = {"absent": True, "mount_error": None}
    r = run(s, SYSTEM_BACKUP)
    assert status(r) == -1, r
    assert CANNOT_FIND in r.stderr
    assert_untouched(r)


@pytest.mark.parametrize("action", ["system_backup", "cancel_backup"])
def test_mount_fails_with_dbus_error(action):
    s = scenario("recovery-unmounted")
    s["udisks"] = {"absent": False,
                   "mount_error": "org.freedesktop.UDisks2.Error.Failed: simulated failure"}
    r = run(s, ["-a", action, "-p", "/data/backups"])
    assert status(r) == -1, r
    assert CANNOT_FIND in r.stderr
    assert r.files[OLD_FLAG] is None and r.files[NEW_FLAG] is None
    assert_no_shell(r)
    assert_sentinels(r, mounted_recovery=False)


@pytest.mark.parametrize("args", [SYSTEM_BACKUP, ["-a", "manual_backup", "-p", "/media/user/usb"],
                                  ["-a", "system_restore"],
                                  ["-a", "manual_restore", "-p", "/data/backups"]],
                         ids=["system_backup", "manual_backup", "system_restore",
                              "manual_restore"])
def test_no_device_mounted_at_root(args):
    # The service lists no device at "/": a plan would name "UUID:" as the root partition.
    s = scenario()
    [d for d in s["devices"] if d.get("mount") == ["/"]][0]["mount"] = []
    r = run(s, args)
    assert status(r) == -1, r
    assert "The root partition could not be identified" in r.stderr
    assert_untouched(r)


# -------------------------------------------------------------------- external programs

GARBAGE = ("\x00\xff\xfe garbage \"unterminated\n" + "A" * 5000 + "\n/dev/\x01 x y z\n"
           "NAME=\"\\x\" KNAME=\"\\x2\" SIZE=\"-99999999999999999999\"\n"
           "Block count: 99999999999999999999999\nBlock size: -4096\n")
FAULTS = {
    "missing": {"missing": True},
    "exit-3": {"exit": 3, "stderr": "simulated failure\n"},
    "garbage": {"exit": 0, "stdout": GARBAGE},
    "signal-9": {"signal": 9},
}


def with_program(s, program, fault):
    s["programs"] = dict(s.get("programs", {}), **{program: FAULTS[fault]})
    return s


# What a system backup on the plain machine comes to when one program misbehaves. The
# classification (lsblk, dmsetup) and the mount-point test (df) fall back to "nothing known",
# which on this machine still lets the plan through; the size estimate never falls back to
# less: an unreadable partition counts whole, a directory du gives no total for counts with
# the used bytes of its file system, each with a warning. The flag depends on touch (and on
# sudo when /.flag.d must be made).
PLANNING_PROGRAMS = ["lsblk", "dmsetup", "df", "du", "dumpe2fs", "dpkg"]
ESTIMATE_FALLBACK = {
    "du": ['du gave no total for "/opt" ; counting the used bytes of its file system',
           'du gave no total for "/var" ; counting the used bytes of its file system'],
    "dumpe2fs": ['The usage of "/dev/sda1" ( "ext4" ) cannot be read',
                 'The usage of "/dev/sda2" ( "ext4" ) cannot be read'],
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
@pytest.mark.parametrize("program", PLANNING_PROGRAMS)
def test_planning_program_fault(program, fault):
    r = run(with_program(scenario(), program, fault), SYSTEM_BACKUP)
    if fault == "missing" and program != "dpkg":  # the reason is logged (dpkg is not asked)
        assert 'Cannot start "%s" : "No such file or directory"' % program in r.stderr, r
    fallback = ESTIMATE_FALLBACK.get(program)
    if fallback:
        # The plain machine has room even for the estimate made too high.
        assert status(r) == 0, r
        for warning in fallback:
            assert warning in r.stderr, r
    assert status(r) in (0, 1, 3, 4, 7, -1), r
    if status(r) == 0:
        assert_planned(r)
        entries = index_of(r)[DATA_UUID]
        assert entries["1704067200"] == OLD_BACKUP and len(entries) == 2
    else:
        # A refusal writes nothing.
        assert SUCCESS not in r.stderr
        assert_untouched(r)


def test_estimate_too_high_rather_than_too_low():
    # Just room for what the partitions really hold: when their usage cannot be read they
    # count whole, and the backup is refused rather than planned on a guess of nothing.
    s = with_program(scenario(), "dumpe2fs", "exit-3")
    data = [d for d in s["devices"] if "/data" in d.get("mount", [])][0]
    data["avail"] = 40 * 2**30
    r = run(s, SYSTEM_BACKUP)
    assert status(r) == 1, r
    assert "A minimum of" in r.stderr
    assert_untouched(r)


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_touch_fault_raises_no_false_success(fault):
    # Even a touch that exits with 0 ("garbage") has made no file: the flag is checked.
    r = run(with_program(scenario(), "touch", fault), SYSTEM_BACKUP)
    assert r.files[NEW_FLAG] is None
    assert status(r) == -1, r
    assert SUCCESS not in r.stderr
    assert_no_shell(r)


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_sudo_fault_when_flag_directory_is_needed(fault):
    r = run(with_program(scenario(), "sudo", fault), SYSTEM_BACKUP, before=["rm -rf /.flag.d"])
    assert r.files[NEW_FLAG] is None
    assert status(r) == -1, r
    if fault != "garbage":  # a sudo that exits with 0 looks as if mkdir had worked
        assert "mkdir flagDir failed" in r.stderr
    assert SUCCESS not in r.stderr
    assert_no_shell(r)


def manual_restore_scenario():
    s = scenario()
    s["dirs"] = list(s.get("dirs", [])) + ["/data/restore"]
    s["files"] = dict(s["files"], **{"/data/restore/system.osi": "image\n"})
    return s


# (fault, exit status, message): a tool that could not run or died part way has not checked
# the image; one that exits with a code of its own without "invalid file" lets it pass.
IMAGE_TOOL_FAULTS = [
    ("missing", {"missing": True}, 5, "The image tool orvik-clone cannot be found to check"),
    ("killed", {"signal": 9}, 5, "The image tool was killed by signal 9 while checking"),
    ("crashed", {"signal": 11}, 5, "The image tool was killed by signal 11 while checking"),
    ("exit-3", FAULTS["exit-3"], 0, "The image tool exited with code 3 checking"),
    ("garbage", FAULTS["garbage"], 0, None),
]


@pytest.mark.parametrize("fault,rule,expected,message", IMAGE_TOOL_FAULTS,
                         ids=[f[0] for f in IMAGE_TOOL_FAULTS])
def test_image_tool_fault(fault, rule, expected, message):
    s = manual_restore_scenario()
    s["programs"] = {"orvik-clone": rule}
    r = run(s, ["-a", "manual_restore", "-p", "/data/restore"])
    assert status(r) == expected, r
    if message:
        assert message + ' "/data/restore/system.osi"' in r.stderr
    if expected == 0:
        assert_planned(r, "ManualRestore")
    else:
        assert "The backup file is invalid." in r.stderr
        assert_untouched(r)


def test_image_tool_killed_on_the_initial_image():
    s = with_program(scenario(), "orvik-clone", "signal-9")
    r = run(s, ["-a", "system_restore"])
    assert status(r) == 5, r
    assert "The initial backup file is invalid." in r.stderr
    assert_untouched(r)


def test_invalid_upper_case_image_is_refused():
    s = scenario()
    s["files"] = dict(s["files"], **{"/data/restore/SYSTEM.OSI": "image\n"})
    s["invalid_images"] = ["/data/restore/SYSTEM.OSI"]
    r = run(s, ["-a", "manual_restore", "-p", "/data/restore"])
    assert status(r) == 5, r
    assert "The backup file is invalid." in r.stderr
    assert_untouched(r)


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_initramfs_tool_fault(fault):
    service = "/usr/lib/systemd/system/rav2ivo-update-initramfs.service"
    s = with_program(scenario(), "update-initramfs", fault)
    s["files"] = dict(s["files"], **{service: "[Unit]\n"})
    r = run(s, ["--ui"], collect=[service])
    assert status(r) == 0, r
    if fault == "garbage":  # it exited with 0: the refresh counts as done
        assert r.files[service] is None
    else:
        assert r.files[service] == b"[Unit]\n"
    assert_untouched(r)


@pytest.mark.parametrize("fault", ["missing", "signal-9"])
def test_unreadable_inventory_on_lvm_machine_is_refused(fault):
    # Without the inventory the LVM test cannot see the volume group; a check that could not
    # run must not let the backup of an LVM system through.
    r = run(with_program(scenario("lvm-root"), "lsblk", fault), SYSTEM_BACKUP)
    assert status(r) == -1, r
    assert "Cannot read the block devices" in r.stderr
    assert SUCCESS not in r.stderr
    assert_untouched(r)


def test_df_missing_for_directory_on_root_is_refused():
    # A system backup may not lie on "/". When df cannot tell the mount point that rule passes,
    # but the file-system rule never takes "/" or "/boot": the request is still refused.
    s = with_program(scenario(), "df", "missing")
    s["dirs"] = list(s.get("dirs", [])) + ["/srv/backups"]
    r = run(s, ["-a", "system_backup", "-p", "/srv/backups"])
    assert status(r) != 0 and SUCCESS not in r.stderr, r


# ---------------------------------------------------------------------------- time limits

INITRAMFS_SERVICE = "/usr/lib/systemd/system/rav2ivo-update-initramfs.service"
# One program of each kind of limit never returns; the limits are shortened to 2 s. (kind,
# program, request, what the message names)
HUNG = [
    ("question", "lsblk", SYSTEM_BACKUP, r"lsblk --bytes --pairs .*"),
    ("data walk", "du", SYSTEM_BACKUP, r"du .*/opt"),
    ("image check", "orvik-clone", ["-a", "manual_restore", "-p", "/data/restore"],
     r"\S*orvik-clone --osi-info /data/restore/system.osi"),
    ("system update", "update-initramfs", ["--ui"], r"update-initramfs -u"),
]


@pytest.mark.parametrize("program,args,named", [h[1:] for h in HUNG], ids=[h[0] for h in HUNG])
def test_hung_program_ends_the_run(program, args, named):
    s = manual_restore_scenario()
    s["files"][INITRAMFS_SERVICE] = "[Unit]\n"
    s["programs"] = {program: {"sleep": 3600}}
    r = run(s, args, env={"ORVIK_TIME_LIMIT_SECONDS": "2"}, collect=[INITRAMFS_SERVICE])
    assert status(r) == -1 and r.wall < 30, r
    assert re.search("^%s did not end within 2 seconds; nothing was written$" % named,
                     r.stderr, re.M), r.stderr
    assert "invalid" not in r.stderr, r.stderr  # an image not checked in time is not damaged
    assert r.files[INITRAMFS_SERVICE] == b"[Unit]\n"
    assert_untouched(r)


# The flag's own programs run out of time after the plan is written: no success and no flag
# over the plan (an earlier one came down first, one this run made is withdrawn); the log says
# what stands. (id, before lines, programs rules)
TOUCH_THEN_HANG = "import sys, time\nopen(sys.argv[-1], 'a').close()\ntime.sleep(3600)\n"
FLAG_HUNG = [
    ("touch, an earlier flag up", ["mkdir -p /.flag.d", ": > " + NEW_FLAG],
     {"touch": {"sleep": 3600}}),
    ("touch, once the flag is made", ["rm -f /run/simmachine/bin/touch && install -m 755 "
                                      "/usr/local/lib/touch-then-hang /run/simmachine/bin/touch"],
     {}),
    ("mkdir of the flag directory", [], {"sudo": {"sleep": 3600}}),
]


@pytest.mark.parametrize("before,programs", [h[1:] for h in FLAG_HUNG],
                         ids=[h[0] for h in FLAG_HUNG])
def test_flag_step_out_of_time(before, programs):
    s = scenario(programs=programs)
    s["files"]["/usr/local/lib/touch-then-hang"] = "#!/usr/bin/python3\n" + TOUCH_THEN_HANG
    r = run(s, SYSTEM_BACKUP, before=before, env={"ORVIK_TIME_LIMIT_SECONDS": "2"})
    assert status(r) == -1 and r.wall < 30, r
    assert "did not end within 2 seconds\n" in r.stderr and SUCCESS not in r.stderr, r
    assert "no flag is raised: nothing will be carried out" in r.stderr, r
    assert r.files[NEW_FLAG] is None and task_of(r)["type"] == "SystemBackup"
    assert_no_shell(r)


def test_parent_ignoring_sigchld():
    # The ignored SIGCHLD is inherited; unless the tool resets it, every program reads as failed.
    r = run(scenario(), [], argv=["/usr/bin/python3", "-c",
                                  "import os, signal, sys; signal.signal(signal.SIGCHLD, "
                                  "signal.SIG_IGN); os.execv(sys.argv[1], sys.argv[1:])",
                                  simmachine.find_tool()] + SYSTEM_BACKUP)
    assert_planned(r)


# A dead share beside the location: an NTFS image mounted by FUSE, its daemon then stopped, so
# that every question to /mnt/nas blocks. A backup to /data never asks it.
DEAD_SHARE = [
    "[ -e /dev/fuse ] || mknod /dev/fuse c 10 229",
    "truncate -s 8M /tmp/nas.img && mkntfs -F -q -f /tmp/nas.img >/dev/null && mkdir /mnt/nas",
    "ntfs-3g -o no_detach /tmp/nas.img /mnt/nas >/dev/null 2>&1 & echo $! >/tmp/nas.pid; "
    "for i in $(seq 100); do grep -q ' /mnt/nas ' /proc/self/mountinfo && break; sleep 0.1; "
    "done; kill -STOP $(cat /tmp/nas.pid)",
]


def test_dead_share_elsewhere():
    missing = [p for p in ("ntfs-3g", "mkntfs") if not shutil.which(p, path="/usr/bin:/usr/sbin")]
    if missing or not os.path.exists("/dev/fuse"):
        pytest.skip("no FUSE or ntfs-3g here (%s): the dead share cannot be made" % missing)
    r = run(scenario(), SYSTEM_BACKUP, before=DEAD_SHARE)
    assert r.mount_of("/mnt/nas"), "the share was not mounted"
    assert_planned(r)


# ----------------------------------------------------------------------- killed mid-write

KILL_SHIM = os.path.join(REPO, "tests", "machine", "faultshim.c")


@pytest.fixture(scope="module")
def kill_shim():
    # Inside the repository: the sandbox sees it at its own path.
    work = tempfile.mkdtemp(prefix=".fault-matrix-shim-", dir=REPO)
    try:
        source = KILL_SHIM
        library = os.path.join(work, "killshim.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, source, "-ldl"],
                       check=True)
        yield library
    finally:
        shutil.rmtree(work, ignore_errors=True)


def killed_env(library, **switches):
    env = {"LD_PRELOAD": library}
    asan = os.environ.get("ASAN_OPTIONS")
    if asan is not None:  # the sanitizer run: the shim is loaded before the ASan runtime
        env["ASAN_OPTIONS"] = asan + ":verify_asan_link_order=0"
    env.update(switches)
    return env


def assert_killed(r):
    assert r.signal == 9 or r.returncode in (-9, 137), r
    assert SUCCESS not in r.stderr


# The task file is the first file the tool writes in the backup directory, the index the
# second.
# An earlier plan's flag comes down before its plan is replaced. (environment, before lines)
KILL_TASK_FILE = {
    "mid-write": ({"ORVIK_KILL_WRITE": "/recovery/backup/", "ORVIK_KILL_WRITE_NTH": "1"}, []),
    "before-rename": ({"ORVIK_KILL_RENAME": "/backup/recovery.json"}, []),
    "before-rename, earlier flags up": ({"ORVIK_KILL_RENAME": "/backup/recovery.json"},
                                        ["mkdir -p /.flag.d", "touch /live.flag " + NEW_FLAG]),
}
KILL_INDEX = {
    "mid-write": {"ORVIK_KILL_WRITE": "/recovery/backup/", "ORVIK_KILL_WRITE_NTH": "2"},
    "before-rename": {"ORVIK_KILL_RENAME": "/backup/savePath.json"},
}


@pytest.mark.parametrize("moment", sorted(KILL_TASK_FILE))
def test_killed_while_writing_task_file(kill_shim, moment):
    env, before = KILL_TASK_FILE[moment]
    r = run(scenario(), SYSTEM_BACKUP, env=killed_env(kill_shim, **env), before=before,
            collect=["/recovery/backup"])
    assert_killed(r)
    assert_untouched(r)
    # Only whole files carry the task file's name; a left-over temporary file is harmless.
    assert [n for n in r.files["/recovery/backup"] if n in ("recovery.json", "savePath.json")]


@pytest.mark.parametrize("moment", sorted(KILL_INDEX))
def test_killed_while_writing_index(kill_shim, moment):
    r = run(scenario(), SYSTEM_BACKUP, env=killed_env(kill_shim, **KILL_INDEX[moment]))
    assert_killed(r)
    # The new plan was committed whole before the index was touched; the index is the old
    # one, whole; no flag was raised, so the live system ignores the plan.
    assert task_of(r)["type"] == "SystemBackup"
    assert r.files[INDEX] == OLD_INDEX
    assert r.files[OLD_FLAG] is None and r.files[NEW_FLAG] is None
    assert_no_shell(r)
    assert_sentinels(r)


@pytest.mark.parametrize("target", ["/data/backups", "/data" + OLD_BACKUP + "#"],
                         ids=["new backup", "replacing the recorded one"])
def test_index_cannot_be_saved(kill_shim, target):
    # The new backup could never be found or replaced: no flag. The index is written before
    # the replaced backup is deleted, so that one is still there, and still listed.
    r = run(scenario(), ["-a", "system_backup", "-p", target],
            env=killed_env(kill_shim, ORVIK_FAIL_RENAME="/backup/savePath.json"),
            collect=[RECORDED])
    assert status(r) == -1, r
    assert 'Cannot save the save-path index "/recovery/backup/savePath.json"' in r.stderr
    assert SUCCESS not in r.stderr
    assert task_of(r)["type"] == "SystemBackup"
    assert r.files[INDEX] == OLD_INDEX
    assert r.files[OLD_FLAG] is None and r.files[NEW_FLAG] is None
    assert r.files[RECORDED] == b"image\n"
    assert_no_shell(r)
    assert_sentinels(r)


# A sync that fails is a failure of its step, and what stands is safe at a power cut: no flag
# over a plan not known to be on the disk, a replaced backup recorded until its removal is.
# (id, arguments, before lines, path whose fsync fails, status, message, files afterwards)
REPLACING = ["-a", "system_backup", "-p", "/data" + OLD_BACKUP + "#"]
SYNC_FAILURES = [
    ("the plan's directory", SYSTEM_BACKUP, [], "/recovery/backup", -1,
     "the directory /recovery/backup could not be synced: Input/output error", {NEW_FLAG: None}),
    ("the flag, replacing a backup", REPLACING, [], NEW_FLAG, -1,
     "The live flag /.flag.d/live.flag could not be synced: Input/output error",
     {NEW_FLAG: None, RECORDED: b"image\n"}),
    ("the deleted backup's directory", REPLACING, [], "/data/backups", 0,
     'could not be synced, it stays recorded: "/data/backups" : "Input/output error"',
     {NEW_FLAG: b"", RECORDED: None}),
    ("a cancel's flag directory", ["-a", "cancel_backup"], ["touch /live.flag"], "/", 9,
     'sync failed! directory: "/" after removing "/live.flag" : "Input/output error"',
     {TASK: OLD_TASK}),
]


@pytest.mark.parametrize("case", SYNC_FAILURES, ids=[c[0] for c in SYNC_FAILURES])
def test_sync_fails(kill_shim, case):
    _, args, before, path, expected, message, left = case
    r = run(scenario(), args, before=before, collect=[RECORDED],
            env=killed_env(kill_shim, ORVIK_FAIL_FSYNC=path))
    assert status(r) == expected and message in r.stderr, r
    assert (SUCCESS in r.stderr) == (expected == 0)
    assert {p: r.files[p] for p in left} == left
    if args == REPLACING:
        assert index_of(r)[DATA_UUID]["1704067200"] == OLD_BACKUP
    assert_no_shell(r)


# ------------------------------------------------------------------------ two runs at once

LOCK = "/run/orvik-recovery-tool.lock"
WAITING = "Another run of orvik-recovery-tool is in progress; waiting for it to end"


def hold_lock(seconds):
    return ["(flock %s sleep %s >/dev/null 2>&1 &) ; sleep 0.3" % (LOCK, seconds)]


# (id, action, lock held for seconds, test wait in seconds or None for the real one, status)
LOCKED = [
    ("waits for the other run", SYSTEM_BACKUP, 2, None, 0),
    ("gives up after the wait", SYSTEM_BACKUP, 30, 1, -1),
    ("cancel waits too", ["-a", "cancel_backup"], 30, 1, -1),
]


@pytest.mark.parametrize("case", LOCKED, ids=[c[0] for c in LOCKED])
def test_run_lock_held(case):
    _, args, held, wait, expected = case
    env = {} if wait is None else {"ORVIK_LOCK_WAIT_SECONDS": str(wait)}
    r = run(scenario(), args, before=hold_lock(held), env=env)
    assert status(r) == expected, r
    assert r.stderr.count(WAITING) == 1
    if expected == 0:
        assert_planned(r)
    else:
        assert "still holds" in r.stderr and SUCCESS not in r.stderr
        assert_untouched(r)


def test_dry_run_takes_no_lock():
    # It writes nothing, so it neither waits for another run nor holds one up.
    r = run(scenario(), SYSTEM_BACKUP + ["-n"], before=hold_lock(30),
            env={"ORVIK_LOCK_WAIT_SECONDS": "1"})
    assert status(r) == 0, r
    assert WAITING not in r.stderr
    assert_untouched(r)


def test_run_lock_held_while_planning():
    # A first run slowed down in its size estimate still holds the lock: a second one gives
    # up rather than write the task file and the index beside it.
    s = scenario()
    s["programs"] = {"du": {"sleep": 4, "stdout": "1\t/opt\n"}}
    first = "(%s %s >/dev/null 2>&1 &) ; sleep 1" % (simmachine.find_tool(),
                                                       " ".join(SYSTEM_BACKUP))
    r = run(s, SYSTEM_BACKUP, before=[first], env={"ORVIK_LOCK_WAIT_SECONDS": "1"})
    assert status(r) == -1, r
    assert WAITING in r.stderr and "still holds" in r.stderr


# --------------------------------------------------------------------------- hostile paths

LONG = "/data/" + "/".join(["d" * 199] * 20)  # about 4,000 characters
HOSTILE_DIRS = {
    "blanks": "/data/my backups/two  blanks ",
    "quotes": "/data/it's \"quoted\" $(touch /pwned) `id`;|&",
    "newline": "/data/new\nline",
    "dash": "/data/-rf",
    "long": LONG,
}


def make_dirs_before(paths):
    """A before-line that makes directories whose names a shell line could not carry."""
    encoded = " ".join("'%s'" % p.encode("utf-8", "surrogateescape").hex() for p in paths)
    return ["python3 -c 'import os,sys\nfor h in sys.argv[1:]: "
            "os.makedirs(bytes.fromhex(h), exist_ok=True)' " + encoded]


@pytest.mark.parametrize("name", sorted(HOSTILE_DIRS))
def test_hostile_backup_path(name):
    path = HOSTILE_DIRS[name]
    r = run(scenario(), ["-a", "system_backup", "-p", path],
            before=make_dirs_before([path]), collect=["/pwned"])
    assert r.files["/pwned"] is None
    assert_planned(r)
    relative = path[len("/data"):]
    args = task_of(r)["tasks"][0]["args"]
    assert args[1] == "UUID:" + DATA_UUID
    assert args[2].startswith(relative + "/"), args
    entries = index_of(r)[DATA_UUID]
    assert any(v.startswith(relative + "/") for v in entries.values())


def test_path_with_non_utf8_bytes():
    # A name that is no UTF-8 text cannot be named in the task file: it is refused, and
    # nothing is written.
    raw = b"/data/bad\xff\xfename"
    r = run(scenario(), [], argv=["/usr/bin/env", simmachine.find_tool(), "-a", "system_backup",
                                  "-p", raw.decode("utf-8", "surrogateescape")],
            before=make_dirs_before([raw.decode("utf-8", "surrogateescape")]))
    assert status(r) == 3, r
    assert "Path not set or not exists!" in r.stderr
    assert_untouched(r)


def test_leading_dash_path_given_alone():
    # "-rf" after -p is the option's value, never an option of some program.
    r = run(scenario(), [], argv=["/usr/bin/env", "--chdir=/data", simmachine.find_tool(),
                                  "-a", "system_backup", "-p", "-rf"],
            before=make_dirs_before(["/data/-rf"]))
    assert_planned(r)
    assert task_of(r)["tasks"][0]["args"][2].startswith("/-rf/")


# Replace targets: only a directory the index records for the location may go.
@pytest.mark.parametrize("target,cwd", [
    ("/#", "/"),
    ("/home#", "/"),
    ("/data/home#", "/"),
    ("../x#", "/data/backups/keep"),
    ("/data/backups/keep#", "/"),
    ("/data/backups/../home#", "/"),
])
def test_unrecorded_replace_target_deletes_nothing(target, cwd):
    r = run(scenario(), [], argv=["/usr/bin/env", "--chdir=" + cwd, simmachine.find_tool(),
                                  "-a", "system_backup", "-p", target],
            before=make_dirs_before(["/data/backups/x"]),
            collect=["/data/backups/x", "/data/home", "/data/backups/keep", RECORDED])
    assert r.files["/data/backups/x"] == []
    assert r.files[RECORDED] == b"image\n"
    assert r.files["/data/home"] and r.files["/data/backups/keep"] == ["sentinel"]
    assert_sentinels(r)
    assert_no_shell(r)
    if status(r) == 0:
        # The new entry is added, the recorded one stays.
        entries = index_of(r)[DATA_UUID]
        assert entries["1704067200"] == OLD_BACKUP and len(entries) == 2
    else:
        assert_untouched(r)


def test_recorded_replace_target_is_deleted():
    r = run(scenario(), ["-a", "system_backup", "-p", "/data" + OLD_BACKUP + "#"],
            collect=["/data/backups"])
    assert_planned(r)
    assert "2024-01-01-00-00-00" not in r.files["/data/backups"]
    assert "keep" in r.files["/data/backups"]
    entries = index_of(r)[DATA_UUID]
    assert "1704067200" not in entries and len(entries) == 1


def test_recorded_replace_target_that_is_a_link_deletes_nothing():
    # The index records /backups/evil, but it is a symbolic link to the users' homes: the
    # deletion never goes through a link.
    s = scenario()
    rec = [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]
    rec["files"]["backup/savePath.json"] = json.dumps({DATA_UUID: {"1": "/backups/evil"}})
    r = run(s, ["-a", "system_backup", "-p", "/data/backups/evil#"],
            before=["ln -s /data/home /data/backups/evil"],
            collect=["/data/home/user/Documents", "/data/backups"])
    assert r.files["/data/home/user/Documents"] == ["notes.txt"]
    assert "evil" in r.files["/data/backups"]
    assert_sentinels(r)
    assert_no_shell(r)


# Just before the deletion, a directory above the recorded backup is swapped (its owner may
# do so while root runs the tool) for a link to other data, or mounted over; or the mount
# table cannot be read. (id, environment, warning, the old backup's files where they are)
SWAPPED = {"ORVIK_SWAP_DIR": "/data/backups"}
SWAPS = [("link", dict(SWAPPED, ORVIK_SWAP_LINK="/data/decoy"),
          "/data/backups: it is a symbolic link", RECORDED.replace("/backups/", "/backups.aside/")),
         ("mount", SWAPPED, "/data/backups: it lies on another file system", None),
         ("mount table unreadable", {"ORVIK_FAIL_MOUNTINFO": NEW_FLAG},
          "the mount table cannot be read", RECORDED),
         ("mounted over a parent", {"ORVIK_FAIL_MOUNTINFO": NEW_FLAG,
                                    "ORVIK_MOUNTINFO_MOUNT": "/data/backups"},
          "a file system is mounted on /data/backups", None)]


@pytest.mark.parametrize("env,reason,survivor", [c[1:] for c in SWAPS], ids=[c[0] for c in SWAPS])
def test_fault_just_before_the_deletion(kill_shim, env, reason, survivor):
    decoy = "/data/decoy/2024-01-01-00-00-00/system.osi"
    r = run(scenario(), ["-a", "system_backup", "-p", "/data" + OLD_BACKUP + "#"],
            before=["mkdir -p %s && echo decoy > %s" % (os.path.dirname(decoy), decoy)],
            env=killed_env(kill_shim, **env), collect=[decoy] + [survivor] * bool(survivor))
    assert status(r) == 0 and reason in r.stderr, r
    assert r.files[decoy] == b"decoy\n"
    assert survivor is None or r.files[survivor] == b"image\n"
    # Still there (under the mount, too): still recorded.
    assert index_of(r)[DATA_UUID]["1704067200"] == OLD_BACKUP


# ------------------------------------------------------------- status report and dry run

REPORTS = [
    ("status", ["--status"], []),
    ("status with both flags", ["--status"],
     ["mkdir -p /.flag.d", "touch /live.flag /.flag.d/live.flag"]),
    ("dry system backup", ["-n"] + SYSTEM_BACKUP, []),
    ("dry replacing backup", ["-n", "-a", "system_backup", "-p", "/data" + OLD_BACKUP + "#"], []),
    ("dry formatting reset", ["--dry-run", "-a", "system_restore", "-f", "-r"], []),
    ("dry restore", ["-n", "-a", "manual_restore", "-p", "/data" + OLD_BACKUP], []),
]


@pytest.mark.parametrize("args,before", [r[1:] for r in REPORTS], ids=[r[0] for r in REPORTS])
def test_report_and_dry_run_change_nothing(args, before):
    r = run(scenario(), args, before=before, collect=[RECORDED])
    assert status(r) == 0, r
    assert SUCCESS not in r.stderr
    assert r.files[RECORDED] == b"image\n"
    flags = bool(before)
    assert_untouched(r, flags=flags)
    if flags:
        assert r.files[OLD_FLAG] == r.files[NEW_FLAG] == b""


# ------------------------------------------------------- escaped and non-ASCII device texts

def test_escaped_and_non_ascii_labels_and_mount_points():
    # A data partition labelled with blanks and Chinese text, mounted where lsblk prints \x20.
    s = scenario()
    data = [d for d in s["devices"] if "/data" in d.get("mount", [])][0]
    data["label"] = "我的 数据"
    usb = [d for d in s["devices"] if "/media/user/usb" in d.get("mount", [])][0]
    usb["label"] = "U 盘 x"
    usb["size"] = 200 * 2**30  # room for the whole system drive
    usb["mount"] = ["/media/user/U 盘 x"]
    r = run(s, ["-a", "manual_backup", "-p", "/media/user/U 盘 x/备份"],
            before=make_dirs_before(["/media/user/U 盘 x/备份"]))
    assert_planned(r, "ManualBackup")
    args = task_of(r)["tasks"][0]["args"]
    assert args[1] == "UUID:" + usb["uuid"]
    assert args[2].startswith("/备份/"), args


def test_recovery_partition_mounted_at_escaped_non_ascii_path():
    s = scenario("recovery-unmounted")
    rec = [d for d in s["devices"] if d.get("uuid") == s["recovery_uuid"]][0]
    rec["mount_target"] = "/media/root/恢复 分区"
    rec["label"] = "恢复 分区"
    r = run(s, SYSTEM_BACKUP, collect=["/media/root/恢复 分区/backup/recovery.json"])
    assert status(r) == 0, r
    assert json.loads(r.files["/media/root/恢复 分区/backup/recovery.json"])["type"] == \
        "SystemBackup"
    assert r.files[NEW_FLAG] == b""


# ---------------------------------------------------------------------- the guard itself

@pytest.mark.parametrize("argv", [["/bin/sh", "-c", "true"], ["/usr/bin/env", "bash", "-c", "true"]])
def test_shell_guard_sees_a_shell(argv):
    # The rows above count on the guard: a shell started by path or by name is recorded.
    r = run(scenario(), [], argv=argv)
    assert r.files[SHELL_LOG] is not None and b"-c" in r.files[SHELL_LOG]
