"""The Debian package builds and carries the tool, its translation and its manual page."""
import gzip
import re
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import PACKAGE, REPO

TOOL = "./usr/bin/orvik-recovery-tool"
QM = "./usr/share/orvik-recovery-gui/translations/tool/orvik-recovery-tool_zh_CN.qm"
MAN = "./usr/share/man/man8/orvik-recovery-tool.8.gz"
QM_MAGIC = bytes.fromhex("3cb86418caef9c95cd211cbf60a1bddd")


def contents(deb):
    """dpkg-deb -c as {path: (mode, owner)}."""
    out = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True,
                         text=True).stdout
    entries = {}
    for line in out.splitlines():
        fields = line.split()
        entries[fields[5]] = (fields[0], fields[1])
    return entries


@pytest.mark.parametrize("path,mode", [
    (TOOL, "-rwxr-xr-x"),
    (QM, "-rw-r--r--"),
    (MAN, "-rw-r--r--"),
])
def test_package_lists_file(deb, path, mode):
    entries = contents(deb)
    assert path in entries, "%s missing from %s" % (path, sorted(entries))
    assert entries[path] == (mode, "root/root")


def test_package_holds_nothing_outside_usr(deb):
    stray = [p for p in contents(deb) if not p.startswith("./usr/") and p != "./" and p != "./usr/"]
    assert stray == []


def test_control_fields(deb):
    def field(name):
        return subprocess.run(["dpkg-deb", "-f", str(deb), name], check=True,
                              capture_output=True, text=True).stdout.strip()
    arch = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                          text=True).stdout.strip()
    assert field("Package") == PACKAGE
    assert field("Architecture") == arch
    # dh_shlibdeps found the Qt libraries the binary links.
    depends = field("Depends")
    for lib in ("libqt5core5a", "libqt5dbus5", "libc6"):
        assert re.search(r"\b%s\b" % lib, depends), depends


def test_packaged_tool_prints_its_help(unpacked):
    proc = subprocess.run([str(unpacked / TOOL), "--help"], capture_output=True, text=True,
                          env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"}, timeout=60)
    assert proc.returncode == 0, proc.stderr
    for option in ("--action <type>", "--path <directory>", "--format", "--reboot",
                   "--locale", "--update-initramfs"):
        assert option in proc.stdout


def test_packaged_tool_reports_the_package_version(deb, unpacked):
    # debian/changelog gives the package's version, CMake's project() the binary's.
    version = subprocess.run(["dpkg-deb", "-f", str(deb), "Version"], check=True,
                             capture_output=True, text=True).stdout.strip()
    proc = subprocess.run([str(unpacked / TOOL), "--version"], capture_output=True, text=True,
                          env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"}, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "orvik-recovery-tool %s\n" % version)


def ts_sources():
    tree = ET.parse(REPO / "translations" / "orvik-recovery-tool_zh_CN.ts")
    return {m.findtext("source") for m in tree.iter("message")}


def test_packaged_translation_holds_every_text(unpacked, tmp_path):
    qm = unpacked / QM
    assert qm.read_bytes()[:16] == QM_MAGIC
    # Read the compiled catalogue back: every source text of the .ts is in it, translated.
    back = tmp_path / "back.ts"
    subprocess.run(["lconvert", "-i", str(qm), "-o", str(back)], check=True)
    messages = {m.findtext("source"): m.findtext("translation")
                for m in ET.parse(back).iter("message")}
    assert set(messages) == ts_sources()
    assert all(messages.values())


def test_packaged_manual_page_is_the_source(unpacked):
    with gzip.open(unpacked / MAN) as fh:
        assert fh.read() == (REPO / "docs" / "orvik-recovery-tool.8").read_bytes()
