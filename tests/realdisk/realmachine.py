"""A machine on real disks: loop-backed GPT disk images with real file systems, the real
udev daemon, the real udisks2 daemon on a private system bus, and the real programs.

Everything lives in the calling process's own mount namespace (made private on first use),
under one work directory: the fixture's root partition is mounted there and the programs run
chrooted into it. The host's /usr and /etc are overlaid on it with their writes going to a
tmpfs; /dev, /run and /tmp are private tmpfs; /sys/class/block and /sys/block list only the
fixture's own loop devices, so udev and udisks2 see no other disk. Nothing on the host is
written: the host's /dev keeps its nodes and links (udev works on the private /dev), and
the only host-wide objects, the loop devices, are detached by their names at the end.
"""

import ctypes
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "machine"))
from busconfig import BUS_CONFIG  # noqa: E402

MIB = 1 << 20
CLONE_NEWNS = 0x00020000
BUS_SOCKET = "/run/dbus/system_bus_socket"
BUS_ADDRESS = "unix:path=" + BUS_SOCKET
UDISKSD = "/usr/libexec/udisks2/udisksd"
UDEVD = "/lib/systemd/systemd-udevd"
EXPOSED = "/run/realdisk/exposed"
PATH = "/run/realdisk/bin:/usr/sbin:/usr/bin:/sbin:/bin"
RESERVE = 1610612736
DRIVE_VENDOR, DRIVE_MODEL = "Orvik", "Orvik Test Disk"

# The machine: disk, partition role, file system, size in MiB, label, where it is mounted.
# "data" must hold the reserve the tool adds to every system backup, hence the sizes; the
# images are sparse.
LAYOUT = [
    ("sys", "efi", "vfat", 32, "EFI", "/boot/efi"),
    ("sys", "boot", "ext4", 160, "", "/boot"),
    ("sys", "root", "ext4", 768, "", "/"),
    ("sys", "data", "ext4", 3072, "Data", "/data"),
    ("sys", "recovery", "ext4", 192, "Backup", "/recovery"),
    ("more", "xfs", "xfs", 3072, "XfsVol", "/srv/xfs"),
    ("more", "btrfs", "btrfs", 3072, "BtrVol", "/srv/btrfs"),
    ("more", "ntfs", "ntfs", 64, "NtfsVol", "/srv/ntfs"),
    ("extra", "spare", "ext4", 3072, "Spare", "/srv/spare"),
]
BINDS = [("/data/home", "/home"), ("/data/opt", "/opt"), ("/data/var", "/var")]
SKELETON = ["usr", "etc", "proc", "sys", "dev", "run", "tmp", "boot", "data", "recovery",
            "media", "root", "home", "opt", "var", "srv/xfs", "srv/btrfs", "srv/ntfs",
            "srv/spare", "mnt"]
MERGED = {"bin": "usr/bin", "sbin": "usr/sbin", "lib": "usr/lib", "lib64": "usr/lib64"}
HOST_NODES = ["null", "zero", "full", "random", "urandom", "tty", "fuse"]
# Only these of the system's rules: the file-system probing that udisks2 reads, and
# udisks2's own. Each is gated to the fixture's loop devices.
RULES = ["60-persistent-storage.rules", "80-udisks2.rules"]
MKFS = {
    "ext4": ["mkfs.ext4", "-q", "-F", "-i", "65536",
             "-E", "nodiscard,lazy_itable_init=1,lazy_journal_init=1"],
    "xfs": ["mkfs.xfs", "-q", "-f", "-K"],
    "btrfs": ["mkfs.btrfs", "-q", "-f", "--nodiscard"],
    "ntfs": ["mkfs.ntfs", "-Q", "-F", "-q"],
    "vfat": ["mkfs.vfat"],
}
LABEL_FLAG = {"ext4": "-L", "xfs": "-L", "btrfs": "-L", "ntfs": "-L", "vfat": "-n"}
FAKE_CLONE = """#!/bin/sh
# The disk-image tool is not part of this system: an image is valid when it says so.
[ "$1" = --osi-info ] && [ $# -eq 2 ] || { echo "orvik-clone: only --osi-info FILE" >&2; exit 1; }
if [ -f "$2" ] && head -c 9 "$2" | grep -q '^ORVIK-OSI'; then
  printf 'image: %s\\nformat: osi 2.0\\nsize: %s\\nchecksum: ok\\n' "$2" "$(stat -c %s "$2")"
  exit 0
fi
echo "orvik-clone: $2: invalid file" >&2
exit 1
"""


class FixtureError(Exception):
    pass


def sh(argv, check=True, **kw):
    p = subprocess.run(argv, capture_output=True, text=True, **kw)
    if check and p.returncode != 0:
        raise FixtureError("%s: exit %d: %s" % (" ".join(argv), p.returncode, p.stderr.strip()))
    return p


def private_mount_namespace():
    """Moves this process into a mount namespace of its own (once): nothing mounted here is
    seen by the host, and everything mounted is gone when the process ends."""
    if getattr(private_mount_namespace, "done", False):
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise FixtureError("unshare(CLONE_NEWNS): " + os.strerror(ctypes.get_errno()))
    sh(["mount", "--make-rprivate", "/"])
    private_mount_namespace.done = True


def kill_with_parent():
    """Run in the child: it dies with the test process, whatever ends that."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def probe_features():
    """{feature: reason it is missing, or None}, probed once on this kernel and machine."""
    missing = {}

    def need(feature, ok, reason):
        missing[feature] = None if ok else reason

    need("root", os.geteuid() == 0, "needs root")
    need("loop", os.path.exists("/dev/loop-control"), "the kernel has no loop devices")
    for prog in ("losetup", "partx", "sfdisk", "udevadm", "dbus-daemon", "blkid",
                 "mkfs.ext4", "mkfs.xfs", "mkfs.btrfs", "mkfs.ntfs", "ntfs-3g", "mkfs.vfat"):
        need(prog, shutil.which(prog, path="/usr/sbin:/usr/bin:/sbin:/bin") is not None,
             "%s is not installed (scripts/install-deps.sh)" % prog)
    need("udisksd", os.access(UDISKSD, os.X_OK), "udisks2 is not installed")
    need("udevd", os.access(UDEVD, os.X_OK), "udev is not installed")
    with open("/proc/filesystems") as f:
        kernel_fs = {line.split()[-1] for line in f if line.strip()}
    for fs in ("ext4", "xfs", "btrfs", "vfat", "fuse"):
        need("fs:" + fs, fs in kernel_fs, "the kernel cannot mount %s" % fs)
    with open("/proc/devices") as f:
        need("device-mapper", "device-mapper" in f.read(), "the kernel has no device-mapper")
    return missing


WORK_PREFIX = "orvik-realdisk-"


def clean_stale():
    """Loop devices of a machine whose test process was killed (no teardown ran): its mounts
    and processes died with it, the loop devices and their partitions did not. Only machines
    whose owner is gone are touched; one of another live run is left alone."""
    top = tempfile.gettempdir()
    for name in os.listdir(top):
        work = os.path.join(top, name)
        try:
            with open(os.path.join(work, "owner")) as f:
                owner = int(f.read())
        except (OSError, ValueError):
            continue
        if not name.startswith(WORK_PREFIX) or os.path.exists("/proc/%d" % owner):
            continue
        for back in glob.glob("/sys/block/loop*/loop/backing_file"):
            with open(back) as f:
                if not f.read().startswith(work + "/"):
                    continue
            dev = "/dev/" + back.split("/")[3]
            sh(["partx", "-d", dev], check=False)
            sh(["losetup", "-d", dev], check=False)
        shutil.rmtree(work, ignore_errors=True)


class Part:
    def __init__(self, disk, role, fstype, size_mib, label, mount_point):
        self.disk, self.role, self.fstype = disk, role, fstype
        self.size = size_mib * MIB
        self.label, self.mount_point = label, mount_point
        self.kname = ""      # loopNpM
        self.uuid = ""
        self.majmin = (0, 0)

    @property
    def node(self):
        return "/dev/" + self.kname


class RealMachine:
    """Brought up by start(), undone by stop(), which also runs when start() fails."""

    def __init__(self, layout=LAYOUT, features=None, tool=None):
        self.parts = [Part(*row) for row in layout]
        self.features = features or probe_features()
        self.tool = tool     # absolute path on the host; its build tree is exposed inside
        self.work = None
        self.loops = {}      # disk -> /dev/loopN
        self.procs = {}      # name -> Popen, every process started for the machine

    # ------------------------------------------------------------------ lookup
    def part(self, role):
        return next(p for p in self.parts if p.role == role)

    def path(self, inside):
        """The host-side path of a path inside the machine."""
        return self.root + "/" + inside.lstrip("/")

    def can_mount(self, part):
        family = "fuse" if part.fstype == "ntfs" else part.fstype
        return self.features.get("fs:" + family) is None

    @property
    def loop_names(self):
        return sorted(os.path.basename(dev) for dev in self.loops.values())

    # ------------------------------------------------------------------ bring-up
    def start(self):
        private_mount_namespace()
        self.work = tempfile.mkdtemp(prefix=WORK_PREFIX)
        self.root = os.path.join(self.work, "root")
        with open(os.path.join(self.work, "owner"), "w") as f:
            f.write(str(os.getpid()))
        try:
            self._make_disks()
            self._make_root()
            self._mount_system()
            self._mount_parts()
            self._write_config()
            self._start_bus()
            self._start_udev()
            self.start_udisks()
        except BaseException:
            self.stop()
            raise
        return self

    def _make_disks(self):
        for disk in dict.fromkeys(p.disk for p in self.parts):
            parts = [p for p in self.parts if p.disk == disk]
            image = os.path.join(self.work, disk + ".img")
            with open(image, "wb") as f:
                f.truncate(sum(p.size for p in parts) + 4 * MIB)
            table = "label: gpt\n" + "".join("size=%dMiB\n" % (p.size // MIB) for p in parts)
            sh(["sfdisk", "-q", image], input=table)
            dev = sh(["losetup", "--find", "--show", image]).stdout.strip()
            self.loops[disk] = dev
            sh(["partx", "-a", dev])
            name = os.path.basename(dev)
            for index, p in enumerate(parts, 1):
                p.kname = "%sp%d" % (name, index)
                self._wait_for(lambda p=p: os.path.exists("/sys/class/block/" + p.kname))
                self._wait_for(lambda p=p: os.path.exists(p.node))
                with open("/sys/class/block/%s/dev" % p.kname) as f:
                    p.majmin = tuple(int(x) for x in f.read().split(":"))
                cmd = MKFS[p.fstype] + ([LABEL_FLAG[p.fstype], p.label] if p.label else [])
                sh(cmd + [p.node])
                p.uuid = sh(["blkid", "-c", "/dev/null", "-p", "-s", "UUID", "-o", "value",
                             p.node]).stdout.strip()

    @staticmethod
    def _wait_for(ready, seconds=10):
        end = time.monotonic() + seconds
        while not ready():
            if time.monotonic() > end:
                raise FixtureError("timed out waiting for a device")
            time.sleep(0.01)

    def _make_root(self):
        os.makedirs(self.root, exist_ok=True)
        sh(["mount", self.part("root").node, self.root])
        for d in SKELETON:
            os.makedirs(self.path(d), exist_ok=True)
        for name, target in MERGED.items():
            if not os.path.lexists(self.path(name)):  # made at the first start
                os.symlink(target, self.path(name))

    def _overlay(self, inside, lower):
        layer = os.path.join(self.work, "layers", inside.strip("/"))
        os.makedirs(layer, exist_ok=True)
        sh(["mount", "-t", "tmpfs", "-o", "mode=0755", "realdisk-" + inside.strip("/"), layer])
        os.makedirs(layer + "/u")
        os.makedirs(layer + "/w")
        sh(["mount", "-t", "overlay", "-o", "lowerdir=%s,upperdir=%s/u,workdir=%s/w"
            % (lower, layer, layer), "realdisk-" + inside.strip("/"), self.path(inside)])

    def _mount_system(self):
        self._overlay("/usr", "/usr")
        self._overlay("/etc", "/etc")
        sh(["mount", "-t", "proc", "proc", self.path("/proc")])
        sh(["mount", "--bind", "/sys", self.path("/sys")])
        sh(["mount", "-t", "tmpfs", "-o", "mode=0755", "realdisk-dev", self.path("/dev")])
        sh(["mount", "-t", "tmpfs", "-o", "mode=0755", "realdisk-run", self.path("/run")])
        sh(["mount", "-t", "tmpfs", "-o", "mode=1777", "realdisk-tmp", self.path("/tmp")])
        for name in HOST_NODES:
            if os.path.exists("/dev/" + name):
                open(self.path("/dev/" + name), "w").close()
                sh(["mount", "--bind", "/dev/" + name, self.path("/dev/" + name)])
        for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                             ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
            os.symlink(target, self.path("/dev/" + name))
        self._restrict_sysfs()
        for dev in self.loops.values():
            self._make_node(os.path.basename(dev))
        for p in self.parts:
            self._make_node(p.kname)
        self._write_rules()

    def _restrict_sysfs(self):
        """udev, udisks2 and lsblk enumerate these directories: only the fixture's disks."""
        for sub, rel in (("class/block", "../../devices/virtual/block"),
                         ("block", "../devices/virtual/block")):
            target = self.path("/sys/" + sub)
            sh(["mount", "-t", "tmpfs", "-o", "mode=0755", "realdisk-sys", target])
            for dev in self.loops.values():
                name = os.path.basename(dev)
                os.symlink("%s/%s" % (rel, name), os.path.join(target, name))
                if sub == "class/block":
                    for p in self.parts:
                        if p.kname.startswith(name + "p"):
                            os.symlink("%s/%s/%s" % (rel, name, p.kname),
                                       os.path.join(target, p.kname))

    def _make_node(self, kname):
        with open("/sys/class/block/%s/dev" % kname) as f:
            major, minor = (int(x) for x in f.read().split(":"))
        os.mknod(self.path("/dev/" + kname), 0o660 | 0o060000, os.makedev(major, minor))

    def remake_node(self, part):
        """After the partition was removed and added again (its minor may differ)."""
        self._wait_for(lambda: os.path.exists("/sys/class/block/%s/dev" % part.kname))
        if os.path.lexists(self.path(part.node)):
            os.remove(self.path(part.node))
        self._make_node(part.kname)

    def _write_rules(self):
        rules = self.path("/usr/lib/udev/rules.d")
        for d in (rules, self.path("/etc/udev/rules.d")):
            sh(["mount", "-t", "tmpfs", "-o", "mode=0755", "realdisk-rules", d])
        gate = "|".join("%s|%sp*" % (n, n) for n in self.loop_names)
        with open(rules + "/00-realdisk.rules", "w") as f:
            # udev re-reads a watched disk after every write to it and drops the partitions
            # that the kernel here cannot find again by itself.
            f.write('SUBSYSTEM=="block", KERNEL=="%s", OPTIONS+="nowatch"\n' % gate)
            # A serial makes udisks2 list a drive for the disk and each of its partitions.
            for name in self.loop_names:
                f.write('KERNEL=="%s", ENV{ID_SERIAL}="ORVIK_TEST_%s", ENV{ID_MODEL}="%s", '
                        'ENV{ID_VENDOR}="%s"\n' % (name, name, DRIVE_MODEL, DRIVE_VENDOR))
        for name in RULES:
            with open("/usr/lib/udev/rules.d/" + name) as src:
                text = src.read()
            with open(os.path.join(rules, name), "w") as f:
                f.write('KERNEL!="%s", GOTO="realdisk_skip"\n%s\nLABEL="realdisk_skip"\n'
                        % (gate, text))

    def mount_part(self, p, target=None, options=None):
        target = target or p.mount_point
        os.makedirs(self.path(target), exist_ok=True)
        if p.fstype == "ntfs":
            # In the foreground, so that it is ours to end and dies with the test process.
            opts = (options + "," if options else "") + "no_detach"
            log = open(os.path.join(self.work, "ntfs-3g.log"), "ab")
            self._spawn("ntfs-3g " + target, ["ntfs-3g", "-o", opts, p.node,
                                              self.path(target)],
                        chroot=False, stdout=log, stderr=log)
            self._wait_for(lambda: self.mounted_at(target))
            return
        sh(["mount"] + (["-o", options] if options else []) + [p.node, self.path(target)])

    def _mount_parts(self):
        for p in sorted(self.parts, key=lambda p: p.mount_point.count("/")):
            if p.role != "root" and self.can_mount(p):
                self.mount_part(p)
        for src, dst in BINDS:
            os.makedirs(self.path(src), exist_ok=True)
            sh(["mount", "--bind", self.path(src), self.path(dst)])

    def fstab(self):
        lines = ["# /etc/fstab: static file system information."]
        for p in self.parts:
            if p.disk == "sys":
                lines.append("UUID=%s\t%s\t%s\t%s\t0\t%d" % (
                    p.uuid, p.mount_point, p.fstype,
                    "umask=0077" if p.fstype == "vfat" else "rw,relatime",
                    1 if p.mount_point == "/" else 2))
        lines += ["%s\t%s\tnone\trw,relatime,bind\t0\t0" % b for b in BINDS]
        return "\n".join(lines) + "\n"

    def _write_config(self):
        files = {
            "/etc/fstab": self.fstab(),
            "/etc/orvik/system-recovery.conf": "UUID=%s\n" % self.part("recovery").uuid,
            "/etc/os-version": "[Version]\nMajorVersion=25\nMinorVersion=1070\n"
                               "OsBuild=102.100\n",
            "/usr/lib/orvik/desktop-version": "[Release]\nType=Professional\n",
            "/recovery/backup/boot.info": self.part("boot").uuid + "\n",
            "/recovery/backup/_ovd_data.info": self.part("data").uuid + "\n",
            "/recovery/backup/system.osi": "ORVIK-OSI initial system image\n",
            "/data/home/user/Documents/notes.txt": "hello\n",
            "/data/opt/apps/tool.bin": "x" * 100000,
            "/data/var/log/syslog": "log\n",
            "/run/realdisk/bin/orvik-clone": FAKE_CLONE,
        }
        for inside, text in files.items():
            self.write(inside, text)
        os.chmod(self.path("/run/realdisk/bin/orvik-clone"), 0o755)
        for d in ("/media", "/data/var/lib/udisks2", "/run/udisks2"):
            os.makedirs(self.path(d), exist_ok=True)
        if self.tool:
            # The build tree of the tool: src/tool/main/<tool>.
            self.expose(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
                self.tool)))))

    def expose(self, host_dir):
        """A host directory, read-only, at its own path inside: the tool finds its library
        in the build tree by absolute path. It is bound under /run and reached through a
        symlink at its own path. A bind at that path itself would lie under a partition
        mount when the clone is under /home or /var (the data partition's binds), keep that
        from being unmounted, and be counted by du in the tool's space estimate."""
        link = self.path(host_dir)
        if os.path.isdir(link):
            return  # the overlaid host /usr or /etc shows it already
        bound = self.path(EXPOSED + host_dir)
        os.makedirs(bound)
        sh(["mount", "--bind", host_dir, bound])
        sh(["mount", "-o", "remount,bind,ro", bound])
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if not os.path.lexists(link):  # made at the first start
            os.symlink(EXPOSED + host_dir, link)

    def write(self, inside, content):
        full = self.path(inside)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(full, mode) as f:
            f.write(content)

    # ------------------------------------------------------------------ services
    def _spawn(self, name, argv, chroot=True, env=None, **kw):
        root = self.root

        def prepare():
            kill_with_parent()
            if chroot:
                os.chroot(root)
                os.chdir("/")
            os.setsid()

        environment = {"PATH": PATH, "LANG": "C.UTF-8", "DBUS_SYSTEM_BUS_ADDRESS": BUS_ADDRESS}
        environment.update(env or {})
        p = subprocess.Popen(argv, env=environment, preexec_fn=prepare,
                             stdin=subprocess.DEVNULL, **kw)
        self.procs[name] = p
        return p

    def _start_bus(self):
        conf = os.path.join(self.work, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONFIG % self.path(BUS_SOCKET))
        os.makedirs(self.path("/run/dbus"), exist_ok=True)
        p = self._spawn("dbus-daemon", ["dbus-daemon", "--config-file=" + conf, "--nofork",
                                        "--nopidfile", "--print-address=1"],
                        chroot=False, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not p.stdout.readline():
            raise FixtureError("dbus-daemon did not start")

    def _start_udev(self):
        self._spawn("udevd", [UDEVD], stdout=subprocess.DEVNULL,
                    stderr=open(os.path.join(self.work, "udevd.log"), "wb"))
        self._wait_for(lambda: os.path.exists(self.path("/run/udev/control")))
        self.trigger("add")

    def trigger(self, action):
        for name in self.loop_names:
            self.chrooted(["udevadm", "trigger", "--action=" + action,
                           "--subsystem-match=block", "--sysname-match=%s*" % name])
        self.chrooted(["udevadm", "settle", "--timeout=30"])

    def start_udisks(self):
        log = open(os.path.join(self.work, "udisksd.log"), "ab")
        self._spawn("udisksd", [UDISKSD, "--no-debug"], stdout=log, stderr=log)
        self._wait_for(self.udisks_ready, 20)

    def udisks_ready(self):
        p = self.chrooted(["busctl", "--system", "call", "org.freedesktop.DBus", "/",
                           "org.freedesktop.DBus", "NameHasOwner", "s",
                           "org.freedesktop.UDisks2"], check=False)
        return p.out.strip() == "b true"

    def stop_process(self, name):
        p = self.procs.pop(name, None)
        if p is None or p.poll() is not None:
            return
        p.terminate()
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()

    def chrooted(self, argv, check=True, env=None, timeout=120, user_env=None):
        root = self.root

        def prepare():
            kill_with_parent()
            os.chroot(root)
            os.chdir("/")

        environment = {"PATH": PATH, "LANG": "C.UTF-8", "DBUS_SYSTEM_BUS_ADDRESS": BUS_ADDRESS,
                       "HOME": "/root", "USER": "root", "LOGNAME": "root"}
        environment.update(env or {})
        p = subprocess.run(argv, env=environment, preexec_fn=prepare, capture_output=True,
                           timeout=timeout)
        p.out = p.stdout.decode(errors="replace")
        p.err = p.stderr.decode(errors="replace")
        if check and p.returncode != 0:
            raise FixtureError("%s: exit %d: %s" % (argv, p.returncode, p.err))
        return p

    # ------------------------------------------------------------------ state
    def mounts(self):
        """(source, target inside, fstype, options) of every mount inside the machine."""
        result = []
        with open("/proc/self/mountinfo") as f:
            for line in f:
                fields = line.split()
                target = fields[4].replace("\\040", " ")
                if target == self.root or target.startswith(self.root + "/"):
                    sep = fields.index("-")
                    result.append((fields[sep + 2], target[len(self.root):] or "/",
                                   fields[sep + 1], fields[5]))
        return result

    def mounted_at(self, inside):
        return [m for m in self.mounts() if m[1] == inside]

    def mount_points_of(self, p):
        return sorted(m[1] for m in self.mounts() if m[0] == p.node)

    def umount(self, target, seconds=10):
        # A daemon that saw the mount appear may still hold it for a moment.
        end = time.monotonic() + seconds
        while True:
            p = sh(["umount", self.path(target)], check=False)
            if p.returncode == 0:
                break
            if "busy" not in p.stderr or time.monotonic() > end:
                raise FixtureError("umount %s: exit %d: %s" % (self.path(target), p.returncode,
                                                                p.stderr.strip()))
            time.sleep(0.2)
        # A FUSE daemon ends with its mount.
        self.stop_process("ntfs-3g " + target)

    def unmount_part(self, p):
        for target in sorted(self.mount_points_of(p), key=len, reverse=True):
            self.umount(target)

    def partition_mounts(self):
        """Targets inside the machine of every mount of a fixture partition but "/",
        deepest first."""
        nodes = {p.node for p in self.parts}
        return sorted((m[1] for m in self.mounts() if m[0] in nodes and m[1] != "/"),
                      key=lambda t: (t.count("/"), t), reverse=True)

    def unmount_all_but_root(self):
        """The reboot, as far as it can go with the machine's daemons rooted on "/"."""
        for target in self.partition_mounts():
            self.umount(target)

    def reset(self):
        """Back to the machine as it was brought up: services running, every partition
        where the table mounts it, no flag, no plan, no index, the original fstab."""
        if "udevd" not in self.procs:
            self._start_udev()
        if "udisksd" not in self.procs:
            self.start_udisks()
        self.unmount_all_but_root()
        self._mount_parts()
        self.write("/etc/fstab", self.fstab())
        # A full backup case names another partition the data partition.
        self.write("/recovery/backup/_ovd_data.info", self.part("data").uuid + "\n")
        for inside in ("/live.flag", "/recovery/backup/recovery.json",
                       "/recovery/backup/savePath.json"):
            if os.path.lexists(self.path(inside)):
                os.remove(self.path(inside))
        shutil.rmtree(self.path("/.flag.d"), ignore_errors=True)

    # ------------------------------------------------------------------ teardown
    def power_off(self):
        """What a power cut leaves to read: every process of the machine ends and every mount
        is undone; the disks stay, for their partitions to be mounted afresh."""
        for name in list(self.procs)[::-1]:
            self.stop_process(name)
        errors = []
        self._unmount_all(errors)
        if errors:
            raise FixtureError("; ".join(errors))

    def reboot(self):
        """Up again after power_off(), on the same disks."""
        for step in (self._make_root, self._mount_system, self._mount_parts,
                     self._write_config, self._start_bus, self._start_udev, self.start_udisks):
            step()

    def stop(self):
        errors = []
        # The daemons first: they hold /run, /dev and "/". FUSE daemons end with their mounts.
        for name in [n for n in self.procs if not n.startswith("ntfs-3g")][::-1]:
            self.stop_process(name)
        if self.work:
            self._unmount_all(errors)
        for name in list(self.procs):
            self.stop_process(name)
        for dev in self.loops.values():
            if not self._attached(dev):
                continue
            # Partitions added by hand outlive the detach of their disk: remove them first.
            sh(["partx", "-d", dev], check=False)
            p = sh(["losetup", "-d", dev], check=False)
            if p.returncode != 0:
                errors.append(p.stderr.strip())
        if self.work and not self._mounted_under(self.work):
            shutil.rmtree(self.work, ignore_errors=True)
        if errors:
            raise FixtureError("; ".join(errors))

    def _mounted_under(self, top):
        with open("/proc/self/mountinfo") as f:
            return [line.split()[4] for line in f
                    if line.split()[4] == top or line.split()[4].startswith(top + "/")]

    def _unmount_all(self, errors):
        for target in reversed(self._mounted_under(self.work)):
            target = target.replace("\\040", " ")
            if sh(["umount", target], check=False).returncode != 0:
                p = sh(["umount", "-l", target], check=False)
                if p.returncode != 0:
                    errors.append(p.stderr.strip())

    def _attached(self, dev):
        back = "/sys/block/%s/loop/backing_file" % os.path.basename(dev)
        try:
            with open(back) as f:
                return f.read().startswith(self.work + "/")
        except OSError:
            return False

    def leftovers(self):
        """What of the machine is still there: loop devices on its images, mounts under its
        directory, processes started for it or rooted in it."""
        left = ["loop device " + dev for dev in self.loops.values() if self._attached(dev)]
        if self.work:
            left += ["mount " + t for t in self._mounted_under(self.work)]
        left += ["process %s" % name for name, p in self.procs.items() if p.poll() is None]
        return left
