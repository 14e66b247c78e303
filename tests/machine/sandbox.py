#!/usr/bin/python3
"""The inside of the simulated machine. simmachine.Machine.run starts this script as the
first process of fresh mount and PID namespaces (unshare -m -p -f); it must never run in
the host's own namespaces, since it mounts over "/" paths.

It reads <work>/request.json, builds the sandbox under <work>/root, runs the command there
and writes <work>/out/result.json. Everything lives in the namespace: when this process
ends, the kernel removes every mount and kills every process it started.
"""

import base64
import errno
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, HERE)
import machinelib as ml  # noqa: E402
from busconfig import BUS_CONFIG  # noqa: E402

SIM = "/run/simmachine"          # the machine's own state, inside the sandbox
FAKES = SIM + "/bin"
BUS_SOCKET = "/run/dbus/system_bus_socket"
BUS_ADDRESS = "unix:path=" + BUS_SOCKET
HOST_NODES = ["null", "zero", "random", "urandom", "tty", "full"]
FAKE_PROGRAMS = ["lsblk", "dmsetup", "du", "dpkg", "orvik-clone", "dumpe2fs", "ntfsinfo",
                 "xfs_db", "btrfs", "dosfsck", "fsck.fat", "debugreiserfs", "nilfs-tune",
                 "jfs_debugfs", "debugfs.reiser4", "update-initramfs", "sudo", "blkid",
                 "fsck", "systemctl", "reboot", "orvik-repair-pkexec"]
PASSTHROUGH = ["df", "mount", "umount", "rm", "mkdir", "touch", "date", "grep", "awk", "cat",
               "ls", "sh", "bash"]
PATH_DIRS = ["/usr/sbin", "/usr/bin", "/sbin", "/bin"]



class SetupError(Exception):
    pass


# ------------------------------------------------------------------ helpers run chrooted

def _write_files(files):
    for path, content in files.items():
        parent = os.path.dirname(path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        if content is None:
            if os.path.lexists(path):
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
            continue
        data = base64.b64decode(content)
        if os.path.lexists(path) and not os.path.isdir(path):
            os.remove(path)  # a new file, never a write through a link or into the host's
        with open(path, "wb") as f:
            f.write(data)
    return True


def _make_mount_dir(path):
    """The directory to mount a host directory on, and where it lies once the sandbox's own
    links are followed (the mount must land inside the sandbox)."""
    os.makedirs(path, exist_ok=True)
    return os.path.realpath(path)


def _open_for_others(dirs, program):
    """Lets another user reach the exposed directories and run the program: adds the
    search bit on every directory on the way (a clone under /root, mode 0700) and read and
    execute on the program. The changes land in the sandbox's own layers."""
    wanted = [(p, stat.S_IXOTH) for d in dirs for p in _ancestors(d)]
    if program is not None:
        wanted += [(p, stat.S_IXOTH) for p in _ancestors(os.path.dirname(program))]
        wanted.append((program, stat.S_IROTH | stat.S_IXOTH))
    for path, bits in wanted:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            continue
        if mode & bits != bits:
            try:
                os.chmod(path, stat.S_IMODE(mode) | bits)
            except OSError:
                pass  # a read-only exposure: the start failure will say which directory
    return True


def _ancestors(path):
    parts = [p for p in path.split("/") if p]
    return ["/" + "/".join(parts[:i]) for i in range(len(parts) + 1)]


def _start_failure(argv0, path_dirs, err, uid, on_host):
    """Why the command could not start inside the machine: (exit status, message)."""
    path = argv0
    if "/" not in argv0:
        found = [os.path.join(d, argv0) for d in path_dirs
                 if os.path.lexists(os.path.join(d, argv0))]
        if not found:
            return 127, "cannot start %s: no such program on PATH (%s) inside the machine" % (
                argv0, ":".join(path_dirs))
        path = found[0]
    if not os.path.exists(path):
        where = "; it exists on the host, but the machine does not show it" if on_host else ""
        return 127, "cannot start %s: no such file inside the machine%s" % (path, where)
    if err == errno.EACCES:
        closed = [p for p in _ancestors(os.path.dirname(path)) if not _may(p, uid, os.X_OK)]
        why = ("directory %s is not searchable" % closed[0] if closed else
               "it is not executable (mode %o)" % stat.S_IMODE(os.stat(path).st_mode))
        return 126, "cannot start %s as uid %d: %s" % (path, uid, why)
    if err == errno.ENOENT:
        with open(path, "rb") as f:
            first = f.readline(256).rstrip(b"\n")
        what = ("its interpreter %s" % first[2:].decode(errors="replace").strip()
                if first.startswith(b"#!") else "its program loader")
        return 126, "cannot start %s: %s is missing inside the machine" % (path, what)
    if err == errno.ENOEXEC:
        return 126, "cannot start %s: not a program this machine can run" % path
    return 126, "cannot start %s: %s" % (path, os.strerror(err))


def overlay_escape(path):
    """A path as one overlayfs option value: its separators taken literally."""
    return "".join("\\" + c if c in "\\,:" else c for c in path)


def _may(path, uid, bit):
    """Whether uid may use path (mode bits only; root may search every directory)."""
    st = os.stat(path)
    if uid == 0:
        return True
    shift = 6 if st.st_uid == uid else 0
    return bool((st.st_mode >> shift) & bit)


def _make_dirs(paths):
    for p in paths:
        os.makedirs(p, exist_ok=True)
    return True


def _hide_programs(names):
    """Removes programs from the sandbox's PATH (the overlay keeps the host's copy)."""
    for name in names:
        for d in PATH_DIRS:
            p = os.path.join(d, name)
            if os.path.lexists(p) and not os.path.isdir(p):
                os.remove(p)
    return True


def _collect(paths):
    result = {}
    for p in paths:
        try:
            if os.path.isdir(p):
                result[p] = {"dir": sorted(os.listdir(p))}
            elif os.path.lexists(p):
                with open(p, "rb") as f:
                    result[p] = {"data": base64.b64encode(f.read()).decode()}
            else:
                result[p] = None
        except OSError as e:
            result[p] = {"error": str(e)}
    return result


def _mountinfo():
    return ml.read_mountinfo("/proc/self/mountinfo")


def _populate_dev(devices):
    for sub in ("mapper", "disk/by-uuid", "disk/by-label", "disk/by-partuuid",
                "disk/by-partlabel", "shm", "pts"):
        os.makedirs("/dev/" + sub, exist_ok=True)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, "/dev/" + name)
    open("/dev/mapper/control", "w").close()
    for d in devices:
        node = "/dev/" + d["kname"]
        if not os.path.exists(node):
            open(node, "w").close()
        if d["mapper"]:
            _link("../" + d["kname"], "/dev/mapper/" + d["mapper"])
        for key, sub in (("uuid", "by-uuid"), ("label", "by-label"),
                         ("partuuid", "by-partuuid"), ("partlabel", "by-partlabel")):
            if d[key]:
                _link("../../" + d["kname"], "/dev/disk/%s/%s" % (sub, udev_escape(d[key])))
    return True


def _link(target, path):
    if os.path.lexists(path):
        os.remove(path)
    os.symlink(target, path)


def udev_escape(text):
    """udev's encoding of link names: blanks, slashes and the like as \\xNN."""
    return "".join(c if c.isalnum() or c in "#+-.:=@_" or ord(c) > 127 else "\\x%02x" % ord(c)
                   for c in text)


# ------------------------------------------------------------------ the machine

class Sandbox:
    def __init__(self, work):
        self.work = work
        self.req = ml.load_json(os.path.join(work, "request.json"))
        self.s = ml.normalize(self.req["scenario"])
        self.root = os.path.join(work, "root")
        self.state = os.path.join(work, "state")
        self.out = os.path.join(work, "out")
        self.procs = []
        self.notes = []

    def chrooted(self, func, *args):
        return ml.in_root(self.root, func, *args)

    # -------------------------------------------------------------- set-up
    def mount_root(self):
        for d in (self.root, self.state, self.out, os.path.join(self.state, "store")):
            os.makedirs(d, exist_ok=True)
        rootdev = ml.root_device(self.s)
        upper = os.path.join(self.state, "upper")
        os.makedirs(upper, exist_ok=True)
        size = int(rootdev["size"]) if rootdev else 64 << 30
        ml.sys_mount("simroot-upper", upper, "tmpfs", 0,
                     "size=%d,mode=0755" % ml.tmpfs_size(size))
        os.makedirs(upper + "/u")
        os.makedirs(upper + "/w")
        source = rootdev["mount_source"] if rootdev else "overlay"
        try:
            ml.sys_mount(source, self.root, "overlay", 0,
                         "lowerdir=/,upperdir=%s/u,workdir=%s/w" % (upper, upper))
        except OSError as e:
            raise SetupError("cannot mount the overlay of / (%s); the simulated machine needs "
                             "root, or a kernel that allows overlay mounts in a user "
                             "namespace" % e)
        self.upper = upper

    def mount_system(self):
        r = self.root
        ml.sys_mount("proc", r + "/proc", "proc", 0, None)
        ml.sys_mount("tmpfs", r + "/tmp", "tmpfs", 0, "mode=1777")
        ml.sys_mount("tmpfs", r + "/run", "tmpfs", 0, "mode=0755")
        ml.sys_mount("tmpfs", r + "/dev", "tmpfs", 0, "mode=0755")
        for name in HOST_NODES:
            node = r + "/dev/" + name
            open(node, "w").close()
            ml.sys_mount("/dev/" + name, node, None, ml.MS_BIND)
        self.chrooted(_populate_dev, self.s["devices"])
        for sub in ("bin", "lib", "out"):
            os.makedirs(r + SIM + "/" + sub, exist_ok=True)
        os.makedirs(r + "/run/dbus", exist_ok=True)
        # The command line lives on a small tmpfs of its own: a file of the host's disk
        # would put the host's device name into the sandbox's mount table.
        misc = os.path.join(self.state, "misc")
        os.makedirs(misc, exist_ok=True)
        ml.sys_mount("cmdline", misc, "tmpfs", 0, "size=64k,mode=0755")
        cmdline = os.path.join(misc, "cmdline")
        with open(cmdline, "w") as f:
            f.write(self.s["cmdline"])
        ml.sys_mount(cmdline, r + "/proc/cmdline", None, ml.MS_BIND)
        ml.sys_mount(None, r + "/proc/cmdline", None, ml.MS_REMOUNT | ml.MS_BIND | ml.MS_RDONLY)

    def mount_devices(self):
        jobs = []
        for d in self.s["devices"]:
            for target in d["mount"]:
                if target != "/":
                    jobs.append((target.count("/"), target, d))
        jobs.sort(key=lambda j: j[0])
        # One chrooted helper makes every mount point (a fork per directory is slow).
        self.chrooted(_make_dirs, [j[1] for j in jobs] +
                      [p for pair in self.s["binds"] for p in pair])
        for _, target, d in jobs:
            ml.mount_device(self.state, self.root, d, target, make_dir=False)
        for src, dst in self.s["binds"]:
            ml.sys_mount(os.path.join(self.root, ml.safe_relative(src)),
                         os.path.join(self.root, ml.safe_relative(dst)), None, ml.MS_BIND)

    def write_content(self):
        s = self.s
        files = {}

        def put(path, text):
            files[path] = None if text is None else base64.b64encode(
                ml.content_bytes(text)).decode()

        for p in ("/live.flag", "/.flag.d"):
            put(p, None)
        for p in s["remove"]:
            put(p, None)
        put("/etc/fstab", s["fstab"])
        conf = s.get("recovery_conf")
        if conf is None and s["recovery_uuid"] is not None:
            conf = "UUID=%s\n" % s["recovery_uuid"]
        put("/etc/orvik/system-recovery.conf", conf)
        put("/usr/lib/orvik/desktop-version",
            None if s["desktop_type"] is None else "[Release]\nType=%s\n" % s["desktop_type"])
        osv = s["os_version"]
        put("/etc/os-version", None if osv is None else
            "[Version]\n" + "".join("%s=%s\n" % kv for kv in osv.items()))
        rootdev = ml.root_device(s)
        if rootdev:
            for rel, content in rootdev["files"].items():
                put("/" + ml.safe_relative(rel), content)
        self.chrooted(_make_dirs, s["dirs"])
        for path, content in s["files"].items():
            put(path, content)
        self.chrooted(_write_files, files)
        if rootdev and rootdev["avail"] is not None:
            ml.set_available(self.upper, rootdev["avail"])

    def install_fakes(self):
        r = self.root
        lib = r + SIM + "/lib"
        for name in ("machinelib.py", "fakeprog.py", "logpass.sh"):
            shutil.copy(os.path.join(HERE, name), lib)
            os.chmod(os.path.join(lib, name), 0o755)
        with open(r + SIM + "/scenario.json", "w") as f:
            json.dump(self.s, f)
        open(r + SIM + "/programs.log", "w").close()
        os.chmod(r + SIM + "/programs.log", 0o666)
        missing = [n for n, rule in self.s["programs"].items()
                   if isinstance(rule, dict) and rule.get("missing")]
        faulty = set(self.s["programs"])
        for name in sorted((set(FAKE_PROGRAMS) | faulty) - set(missing)):
            os.symlink(SIM + "/lib/fakeprog.py", r + FAKES + "/" + name)
        for name in sorted(set(PASSTHROUGH) - faulty):
            os.symlink(SIM + "/lib/logpass.sh", r + FAKES + "/" + name)
        if missing:
            self.chrooted(_hide_programs, missing)

    def expose_host_paths(self):
        """The repository, the build and the tool's own libraries must be reachable at their
        own paths inside, wherever they lie on the host: also under a directory the scenario
        replaces (/home, /var, /tmp ...). Each is an overlay of the host's directory with an
        upper layer of the machine's own, so nothing written inside reaches the host."""
        exposed = []
        for path in sorted(set(self.req.get("expose", [])), key=lambda p: p.count("/")):
            if not os.path.isdir(path) or path.startswith(ml.SYSTEM_DIRS):
                continue
            # Already reachable through a directory exposed before it: a mount point made
            # there would also hide what that directory shows.
            if any(path == d or path.startswith(d.rstrip("/") + "/") for d in exposed):
                continue
            inside = self.chrooted(_make_mount_dir, path)
            self.mount_exposed(path, os.path.join(self.root, ml.safe_relative(inside)),
                               len(exposed))
            exposed.append(path)
            self.notes.append("exposed %s in the sandbox" % path)
        if self.req.get("user") is not None:
            argv0 = self.req["argv"][0]
            self.chrooted(_open_for_others, exposed, argv0 if argv0.startswith("/") else None)

    def mount_exposed(self, path, target, index):
        if not hasattr(self, "exposed_layers"):
            self.exposed_layers = os.path.join(self.state, "exposed")
            os.makedirs(self.exposed_layers)
            ml.sys_mount("simexposed", self.exposed_layers, "tmpfs", 0, "mode=0755")
        layer = os.path.join(self.exposed_layers, str(index))
        os.makedirs(layer + "/u")
        os.makedirs(layer + "/w")
        try:
            ml.sys_mount("simexposed", target, "overlay", 0,
                         "lowerdir=%s,upperdir=%s/u,workdir=%s/w"
                         % (overlay_escape(path), layer, layer))
        except OSError:
            # A file system overlayfs cannot stack on: read-only, still never written.
            ml.sys_mount(path, target, None, ml.MS_BIND)
            ml.sys_mount(None, target, None, ml.MS_REMOUNT | ml.MS_BIND | ml.MS_RDONLY)

    # -------------------------------------------------------------- services
    def start_bus(self):
        conf = os.path.join(self.state, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONFIG % (self.root + BUS_SOCKET))
        p = subprocess.Popen(["dbus-daemon", "--config-file=" + conf, "--nofork",
                              "--nopidfile", "--print-address=1"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL)
        self.procs.append(p)
        line = p.stdout.readline().decode().strip()
        if not line:
            raise SetupError("dbus-daemon did not start: " + p.stderr.read().decode())
        os.chmod(self.root + BUS_SOCKET, 0o666)
        self.host_bus = "unix:path=" + self.root + BUS_SOCKET

    def start_udisks(self):
        if self.s["udisks"].get("absent"):
            return
        with open(os.path.join(self.state, "scenario.json"), "w") as f:
            json.dump(self.s, f)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.host_bus)
        p = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "fake_udisks2.py"),
                              "--address", self.host_bus,
                              "--scenario", os.path.join(self.state, "scenario.json"),
                              "--root", self.root, "--state", self.state,
                              "--log", self.root + SIM + "/udisks-calls.log"],
                             stdout=subprocess.PIPE, stderr=open(
                                 os.path.join(self.state, "udisks.err"), "wb"),
                             stdin=subprocess.DEVNULL, env=env)
        self.procs.append(p)
        self.udisks = p

    def wait_udisks(self):
        p = getattr(self, "udisks", None)
        if p is None:
            return
        line = p.stdout.readline().decode().strip()
        if line != "READY":
            with open(os.path.join(self.state, "udisks.err")) as f:
                raise SetupError("the fake udisks2 service did not start: " + f.read())

    # -------------------------------------------------------------- running
    def tool_env(self, log):
        env = {"PATH": FAKES + ":" + ":".join(PATH_DIRS),
               "DBUS_SYSTEM_BUS_ADDRESS": BUS_ADDRESS, "HOME": "/root", "USER": "root",
               "LOGNAME": "root", "SHELL": "/bin/bash", "LANG": "C.UTF-8", "TERM": "dumb"}
        for key, value in os.environ.items():
            if key.startswith(("ASAN_", "UBSAN_", "LSAN_", "QT_LOGGING", "LLVM_PROFILE")):
                env[key] = value
        for key, value in (self.req.get("env") or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        if not log:
            env["SIMMACHINE_NOLOG"] = "1"
        return env

    def user_ids(self):
        user = self.req.get("user")
        if user is None:
            return None
        with open(self.root + "/etc/passwd") as f:
            for line in f:
                fields = line.split(":")
                if fields[0] == str(user) or (str(user).isdigit() and fields[2] == str(user)):
                    return int(fields[2]), int(fields[3]), fields[5]
        if str(user).isdigit():
            return int(user), int(user), "/"
        raise SetupError("no user %r in the sandbox" % user)

    def spawn(self, argv, env, ids=None, stdin=None):
        root = self.root

        def prepare():
            os.chroot(root)
            os.chdir("/")
            if ids is not None:
                os.setgroups([])
                os.setgid(ids[1])
                os.setuid(ids[0])
            os.setsid()
            for sig in (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM, signal.SIGQUIT):
                signal.signal(sig, signal.SIG_DFL)

        return subprocess.Popen(argv, env=env, preexec_fn=prepare,
                                stdin=subprocess.PIPE if stdin is not None else
                                subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_before(self):
        results = []
        for line in self.req.get("before") or []:
            p = self.spawn(["/bin/sh", "-c", line], self.tool_env(log=False))
            out, err = p.communicate(timeout=120)
            results.append({"line": line, "returncode": p.returncode,
                            "stdout": out.decode(errors="replace"),
                            "stderr": err.decode(errors="replace")})
            if p.returncode != 0:
                break
        return results

    def run_command(self):
        ids = self.user_ids()
        env = self.tool_env(log=True)
        if ids is not None:
            env.update(HOME=ids[2], USER=str(self.req["user"]), LOGNAME=str(self.req["user"]))
        stdin = self.req.get("stdin")
        start = time.monotonic()
        try:
            p = self.spawn(self.req["argv"], env, ids, stdin)
        except OSError as e:
            argv0 = self.req["argv"][0]
            code, message = self.chrooted(
                _start_failure, argv0, env["PATH"].split(":"), e.errno,
                0 if ids is None else ids[0], argv0.startswith("/") and os.path.exists(argv0))
            return {"returncode": code, "signal": None, "timed_out": False, "wall": 0.0,
                    "start_error": message, "stdout_b64": "",
                    "stderr_b64": base64.b64encode((message + "\n").encode()).decode()}
        timed_out = False
        try:
            out, err = p.communicate(input=stdin.encode() if stdin is not None else None,
                                     timeout=self.req.get("timeout") or 120)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(p.pid, signal.SIGKILL)
            out, err = p.communicate()
        wall = time.monotonic() - start
        rc = p.returncode
        sig = None
        if rc < 0:
            sig = -rc
            rc = 128 + sig
        return {"returncode": rc, "signal": sig, "timed_out": timed_out, "wall": wall,
                "stdout_b64": base64.b64encode(out).decode(),
                "stderr_b64": base64.b64encode(err).decode()}

    def log_size(self, name):
        try:
            return os.path.getsize(self.root + SIM + "/" + name)
        except OSError:
            return 0

    def read_log(self, name, offset):
        try:
            with open(self.root + SIM + "/" + name, "rb") as f:
                f.seek(offset)
                return f.read().decode("utf-8", "surrogateescape").splitlines()
        except OSError:
            return []

    def read_programs(self, offset):
        try:
            with open(self.root + SIM + "/programs.log", "rb") as f:
                f.seek(offset)
                data = f.read().decode("utf-8", "surrogateescape")
        except OSError:
            return []
        return [record.split("\x1f")[:-1] for record in data.split("\x1e") if record]

    # -------------------------------------------------------------- whole run
    def run(self):
        result = {"notes": self.notes}
        try:
            self.mount_root()
            self.mount_system()
            self.start_bus()
            self.start_udisks()  # starts while the rest is set up; awaited below
            self.mount_devices()
            self.write_content()
            self.install_fakes()
            self.expose_host_paths()
            self.wait_udisks()
            before = self.run_before()
            result["before"] = before
            if before and before[-1]["returncode"] != 0:
                raise SetupError("a 'before' line failed: %s" % json.dumps(before[-1]))
            calls_at = self.log_size("udisks-calls.log")
            programs_at = self.log_size("programs.log")
            result.update(self.run_command())
            time.sleep(0.05)  # let the service flush the last call's log line
            result["calls"] = self.read_log("udisks-calls.log", calls_at)
            result["programs"] = self.read_programs(programs_at)
            result["mounts"] = self.chrooted(_mountinfo)
            result["files"] = self.chrooted(_collect, self.req.get("collect") or [])
        except (SetupError, ml.MountError, RuntimeError, OSError) as e:
            result["setup_error"] = str(e)
        finally:
            for p in reversed(self.procs):
                if p.poll() is None:
                    p.terminate()
                    try:
                        p.wait(timeout=5)
                    except subprocess.TimeoutExpired:
                        p.kill()
        with open(os.path.join(self.out, "result.json"), "w") as f:
            json.dump(result, f)
        return 0


def main():
    if os.getpid() != 1:
        sys.stderr.write("sandbox.py must be started by simmachine in new namespaces\n")
        return 2
    return Sandbox(sys.argv[1]).run()


if __name__ == "__main__":
    sys.exit(main())
