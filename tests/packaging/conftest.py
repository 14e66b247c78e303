"""Builds the Debian package once per session, from a copy of the source tree.

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


def _source_files():
    """Tracked and new (not ignored) files of the working tree, so uncommitted edits count."""
    out = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=REPO, check=True, capture_output=True).stdout
    names = [n for n in out.decode().split("\0") if n]
    return [n for n in names if (REPO / n).is_file() and not n.startswith("debian/" + PACKAGE + "/")]


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
    debs = sorted(top.glob(PACKAGE + "_*.deb"))
    assert len(debs) == 1, "expected one binary package, found %s" % [d.name for d in debs]
    return {"top": top, "deb": debs[0]}


@pytest.fixture(scope="session")
def deb(package_build):
    return package_build["deb"]


@pytest.fixture(scope="session")
def unpacked(deb, tmp_path_factory):
    root = tmp_path_factory.mktemp("unpacked")
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    return root
