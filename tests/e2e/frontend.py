"""Helpers of the front end's end-to-end tests: each test runs the built tool in a
fresh simulated machine (tests/machine) and looks at what it left behind."""

import copy
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "machine"))

import simmachine  # noqa: E402

TOOL = "orvik-recovery-tool"

# The plain machine's partitions.
REC_UUID = "7b5c1d93-2f4e-4a8b-9c6d-e1f2a3b4c5d6"
BOOT_UUID = "4f1c2a5e-0b7d-4e51-9a43-1d2e3f4a5b61"
ROOT_UUID = "9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42"
DATA_UUID = "2e7a9c41-8b3d-4f6a-a1e5-c4d3b2a19f83"
USB_UUID = "5a6b7c8d-9e0f-4a1b-8c2d-3e4f5a6b7c8d"
RESERVE = 1610612736

REC = "/recovery"
TASK_FILE = REC + "/backup/recovery.json"
INDEX_FILE = REC + "/backup/savePath.json"
OLD_FLAG = "/live.flag"
NEW_FLAG = "/.flag.d/live.flag"
STATE = [OLD_FLAG, NEW_FLAG, TASK_FILE, INDEX_FILE]

SUCCESS = '"Configuration successful, please reboot your system"'
TIME_STAMP = r"\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d"


def scenario(name="plain", **top):
    s = simmachine.load_scenario(name)
    s = copy.deepcopy(s)
    s.update(top)
    return s


def device(s, name):
    for d in s["devices"]:
        if d["name"] == name:
            return d
    raise KeyError(name)


def patch(s, name, **fields):
    device(s, name).update(fields)
    return s


def add_device(s, dev, after=None):
    index = len(s["devices"])
    if after is not None:
        index = [d["name"] for d in s["devices"]].index(after) + 1
    s["devices"].insert(index, dev)
    return s


def recovery_files(s, **files):
    """Replaces the marker and image files of the plain recovery partition (None drops)."""
    rec = [d for d in s["devices"] if d.get("uuid") == REC_UUID][0]
    content = dict(rec.get("files", {}))
    for name, text in files.items():
        key = "backup/" + name.replace("__", ".")
        if text is None:
            content.pop(key, None)
        else:
            content[key] = text
    rec["files"] = content
    return s


def tool_path():
    """The built tool; the machine sees the repository at its own path."""
    return simmachine.find_tool()


class Outcome:
    """One run of the tool and what the machine looked like afterwards."""

    def __init__(self, result, collect):
        self.r = result
        self.code = result.returncode
        self.out = result.stdout
        self.err = result.stderr
        self.files = result.files
        self.calls = result.calls
        self.programs = result.programs
        self.mounts = result.mounts
        self.collected = collect

    def text(self, path):
        data = self.files.get(path)
        if data is None or isinstance(data, list):
            return data
        return data.decode() if isinstance(data, bytes) else data

    def json(self, path):
        text = self.text(path)
        return None if text is None else json.loads(text)

    def exists(self, path):
        return self.files.get(path) is not None

    def ran(self, *argv):
        """True when a program was started whose argv begins with argv (the program by its
        base name)."""
        want = [os.path.basename(argv[0])] + list(argv[1:])
        for p in self.programs:
            got = [os.path.basename(p[0])] + list(p[1:len(argv)])
            if got == want:
                return True
        return False

    def started(self, name):
        """argv of every start of the program name."""
        return [list(p) for p in self.programs if os.path.basename(p[0]) == name]

    def __repr__(self):
        return "exit %s\nstdout:\n%s\nstderr:\n%s" % (self.code, self.out, self.err)


def run(s, *args, before=(), collect=(), env=None, user=None, argv=None):
    """Runs the tool with args in a fresh machine built from scenario s."""
    paths = list(dict.fromkeys(STATE + list(collect)))
    environment = {"TZ": "UTC", "LC_ALL": "en_US.UTF-8", "QT_MESSAGE_PATTERN": "%{message}"}
    environment.update(env or {})
    machine = simmachine.Machine(s)
    result = machine.run(argv or [TOOL] + list(args), collect=paths, before=list(before),
                         env=environment, user=user, timeout=120)
    return Outcome(result, paths)


def space_numbers(err):
    """(available, required) from the SpaceError message, or None."""
    m = re.search(r"A minimum of (-?\d+) bytes is required for backup\. "
                  r"Free space available: (-?\d+)\.", err)
    return None if m is None else (int(m.group(2)), int(m.group(1)))


def assert_nothing_written(o, before=None):
    """No flag, no task file, no index: as they were before the run (absent by default)."""
    before = before or {}
    for path in STATE:
        expected = before.get(path)
        got = o.files.get(path)
        if isinstance(expected, str):
            expected = expected.encode()
        assert got == expected, "%s changed: %r\n%r" % (path, got, o)
