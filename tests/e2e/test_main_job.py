"""The README's main-job command from a copy of the repository where people clone it: under
a home directory and under /var/tmp, both of which the simulated machine replaces with the
scenario's own content."""

import json
import os
import shutil
import subprocess
import tempfile

import pytest

from frontend import REPO, SUCCESS, TASK_FILE, tool_path

TOOL = os.path.join("build", "src", "tool", "main", "orvik-recovery-tool")


def copy_repository(dest):
    """The sources and the built tool (the script then skips the build)."""
    shutil.copytree(REPO, dest, symlinks=True, ignore=shutil.ignore_patterns(
        ".git", "build*", "obj-*", "__pycache__", ".pytest_cache"))
    os.makedirs(os.path.dirname(os.path.join(dest, TOOL)))
    shutil.copy2(tool_path(), os.path.join(dest, TOOL))


def section(out, path):
    """The lines the script prints under "===== path"."""
    lines = out.split("===== " + path + "\n", 1)[1].split("\n===== ", 1)[0]
    return lines.split("\n== exit status", 1)[0]


@pytest.mark.parametrize("base", ["/home", "/var/tmp"])
def test_main_job_plans_from_a_clone_there(base):
    top = tempfile.mkdtemp(prefix="orvik-clone-", dir=base)
    try:
        clone = os.path.join(top, "orvik-recovery-tool")
        copy_repository(clone)
        env = {k: v for k, v in os.environ.items()
               if k not in ("ORVIK_TOOL", "ORVIK_BUILD_DIR")}
        p = subprocess.run(["bash", os.path.join(clone, "scripts", "run-main-job.sh")],
                           cwd="/", env=env, capture_output=True, text=True, timeout=600)
    finally:
        shutil.rmtree(top)
    assert p.returncode == 0, p.stdout + p.stderr
    assert SUCCESS in p.stdout and p.stdout.endswith("== exit status: 0\n"), p.stdout
    plan = json.loads(section(p.stdout, TASK_FILE))
    assert plan["tasks"], plan
