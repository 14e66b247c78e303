#!/usr/bin/env python3
"""Plans a system backup on simulated machines of 10, 100 and 500 block devices and prints,
for each, the tool's wall time, its own CPU time (user + system of the tool process alone, the
programs it starts excluded), its D-Bus calls to the disk service by method and the external
programs it started. Run as root after building (ORVIK_TOOL picks the binary; otherwise the
newest build*/src/tool/main/orvik-recovery-tool).

    python3 scripts/benchmark.py [--sizes 10,100,500] [--repeat 3]
"""

import argparse
import collections
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "machine"))
import simmachine  # noqa: E402

ARGV = ["orvik-recovery-tool", "-a", "system_backup", "-p", "/data/backups"]
USAGE_FILE = "/tmp/orvik-benchmark-rusage"

# Preloaded into the tool: at exit it writes getrusage(RUSAGE_SELF) (every thread of the tool,
# none of the programs it started) as "user_us system_us". It takes its variables out of the
# environment at start, so the programs the tool starts neither load it nor write.
RUSAGE_SHIM = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static char target[4096];

__attribute__((constructor)) static void start(void) {
    const char *path = getenv("ORVIK_RUSAGE_FILE");
    if (path) strncpy(target, path, sizeof target - 1);
    unsetenv("ORVIK_RUSAGE_FILE");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void stop(void) {
    struct rusage u;
    FILE *f;
    if (!target[0] || getrusage(RUSAGE_SELF, &u) != 0 || !(f = fopen(target, "w"))) return;
    fprintf(f, "%ld %ld\n", u.ru_utime.tv_sec * 1000000L + u.ru_utime.tv_usec,
            u.ru_stime.tv_sec * 1000000L + u.ru_stime.tv_usec);
    fclose(f);
}
"""


@contextlib.contextmanager
def rusage_shim():
    # Inside the repository: the simulated machine sees it at its own path.
    work = tempfile.mkdtemp(prefix=".benchmark-shim-", dir=REPO)
    try:
        source = os.path.join(work, "rusage.c")
        with open(source, "w") as f:
            f.write(RUSAGE_SHIM)
        library = os.path.join(work, "rusage.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, source], check=True)
        yield library
    finally:
        shutil.rmtree(work, ignore_errors=True)


def own_cpu_seconds(result):
    text = result.files.get(USAGE_FILE)
    if not text:
        raise SystemExit("the tool left no CPU reading:\n%s" % result.stderr)
    user, system = (int(x) for x in text.split())
    return (user + system) / 1e6


def measure(devices, repeat, shim):
    scenario = simmachine.generate_scenario(devices)
    scenario["dirs"] = ["/data/backups"]
    machine = simmachine.Machine(scenario)
    walls, cpus, result = [], [], None
    for _ in range(repeat):
        result = machine.run(ARGV, collect=[USAGE_FILE],
                             env={"TZ": "UTC", "LD_PRELOAD": shim,
                                  "ORVIK_RUSAGE_FILE": USAGE_FILE})
        if result.returncode != 0:
            raise SystemExit("the plan failed on %d devices:\n%s" % (devices, result.stderr))
        walls.append(result.wall)
        cpus.append(own_cpu_seconds(result))
    programs = collections.Counter(os.path.basename(p[0]) for p in result.programs)
    methods = collections.Counter(c.split(" ")[0].rsplit(".", 1)[-1] for c in result.calls)
    return statistics.median(walls), statistics.median(cpus), methods, programs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,100,500")
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args()
    print("tool: %s" % simmachine.find_tool())
    rows = []
    with rusage_shim() as shim:
        for n in (int(x) for x in opts.sizes.split(",")):
            rows.append((n,) + measure(n, opts.repeat, shim))
    print()
    print("| block devices | GetBlockDevices | GetManagedObjects | other D-Bus calls "
          "| tool's own CPU (median of %d) | wall time (median) | programs started |"
          % opts.repeat)
    print("|---:|---:|---:|---:|---:|---:|---|")
    for n, wall, cpu, methods, programs in rows:
        listing = ", ".join("%s %d" % kv for kv in sorted(programs.items()))
        other = sum(methods.values()) - methods["GetBlockDevices"] - methods["GetManagedObjects"]
        print("| %d | %d | %d | %d | %.1f ms | %.3f s | %d (%s) |"
              % (n, methods["GetBlockDevices"], methods["GetManagedObjects"], other,
                 cpu * 1000, wall, sum(programs.values()), listing))
    return 0


if __name__ == "__main__":
    sys.exit(main())
