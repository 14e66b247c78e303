"""The simulated machine for end-to-end tests.

    from simmachine import Machine, load_scenario
    r = Machine("plain").run(["orvik-recovery-tool", "-a", "system_backup", "-p", "/data/bk"],
                             collect=["/live.flag", "/recovery/backup/recovery.json"])

Each run builds a fresh machine in private mount and PID namespaces: an overlay of "/" whose
upper layer is a temporary tmpfs, the scenario's devices as tmpfs mounts named after the
device nodes, a private system bus with a fake udisks2 service, and fake external programs
first on PATH. The command runs chrooted into it; nothing it writes reaches the host. See
README.md beside this file for the scenario format.
"""

import base64
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import machinelib  # noqa: E402

load_scenario = machinelib.load_scenario
generate_scenario = machinelib.generate_scenario
TOOL_NAME = "orvik-recovery-tool"
SANDBOX_PYTHON = "/usr/bin/python3"


class MachineError(RuntimeError):
    """The machine itself could not be built or run (not a failure of the command)."""


class Result:
    def __init__(self, raw):
        self.raw = raw
        self.returncode = raw["returncode"]
        self.signal = raw.get("signal")
        self.timed_out = raw.get("timed_out", False)
        self.wall = raw.get("wall", 0.0)
        self.stdout_bytes = base64.b64decode(raw.get("stdout_b64", ""))
        self.stderr_bytes = base64.b64decode(raw.get("stderr_b64", ""))
        self.stdout = self.stdout_bytes.decode("utf-8", "replace")
        self.stderr = self.stderr_bytes.decode("utf-8", "replace")
        self.calls = raw.get("calls", [])
        self.programs = raw.get("programs", [])
        self.mounts = [(m["source"], m["target"], m["fstype"],
                        m["mount_options"] + ("," + m["super_options"]
                                              if m["super_options"] else ""))
                       for m in raw.get("mounts", [])]
        self.files = {}
        for path, value in raw.get("files", {}).items():
            if value is None:
                self.files[path] = None
            elif "dir" in value:
                self.files[path] = value["dir"]
            elif "data" in value:
                self.files[path] = base64.b64decode(value["data"])
            else:
                self.files[path] = None
        self.before = raw.get("before", [])
        self.start_error = raw.get("start_error")  # why the command could not start

    def mount_of(self, target):
        """(source, target, fstype, options) of the last mount at target, or None."""
        found = None
        for m in self.mounts:
            if m[1] == target:
                found = m
        return found

    def programs_named(self, name):
        return [p for p in self.programs if p and p[0] == name]

    def __repr__(self):
        return "Result(returncode=%r, stdout=%r, stderr=%r)" % (
            self.returncode, self.stdout[-2000:], self.stderr[-2000:])


def find_tool():
    """ORVIK_TOOL, else the newest build*/src/tool/main/orvik-recovery-tool of the repo."""
    env = os.environ.get("ORVIK_TOOL")
    if env:
        return os.path.abspath(env)
    candidates = glob.glob(os.path.join(REPO, "build*", "src", "tool", "main", TOOL_NAME))
    candidates = [c for c in candidates if os.access(c, os.X_OK)]
    if not candidates:
        raise MachineError("no built %s found (set ORVIK_TOOL or build it under %s/build*)"
                           % (TOOL_NAME, REPO))
    return max(candidates, key=os.path.getmtime)


tool_path = find_tool

def exposed_paths(program):
    """Host directories a run needs at their own paths inside the machine: the repository,
    the build, and the program's directory and libraries when it is one of ours."""
    paths = [REPO]
    build = os.environ.get("ORVIK_BUILD_DIR")
    if build:
        paths.append(os.path.abspath(build))
    if program and os.path.isabs(program) and not program.startswith(machinelib.SYSTEM_DIRS) \
            and os.path.isfile(program):
        paths.append(os.path.dirname(program))
        paths += library_dirs(program)
    return paths


def library_dirs(program):
    """Directories of the shared libraries the program loads from outside the system's."""
    try:
        out = subprocess.run(["ldd", program], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=30).stdout.decode()
    except (OSError, subprocess.TimeoutExpired):
        return []
    found = re.findall(r"=> (/\S+)", out)
    return sorted({os.path.dirname(p) for p in found
                   if not p.startswith(machinelib.SYSTEM_DIRS)})


def namespace_prefix():
    """The unshare command line that puts the sandbox in its own namespaces. A normal user
    gets a user namespace in which they are root, where the kernel allows that."""
    base = ["unshare", "--mount", "--pid", "--fork", "--propagation", "private",
            "--kill-child"]
    if os.geteuid() == 0:
        return base
    probe = subprocess.run(["unshare", "--map-root-user", "--mount", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if probe.returncode != 0:
        raise MachineError(
            "the simulated machine needs root: run the tests as root, or on a kernel that "
            "allows user namespaces for normal users (unshare said: %s)"
            % probe.stderr.decode(errors="replace").strip())
    return base[:1] + ["--map-root-user"] + base[1:]


class Machine:
    def __init__(self, scenario="plain"):
        self.scenario = machinelib.jsonable_contents(
            machinelib.normalize(load_scenario(scenario)))

    def run(self, argv, collect=(), before=(), env=None, user=None, timeout=120, stdin=None,
            keep=False):
        argv = list(argv)
        if argv and argv[0] == TOOL_NAME:
            argv[0] = find_tool()
        expose = exposed_paths(argv[0] if argv else None)
        work = tempfile.mkdtemp(prefix="simmachine-")
        try:
            request = {"scenario": self.scenario, "argv": argv, "collect": list(collect),
                       "before": list(before), "env": env or {}, "user": user,
                       "timeout": timeout, "stdin": stdin, "expose": expose}
            with open(os.path.join(work, "request.json"), "w") as f:
                json.dump(request, f)
            cmd = namespace_prefix() + [SANDBOX_PYTHON, os.path.join(HERE, "sandbox.py"), work]
            try:
                proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      stdin=subprocess.DEVNULL, timeout=timeout + 120)
            except subprocess.TimeoutExpired:
                raise MachineError("the simulated machine did not finish")
            result_path = os.path.join(work, "out", "result.json")
            if not os.path.exists(result_path):
                raise MachineError("the simulated machine failed (status %d): %s%s" % (
                    proc.returncode, proc.stdout.decode(errors="replace"),
                    proc.stderr.decode(errors="replace")))
            with open(result_path) as f:
                raw = json.load(f)
            if "setup_error" in raw:
                raise MachineError(raw["setup_error"])
            return Result(raw)
        finally:
            if keep:
                sys.stderr.write("simmachine: kept %s\n" % work)
            else:
                remove_tree(work)


def remove_tree(path):
    """Removes a work directory; the namespace is gone, so nothing is mounted in it."""
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path):
        # A user-namespace run leaves files owned by the mapped root: they are ours too.
        subprocess.run(["rm", "-rf", "--one-file-system", path], check=False)
