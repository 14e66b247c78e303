"""Reads a plan (recovery.json) the way the recovery live system will, after a reboot: with
nothing mounted, each "UUID:" argument is looked up with blkid among the machine's
partitions, that partition is mounted read-only, and each path argument after it is
resolved on it. Shares no code with the tool."""

import contextlib
import os
import subprocess
import tempfile


class Resolved:
    def __init__(self, command, uuid, node, arg, where):
        self.command = command   # the task's command
        self.uuid = uuid         # the partition the path lies on
        self.node = node         # its device node, as blkid found it
        self.arg = arg           # the path argument as written in the plan
        self.where = where       # the path on the read-only mount, for checks inside the block

    def __repr__(self):
        return "%s: %s on %s (%s)" % (self.command, self.arg, self.uuid, self.node)


def find_uuid(machine, uuid):
    """The device node blkid finds for the UUID inside the machine (its /dev holds only the
    fixture's nodes), or None."""
    p = machine.chrooted(["blkid", "-c", "/dev/null", "-U", uuid], check=False)
    node = p.out.strip()
    return node if p.returncode == 0 and node else None


@contextlib.contextmanager
def read_only(machine, node):
    """The partition mounted read-only outside the machine's tree. The root partition stays
    mounted under the machine's daemons: its file system is bound read-only instead."""
    where = tempfile.mkdtemp(prefix="verify-", dir=machine.work)
    kname = os.path.basename(node)
    if node == machine.part("root").node:
        subprocess.run(["mount", "--bind", machine.root, where], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", where], check=True)
    else:
        subprocess.run(["mount", "-o", "ro", "/dev/" + kname, where], check=True,
                       capture_output=True)
    try:
        yield where
    finally:
        subprocess.run(["umount", where], check=True, capture_output=True)
        os.rmdir(where)


@contextlib.contextmanager
def resolve(machine, plan):
    """Yields (uuids, paths): every UUID argument with its node (None when blkid does not
    find it) and every path argument resolved on the partition named by the nearest UUID
    argument before it. The partitions stay mounted read-only inside the block."""
    uuids = {}
    for task in plan["tasks"]:
        for arg in task["args"]:
            if arg.startswith("UUID:"):
                uuids[arg[5:]] = find_uuid(machine, arg[5:])
    with contextlib.ExitStack() as stack:
        mounted = {u: stack.enter_context(read_only(machine, n))
                   for u, n in uuids.items() if n}
        paths = []
        for task in plan["tasks"]:
            base = None
            for arg in task["args"]:
                if arg.startswith("UUID:"):
                    base = arg[5:]
                elif base in mounted and "/" in arg:
                    paths.append(Resolved(task["command"], base, uuids[base], arg,
                                          os.path.join(mounted[base], arg.lstrip("/"))))
        yield uuids, paths
