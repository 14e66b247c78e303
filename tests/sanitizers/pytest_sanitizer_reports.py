"""pytest plugin of the sanitizer run (scripts/test-sanitizers.sh loads it with -p).

Inside the simulated machine a sanitizer report can only go to the tool's standard error: the
sandbox's files vanish with it. Every run of the machine is therefore checked here, and a
report fails the test that caused it, whatever that test expected of the run.
"""

import os
import re
import sys

REPORT = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)"
                    r"|runtime error: ")

MACHINE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "machine")


def sanitizer_report(text):
    """The report in a run's standard error, from its first line on; None when clean."""
    match = REPORT.search(text)
    if not match:
        return None
    start = text.rfind("\n", 0, match.start()) + 1
    return text[start:start + 8000]


def pytest_configure(config):
    if MACHINE_DIR not in sys.path:
        sys.path.insert(0, MACHINE_DIR)
    import simmachine

    original = simmachine.Machine.run
    if getattr(original, "checks_sanitizer_reports", False):
        return

    def run(self, *args, **kwargs):
        result = original(self, *args, **kwargs)
        report = sanitizer_report(result.stderr)
        if report is not None:
            raise AssertionError("sanitizer report from %r:\n%s" % (args[0] if args else
                                                                   kwargs.get("argv"), report))
        return result

    run.checks_sanitizer_reports = True
    simmachine.Machine.run = run
