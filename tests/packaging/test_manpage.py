"""The manual page is well-formed roff and documents what the packaged tool offers."""
import re
import subprocess

import pytest

from conftest import REPO, run_packaged

SOURCE = REPO / "docs" / "orvik-recovery-tool.8"


def render():
    proc = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-ww", str(SOURCE)],
                          capture_output=True, text=True, check=True,
                          env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
    return proc.stdout, proc.stderr


def section(text, name):
    """Body of one top-level section of the rendered page."""
    match = re.search(r"^%s\n(.*?)(?=^[A-Z][A-Z ]+\n|\Z)" % re.escape(name), text, re.S | re.M)
    assert match, "section %s missing" % name
    return match.group(1)


@pytest.fixture(scope="module")
def page():
    return render()[0]


@pytest.fixture(scope="module")
def help_text(unpacked):
    proc = run_packaged(unpacked, ["--help"])
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_roff_has_no_warnings():
    _, warnings = render()
    assert warnings == ""


def test_every_option_of_the_help_is_documented(page, help_text):
    options = section(page, "OPTIONS")
    names = re.findall(r"^\s+((?:-\w, )?--[\w-]+)", help_text, re.M)
    assert len(names) == 11, names  # help, help-all, version and the eight options
    for name in names:
        for form in name.split(", "):
            assert re.search(r"(^|[ ,])%s\b" % re.escape(form), options), form


def test_every_action_of_the_help_is_documented(page, help_text):
    actions = re.findall(r"^\s+(\w+_\w+)\s{2,}", help_text, re.M)
    assert sorted(actions) == sorted(["manual_backup", "system_backup", "manual_restore",
                                      "system_restore", "cancel_backup", "cancel_restore"])
    documented = section(page, "ACTIONS")
    for action in actions:
        assert re.search(r"^\s{7}(\w+, )?%s\b" % action, documented, re.M), action


def test_every_return_value_of_the_help_is_documented(page, help_text):
    codes = [int(c) for c in re.findall(r"^ (-?\d) [A-Z]\w+", help_text, re.M)]
    assert codes == [0, 1, 2, 3, 4, 5, 6, 7, 8, -1]
    documented = [int(c) for c in re.findall(r"^\s{7}(\d+)\s", section(page, "EXIT STATUS"), re.M)]
    # -1 reaches the shell as 255; 9 (cancel failed) is not in the help's table.
    assert documented == sorted({c & 0xFF for c in codes} | {9})


def test_documented_files_are_the_tools_own(page, unpacked):
    """Each path under FILES is one the packaged tool or its library names (UTF-8 or UTF-16
    literal)."""
    binaries = [unpacked / "usr/bin/orvik-recovery-tool"]
    binaries += unpacked.glob("usr/lib/*/liborvik-recovery-utils.so.*.*")
    assert len(binaries) == 2, binaries
    binary = b"".join(b.read_bytes() for b in binaries)
    files = re.findall(r"^ {7}(\S+)$", section(page, "FILES"), re.M)
    assert len(files) >= 12, files
    for path in files:
        # recovery/backup/NAME stands for NAME under the recovery partition's mount point.
        needle = path.rsplit("/", 1)[1] if path.startswith("recovery/") else path
        assert needle.encode() in binary or needle.encode("utf-16-le") in binary, path
