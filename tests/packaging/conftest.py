"""Builds the Debian packages once per session, from a copy of the source tree.

dpkg-buildpackage writes the .deb, .buildinfo and .changes next to the tree it builds, so the
build runs in a copy inside a temporary directory and nothing lands beside the checkout.
"""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PACKAGE = "orvik-recovery-tool"
LIBRARY = "liborvik-recovery-utils1"
DEV = "liborvik-recovery-utils-dev"
PACKAGES = (PACKAGE, LIBRARY, DEV)


def _source_files():
    """Tracked and new (not ignored) files of the working tree, so uncommitted edits count."""
    out = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=REPO, check=True, capture_output=True).stdout
    names = [n for n in out.decode().split("\0") if n]
    built = tuple("debian/%s/" % p for p in PACKAGES)
    return [n for n in names if (REPO / n).is_file() and not n.startswith(built)]


def _copy_tree(dest):
    for name in _source_files():
        target = dest / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, target)


@pytest.fixture(scope="session")
def package_build(tmp_path_factory):
    top = tmp_path_factory.mktemp("pkgbuild")
    src = top / PACKAGE
    _copy_tree(src)
    env = dict(os.environ, DEB_BUILD_OPTIONS="parallel=%d" % (os.cpu_count() or 1), LC_ALL="C.UTF-8")
    log = top / "build.log"
    with open(log, "wb") as fh:
        proc = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=src, env=env,
                              stdout=fh, stderr=subprocess.STDOUT, timeout=3600)
    if proc.returncode != 0:
        tail = log.read_text(errors="replace").splitlines()[-40:]
        pytest.fail("dpkg-buildpackage failed (%d):\n%s" % (proc.returncode, "\n".join(tail)))
    shutil.rmtree(src)  # the build tree is large; only the artefacts beside it are used
    debs = {d.name.split("_")[0]: d for d in top.glob("*.deb")
            if not d.name.split("_")[0].endswith("-dbgsym")}
    assert sorted(debs) == sorted(PACKAGES), "binary packages built: %s" % sorted(debs)
    return {"top": top, "debs": debs}


@pytest.fixture(scope="session")
def debs(package_build):
    """The binary packages by name."""
    return package_build["debs"]


@pytest.fixture(scope="session")
def deb(debs):
    return debs[PACKAGE]


@pytest.fixture(scope="session")
def unpacked(debs, tmp_path_factory):
    """Every package unpacked into one tree, as installing them all would lay it out."""
    root = tmp_path_factory.mktemp("unpacked")
    for path in debs.values():
        subprocess.run(["dpkg-deb", "-x", str(path), str(root)], check=True)
    return root


def run_packaged(root, args, **kwargs):
    """Runs the unpacked tool; its library is found in the unpacked tree, not the system's."""
    libdirs = [str(p.parent) for p in root.glob("usr/lib/*/liborvik-recovery-utils.so.*")]
    env = {"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": ":".join(libdirs)}
    env.update(kwargs.pop("env", {}))
    return subprocess.run([str(root / "usr/bin/orvik-recovery-tool")] + args, capture_output=True,
                          text=True, timeout=60, env=env, **kwargs)
