"""File work of scripts/mutate-guards.sh.

  mutation.py sync SRC DST                 mirror the source tree SRC into DST
  mutation.py apply FILE ANCHOR OLD NEW    put one fault into FILE

sync copies only files whose content differs, with a fresh modification time, so the build
in the scratch copy recompiles exactly what changed, including a file a mutant left behind.

apply replaces the first OLD on or after the one line holding ANCHOR (within a few lines),
or, with an empty ANCHOR, the one OLD of the whole file. When the anchor or OLD is not found
exactly where expected it changes nothing and exits with 2: the guard moved and the list in
mutate-guards.sh must follow it.
"""

import os
import subprocess
import sys

WINDOW = 12  # lines after the anchor that OLD may be on


def source_files(src):
    """Tracked and untracked files, without what git ignores (build trees); a plain copy of
    the sources without git: every file outside build*/ and caches."""
    try:
        out = subprocess.run(["git", "-C", src, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
        names = [n.decode("utf-8", "surrogateescape") for n in out.split(b"\0") if n]
        return sorted(n for n in names if os.path.lexists(os.path.join(src, n)))
    except (OSError, subprocess.CalledProcessError):
        pass
    names = []
    for root, dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        dirs[:] = [d for d in dirs if not (rel == "." and d.startswith(("build", ".git")))
                   and d not in ("__pycache__", ".pytest_cache")]
        names += [os.path.normpath(os.path.join(rel, f)) for f in files]
    return sorted(names)


def same(a, b):
    if os.path.islink(a) or os.path.islink(b):
        return os.path.islink(a) and os.path.islink(b) and os.readlink(a) == os.readlink(b)
    if not os.path.isfile(b) or os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read() and \
            os.stat(a).st_mode & 0o777 == os.stat(b).st_mode & 0o777


def sync(src, dst):
    wanted = set(source_files(src))
    for name in sorted(wanted):
        s, d = os.path.join(src, name), os.path.join(dst, name)
        if same(s, d):
            continue
        os.makedirs(os.path.dirname(d), exist_ok=True)
        if os.path.lexists(d):
            os.remove(d)
        if os.path.islink(s):
            os.symlink(os.readlink(s), d)
            continue
        with open(s, "rb") as fs, open(d, "wb") as fd:
            fd.write(fs.read())
        os.chmod(d, os.stat(s).st_mode & 0o777)
    for root, _, files in os.walk(dst):
        for f in files:
            path = os.path.join(root, f)
            rel = os.path.relpath(path, dst)
            if rel not in wanted and "__pycache__" not in rel.split(os.sep):
                os.remove(path)


def apply(path, anchor, old, new):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if anchor:
        lines = text.splitlines(keepends=True)
        hits = [i for i, line in enumerate(lines) if anchor in line]
        if len(hits) != 1:
            return "anchor found %d times: %s" % (len(hits), anchor)
        start = sum(len(line) for line in lines[:hits[0]])
        end = start + sum(len(line) for line in lines[hits[0]:hits[0] + WINDOW])
        at = text.find(old, start, end)
        if at < 0:
            return "not within %d lines of the anchor: %s" % (WINDOW, old)
    else:
        if text.count(old) != 1:
            return "found %d times: %s" % (text.count(old), old)
        at = text.find(old)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text[:at] + new + text[at + len(old):])
    return None


def main(argv):
    if len(argv) == 4 and argv[1] == "sync":
        sync(argv[2], argv[3])
        return 0
    if len(argv) == 6 and argv[1] == "apply":
        error = apply(*argv[2:])
        if error:
            print("mutation did not apply to %s: %s" % (argv[2], error), file=sys.stderr)
            return 2
        return 0
    print(__doc__, file=sys.stderr)
    return 64


if __name__ == "__main__":
    sys.exit(main(sys.argv))
