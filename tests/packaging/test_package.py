"""The Debian packages: the tool with its translation, manual page and completion; the shared
library; its development files."""
import gzip
import os
import re
import shutil
import signal
import subprocess
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

import pytest

from conftest import DEV, LIBRARY, PACKAGE, PACKAGES, REPO, run_packaged

TOOL = "./usr/bin/orvik-recovery-tool"
QM = "./usr/share/orvik-recovery-gui/translations/tool/orvik-recovery-tool_zh_CN.qm"
MAN = "./usr/share/man/man8/orvik-recovery-tool.8.gz"
COMPLETION = "./usr/share/bash-completion/completions/orvik-recovery-tool"
QM_MAGIC = bytes.fromhex("3cb86418caef9c95cd211cbf60a1bddd")
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], check=True,
                           capture_output=True, text=True).stdout.strip()
LIBDIR = "./usr/lib/%s/" % MULTIARCH
SONAME = "liborvik-recovery-utils.so.1"
LINK = "lrwxrwxrwx"
ACTIONS = ["manual_backup", "system_backup", "manual_restore", "system_restore",
           "cancel_backup", "cancel_restore"]


def contents(deb):
    """dpkg-deb -c as {path: (mode, owner, link target or None)}."""
    out = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True,
                         text=True).stdout
    entries = {}
    for line in out.splitlines():
        fields = line.split()
        entries[fields[5]] = (fields[0], fields[1], fields[7] if len(fields) > 7 else None)
    return entries


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], check=True,
                          capture_output=True, text=True).stdout.strip()


def dynamic(path, tag):
    """Values of one tag of an ELF file's dynamic section, e.g. NEEDED or SONAME."""
    out = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True,
                         text=True).stdout
    return re.findall(r"\(%s\)\s+.*\[(.*)\]" % tag, out)


@pytest.mark.parametrize("package,path,mode,target", [
    (PACKAGE, TOOL, "-rwxr-xr-x", None),
    (PACKAGE, QM, "-rw-r--r--", None),
    (PACKAGE, MAN, "-rw-r--r--", None),
    (PACKAGE, COMPLETION, "-rw-r--r--", None),
    (LIBRARY, LIBDIR + SONAME + ".0.0", "-rw-r--r--", None),
    (LIBRARY, LIBDIR + SONAME, LINK, SONAME + ".0.0"),
    (DEV, LIBDIR + "liborvik-recovery-utils.so", LINK, SONAME),
    (DEV, "./usr/include/orvik-recovery/utils/AsyncTask/asynctask.h", "-rw-r--r--", None),
    (DEV, "./usr/include/orvik-recovery/platform/udisks/odiskmanager.h", "-rw-r--r--", None),
    (DEV, LIBDIR + "cmake/OrvikRecoveryUtils/OrvikRecoveryUtilsConfig.cmake", "-rw-r--r--", None),
    (DEV, LIBDIR + "cmake/OrvikRecoveryUtils/OrvikRecoveryUtilsConfigVersion.cmake", "-rw-r--r--",
     None),
    (DEV, LIBDIR + "pkgconfig/orvik-recovery-utils.pc", "-rw-r--r--", None),
])
def test_package_lists_file(debs, package, path, mode, target):
    entries = contents(debs[package])
    assert path in entries, "%s missing from %s" % (path, sorted(entries))
    assert entries[path] == (mode, "root/root", target)


@pytest.mark.parametrize("package", PACKAGES)
def test_package_holds_nothing_outside_usr(debs, package):
    stray = [p for p in contents(debs[package])
             if not p.startswith("./usr/") and p not in ("./", "./usr/")]
    assert stray == []


def test_only_public_headers_are_installed(debs):
    headers = [p for p in contents(debs[DEV]) if p.endswith(".h")]
    assert len(headers) >= 10, headers
    assert all(p.startswith("./usr/include/orvik-recovery/") for p in headers), headers
    assert not [p for p in headers if p.endswith("_p.h")]


def test_helpers_for_our_tests_are_not_declared(unpacked):
    for header in (unpacked / "usr/include/orvik-recovery").rglob("*.h"):
        assert "ForTests" not in header.read_text(), header


def test_library_soname_and_the_tools_link(unpacked):
    library = unpacked / LIBDIR / (SONAME + ".0.0")
    assert dynamic(library, "SONAME") == [SONAME]
    assert SONAME in dynamic(unpacked / TOOL, "NEEDED")
    assert not dynamic(unpacked / TOOL, "RUNPATH") + dynamic(unpacked / TOOL, "RPATH")


@pytest.mark.parametrize("package,depends", [
    # dh_shlibdeps found the libraries each binary links, ours through its shlibs entry.
    (PACKAGE, ["liborvik-recovery-utils1 (>= 1.0.0)", "libqt5core5a", "libc6", "udisks2"]),
    (LIBRARY, ["libqt5core5a", "libqt5dbus5", "libc6"]),
    (DEV, ["liborvik-recovery-utils1 (= 1.0.0)", "qtbase5-dev"]),
])
def test_control_fields(debs, package, depends):
    arch = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                          text=True).stdout.strip()
    deb = debs[package]
    assert field(deb, "Package") == package
    assert field(deb, "Architecture") == arch
    declared = [d.strip() for d in field(deb, "Depends").split(",")]
    # apt removes what it brought in for us, and sudo's removal refuses on many systems.
    assert "sudo" not in re.split(r"[\s,]+", field(deb, "Depends") + " " + field(deb, "Recommends"))
    for name in depends:
        assert any(d == name or d.startswith(name + " ") for d in declared), declared


def test_packaged_tool_prints_its_help(unpacked):
    proc = run_packaged(unpacked, ["--help"])
    assert proc.returncode == 0, proc.stderr
    for option in ("--action <type>", "--path <directory>", "--format", "--reboot",
                   "--locale", "--update-initramfs"):
        assert option in proc.stdout


def test_packaged_tool_reports_the_package_version(deb, unpacked):
    # debian/changelog gives the package's version, CMake's project() the binary's.
    version = subprocess.run(["dpkg-deb", "-f", str(deb), "Version"], check=True,
                             capture_output=True, text=True).stdout.strip()
    proc = run_packaged(unpacked, ["--version"])
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


def complete(unpacked, words):
    """COMPREPLY of the packaged completion for the command line words (the last is being typed),
    with the packaged tool first on PATH; also what complete -p says of the tool."""
    script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
              '_orvik_recovery_tool orvik-recovery-tool "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; '
              'complete -p orvik-recovery-tool; printf "%s\\n" "${COMPREPLY[@]}"')
    libdirs = [str(p.parent) for p in unpacked.glob("usr/lib/*/liborvik-recovery-utils.so.1")]
    env = {"PATH": "%s:/usr/bin:/bin" % (unpacked / "usr/bin"), "LD_LIBRARY_PATH": libdirs[0]}
    proc = subprocess.run(["bash", "-c", script, "bash", str(unpacked / COMPLETION),
                           "orvik-recovery-tool"] + words,
                          capture_output=True, text=True, env=env, timeout=60, check=True)
    lines = proc.stdout.splitlines()
    assert lines[0] == "complete -F _orvik_recovery_tool orvik-recovery-tool"
    return [w for w in lines[1:] if w]


@pytest.mark.parametrize("words,offered", [
    (["-a", ""], ACTIONS),
    (["-f", "--action", "system_"], ["system_backup", "system_restore"]),
    (["-a", "manual_backup", "-p", "{dirs}/"], ["{dirs}/a dir", "{dirs}/b"]),
    (["-p", "{dirs}/b", "-l", ""], []),
    (["-a", "system_backup", "--u"], ["--ui", "--update-initramfs"]),
    (["-r"], ["-r"]),
])
def test_completion_offers(unpacked, tmp_path, words, offered):
    (tmp_path / "a dir").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a file").touch()
    words = [w.format(dirs=tmp_path) for w in words]
    offered = [w.format(dirs=tmp_path) for w in offered]
    assert sorted(complete(unpacked, words)) == sorted(offered)


def test_completion_offers_every_option_and_no_description_word(unpacked):
    offered = complete(unpacked, [""])
    assert len(offered) == len(set(offered))
    # Options may be added; each of these stays, and "-u" of "update-initramfs -u" is no option.
    assert set(offered) >= {"-h", "--help", "--help-all", "-v", "--version", "-a", "--action",
                            "-p", "--path", "-f", "--format", "-r", "--reboot", "-l", "--locale",
                            "--ui", "--update-initramfs"}
    assert all(re.fullmatch(r"--?[a-z][a-z-]*", w) for w in offered) and "-u" not in offered


def test_lintian_finds_no_error_or_warning(debs):
    if not shutil.which("lintian"):
        pytest.skip("lintian is not installed (scripts/install-deps.sh installs it)")
    proc = subprocess.run(["lintian", "--fail-on", "error,warning"] + [str(d) for d in debs.values()],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# On a minimal Debian 12 system the tool and library install, work for a user and for root, and
# purge with all they brought in; the programs the tool starts are there (but the facility's own
# disk-image tool). Each step prints its time.
MINIMAL_SYSTEM = r"""
set -eu
at() { echo "step $1 $SECONDS s"; }
run() { chroot "$root" "$@"; }
user() { chroot --userspec=65534:65534 "$root" "$@"; }
quiet() { run "$@" >"$root/tmp/out" 2>&1 || { tail -20 "$root/tmp/out"; return 1; }; }
root=$1
declare -A refusal=([user]="Permission denied" [run]="Cannot open /etc/orvik/")
# As apt installs for a user: what we recommend too.
quiet sh -c 'apt-get install -y -o APT::Install-Recommends=1 /tmp/*.deb && rm /tmp/*.deb'
at install
for p in lsblk dmsetup df du dpkg date mkdir touch mount umount dumpe2fs update-initramfs; do
  run sh -c "command -v $p" >/dev/null || { echo "missing: $p"; exit 1; }
done
for as in user run; do
  $as orvik-recovery-tool --version | grep -q '^orvik-recovery-tool '
  code=0; $as orvik-recovery-tool -a system_backup -p /srv 2>"$root/tmp/err" || code=$?
  grep -q "${refusal[$as]}" "$root/tmp/err" && [ $code = 255 ] || { cat "$root/tmp/err"; exit 1; }
done; at use
quiet apt-get purge -y orvik-recovery-tool liborvik-recovery-utils1; at purge
quiet apt-get autoremove --purge -y; at autoremove
run dpkg -s udisks2 >/dev/null 2>&1 && { echo "udisks2 was left"; exit 1; }
left=$(run find / -xdev -path /run -prune -o -iname '*orvik*' -print)
[ -z "$left" ] || { echo "left: $left"; exit 1; }; at left
"""


def debian_sources():
    """The Debian 12 entries of the archive apt is configured with."""
    out = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI) $(RELEASE) "
                          "$(COMPONENT)", "Created-By: Packages"], capture_output=True, text=True)
    return sorted({"deb " + l for l in out.stdout.splitlines() if " bookworm" in l})


def test_installs_works_and_purges_on_a_minimal_system(debs, tmp_path):
    sources = debian_sources()
    if not shutil.which("mmdebstrap") or os.geteuid() != 0:
        pytest.skip("needs mmdebstrap (scripts/install-deps.sh installs it) and root")
    try:
        _, uri, suite, _ = sources[0].split()
        urllib.request.urlopen("%s/dists/%s/Release" % (uri.rstrip("/"), suite), timeout=10)
    except urllib.error.HTTPError:
        raise  # reached, and our question is wrong
    except (IndexError, OSError) as e:  # no Debian 12 entry, or not reached
        pytest.skip("the Debian 12 archive cannot be reached: %s" % e)
    (tmp_path / "check.sh").write_text(MINIMAL_SYSTEM)
    hooks = ["--customize-hook=copy-in %s %s /tmp" % (debs[PACKAGE], debs[LIBRARY]),
             "--customize-hook=bash %s \"$1\"" % (tmp_path / "check.sh")]
    # Its own session and mount namespace: killed whole at the limit, its mounts go with it.
    proc = subprocess.Popen(["mmdebstrap", "--mode=unshare", "--variant=minbase", "-q"] + hooks +
                            ["bookworm", "/dev/null"] + sources, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True,
                            env=dict(os.environ, TMPDIR=str(tmp_path)))
    try:
        out, err = proc.communicate(timeout=300)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        for chroot in tmp_path.glob("mmdebstrap.*"):
            shutil.rmtree(chroot, ignore_errors=True)
    print(err)  # the steps' times: mmdebstrap passes a hook's output on to standard error
    assert proc.returncode == 0 and "step left" in err, out[-3000:] + err[-3000:]
