"""A separate project builds and runs against the installed library and development packages.

They are installed with dpkg into a private copy-on-write overlay of / in a mount namespace of
its own: the host's files and package database stay as they are.
"""
import shutil
import subprocess

import pytest

from conftest import DEV, LIBRARY, REPO

SETUP_FAILED = 77

# $1 work directory, then the packages. Everything mounted here vanishes with the namespace.
SCRIPT = r"""
set -u
work=$1; shift
root=$work/root
mkdir -p "$work/upper" "$root"
{
  mount -t tmpfs tmpfs "$work/upper" &&
  mkdir "$work/upper/u" "$work/upper/w" &&
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper/u,workdir=$work/upper/w" "$root" &&
  mount --rbind /proc "$root/proc" && mount --rbind /dev "$root/dev" &&
  mount --rbind /sys "$root/sys" && mount -t tmpfs tmpfs "$root/tmp" &&
  mkdir "$root/tmp/debs" && cp "$@" "$root/tmp/debs/" &&
  cp -r "$work/consumer" "$root/tmp/consumer"
} || exit 77
exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
  /bin/bash -c 'dpkg -i /tmp/debs/*.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }
                bash /tmp/consumer/run.sh /usr /tmp/consumer-build'
"""


def test_consumer_project_builds_against_installed_packages(debs, tmp_path):
    if not shutil.which("unshare"):
        pytest.skip("unshare is missing: no private mount namespace for dpkg")
    shutil.copytree(REPO / "tests" / "consumer", tmp_path / "consumer")
    proc = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash", "-c", SCRIPT,
                           "bash", str(tmp_path), str(debs[LIBRARY]), str(debs[DEV])],
                          capture_output=True, text=True, timeout=1200)
    if proc.returncode == SETUP_FAILED:
        pytest.skip("no overlay of / in a private mount namespace: %s" % proc.stderr[-500:])
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert "100% tests passed, 0 tests failed out of 2" in proc.stdout
