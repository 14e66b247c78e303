#!/usr/bin/env python3
"""Plans a system backup on simulated machines of 10, 100 and 500 block devices and prints,
for each, the tool's wall time, its D-Bus calls to the disk service and the external
programs it started. Run as root after building (ORVIK_TOOL picks the binary; otherwise the
newest build*/src/tool/main/orvik-recovery-tool).

    python3 scripts/benchmark.py [--sizes 10,100,500] [--repeat 3]
"""

import argparse
import collections
import os
import statistics
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "machine"))
import simmachine  # noqa: E402

ARGV = ["orvik-recovery-tool", "-a", "system_backup", "-p", "/data/backups"]


def measure(devices, repeat):
    scenario = simmachine.generate_scenario(devices)
    scenario["dirs"] = ["/data/backups"]
    machine = simmachine.Machine(scenario)
    walls, result = [], None
    for _ in range(repeat):
        result = machine.run(ARGV, env={"TZ": "UTC"})
        if result.returncode != 0:
            raise SystemExit("the plan failed on %d devices:\n%s" % (devices, result.stderr))
        walls.append(result.wall)
    programs = collections.Counter(os.path.basename(p[0]) for p in result.programs)
    return statistics.median(walls), len(result.calls), programs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,100,500")
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args()
    print("tool: %s" % simmachine.find_tool())
    rows = []
    for n in (int(x) for x in opts.sizes.split(",")):
        rows.append((n,) + measure(n, opts.repeat))
    print()
    print("| block devices | wall time (median of %d) | D-Bus calls | programs started |"
          % opts.repeat)
    print("|---:|---:|---:|---|")
    for n, wall, calls, programs in rows:
        listing = ", ".join("%s %d" % kv for kv in sorted(programs.items()))
        print("| %d | %.3f s | %d | %d (%s) |" % (n, wall, calls, sum(programs.values()),
                                                listing))
    return 0


if __name__ == "__main__":
    sys.exit(main())
