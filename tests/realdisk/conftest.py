import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import realmachine  # noqa: E402

FEATURES = realmachine.probe_features()
NEEDED = ["root", "loop", "losetup", "partx", "sfdisk", "udevadm", "dbus-daemon", "blkid",
          "udisksd", "udevd", "mkfs.ext4", "fs:ext4"]
SHIM = os.path.join(REPO, "tests", "machine", "faultshim.c")
# Filled by the cases, printed at the end of the run.
REPORT = []


def built(relative):
    build = os.environ.get("ORVIK_BUILD_DIR")
    found = glob.glob(os.path.join(build, relative)) if build else []
    found = found or glob.glob(os.path.join(REPO, "build*", relative))
    # Absolute and without symlinks: it is run inside the machine, whose working directory
    # is "/", and found there at the path its library's run path was built with.
    return os.path.realpath(max(found, key=os.path.getmtime)) if found else None


def missing(*features):
    """The first reason why one of the features is not there, or None."""
    for f in features:
        if FEATURES.get(f):
            return "%s: %s" % (f, FEATURES[f])
    return None


def machine_tool():
    """The tool's absolute path, once everything a machine needs is seen to be there. A run
    ended by a signal still takes its machines down (their teardown runs)."""
    signal.signal(signal.SIGTERM, on_signal)
    reason = missing(*NEEDED)
    if reason:
        pytest.skip(reason)
    tool = os.environ.get("ORVIK_TOOL") or built("src/tool/main/orvik-recovery-tool")
    if not tool:
        pytest.skip("the tool is not built")
    return os.path.realpath(tool)


def on_signal(number, frame):
    raise KeyboardInterrupt("signal %d" % number)


@pytest.fixture(scope="session")
def machine():
    tool = machine_tool()
    realmachine.clean_stale()
    m = realmachine.RealMachine(features=FEATURES, tool=tool)
    m.start()
    yield m
    m.stop()
    left = m.leftovers()
    REPORT.append("left behind: %s" % (", ".join(left) or "nothing"))
    assert not left


@pytest.fixture(scope="session")
def fault_shim():
    """The fault matrix's LD_PRELOAD shim, built once: fault_shim(m) copies it into the
    machine's /run and gives its path there, for the tool's LD_PRELOAD."""
    if not shutil.which("cc"):
        pytest.skip("no C compiler to build the fault shim")
    work = tempfile.mkdtemp(prefix="orvik-realdisk-shim-")
    library = os.path.join(work, "faultshim.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, SHIM, "-ldl"], check=True)

    def install(m):
        shutil.copy(library, m.path("/run/realdisk/faultshim.so"))
        return "/run/realdisk/faultshim.so"

    yield install
    shutil.rmtree(work, ignore_errors=True)


@pytest.fixture
def fresh(machine):
    machine.reset()
    return machine


def pytest_terminal_summary(terminalreporter):
    if REPORT:
        terminalreporter.section("real disk stack")
        for line in REPORT:
            terminalreporter.write_line(line)
