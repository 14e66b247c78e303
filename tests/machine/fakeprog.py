#!/usr/bin/python3 -S
"""The simulated machine's external programs, one script called under many names.

Inside the sandbox /run/simmachine/bin/<program> is a symbolic link to this file; the name
it was called by picks the behaviour. Every call appends its argv to the program log (one
JSON list a line) unless SIMMACHINE_NOLOG is set. Answers come from the scenario in
/run/simmachine/scenario.json and follow the real tools' output formats.
"""

import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import machinelib as ml  # noqa: E402

STATE = os.environ.get("SIMMACHINE_DIR", "/run/simmachine")
FAKES_DIR = os.path.join(STATE, "bin")

def scenario():
    return ml.load_json(os.path.join(STATE, "scenario.json"))


def log_call(argv):
    if os.environ.get("SIMMACHINE_NOLOG"):
        return
    # The record format of logpass.sh: each field ended by \037, the record by \036.
    line = "".join(a + "\x1f" for a in [os.path.basename(argv[0])] + argv[1:]) + "\x1e"
    fd = os.open(os.path.join(STATE, "programs.log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                 0o644)
    try:
        os.write(fd, line.encode("utf-8", "surrogateescape"))
    finally:
        os.close(fd)


def out(text):
    sys.stdout.write(text)


def err(text):
    sys.stderr.write(text)


def real_program(name):
    """The first program of that name on PATH that is not one of ours."""
    for d in os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin").split(":"):
        if not d or os.path.realpath(d) == os.path.realpath(FAKES_DIR):
            continue
        candidate = os.path.join(d, name)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def exec_real(argv):
    path = real_program(os.path.basename(argv[0]))
    if path is None:
        err("%s: command not found\n" % os.path.basename(argv[0]))
        return 127
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(path, [os.path.basename(argv[0])] + argv[1:])


def apply_override(name, argv, s):
    """A fault from the scenario's "programs" table, or None to behave normally."""
    rules = s["programs"].get(name)
    if rules is None:
        return None
    for rule in rules if isinstance(rules, list) else [rules]:
        if all(w in argv[1:] for w in rule.get("when", [])):
            break
    else:
        return None
    if rule.get("passthrough"):
        return None
    if rule.get("sleep"):
        time.sleep(float(rule["sleep"]))
    out(rule.get("stdout", ""))
    err(rule.get("stderr", ""))
    sys.stdout.flush()
    sys.stderr.flush()
    if rule.get("signal"):
        if int(rule["signal"]) not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(int(rule["signal"]), signal.SIG_DFL)
        os.kill(os.getpid(), int(rule["signal"]))
        time.sleep(5)
    return int(rule.get("exit", 0))


# --------------------------------------------------------------------------- lsblk

def human_size(value):
    units = ["B", "K", "M", "G", "T", "P", "E"]
    v, i = float(value), 0
    while v >= 1024 and i < len(units) - 1:
        v /= 1024
        i += 1
    if i == 0:
        return "%dB" % value
    text = ("%.1f" % v).rstrip("0").rstrip(".")
    return text + units[i]


def utf8_locale():
    for key in ("LC_ALL", "LC_CTYPE", "LANG"):
        value = os.environ.get(key)
        if value:
            return "utf-8" in value.lower() or "utf8" in value.lower()
    return False


def pairs_escape(text):
    raw = text.encode("utf-8", "surrogateescape")
    keep_high = utf8_locale()
    res = []
    for b in raw:
        if b in b'"\\`$' or b <= 0x20 or b == 0x7f or (b >= 0x80 and not keep_high):
            res.append("\\x%02x" % b)
        else:
            res.append(chr(b) if b < 0x80 else bytes([b]).decode("latin-1"))
    text = "".join(res)
    return text.encode("latin-1").decode("utf-8", "replace") if keep_high else text


def table_escape(text):
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in text)


RIGHT_ALIGNED = {"SIZE", "FSUSED", "FSAVAIL", "FSSIZE", "LOG-SEC", "PHY-SEC", "RO", "RM",
                 "HOTPLUG", "ROTA", "MAJ:MIN", "FSUSE%"}


def lsblk_value(col, d, mounts, as_bytes, full_paths):
    mounted = bool(mounts)
    size = int(d["size"])
    used = int(d["used"])
    num = (lambda v: str(v)) if as_bytes else human_size
    table = {
        "NAME": d["path"] if full_paths else (d["mapper"] or d["name"]),
        "KNAME": "/dev/" + d["kname"] if full_paths else d["kname"],
        "PATH": d["path"],
        "LABEL": d["label"], "UUID": d["uuid"], "TYPE": d["type"], "FSTYPE": d["fstype"],
        "SIZE": num(size),
        "FSUSED": num(used) if mounted else "",
        "FSAVAIL": num(max(size - used, 0)) if mounted else "",
        "FSSIZE": num(size) if mounted else "",
        "FSUSE%": ("%d%%" % round(100.0 * used / size) if size else "0%") if mounted else "",
        "LOG-SEC": str(d["log_sec"]), "PHY-SEC": str(d["phy_sec"]),
        "MOUNTPOINT": mounts[0] if mounts else "",
        "MOUNTPOINTS": "\n".join(mounts),
        "MODEL": d["model"], "VENDOR": d["vendor"], "SERIAL": d["serial"], "REV": d["rev"],
        "RO": "1" if d["readonly"] else "0", "RM": "1" if d["hotplug"] else "0",
        "HOTPLUG": "1" if d["hotplug"] else "0", "MAJ:MIN": d["majmin"],
        "PARTLABEL": d["partlabel"], "PARTUUID": d["partuuid"],
        "PKNAME": ("/dev/" + d["pkname"] if full_paths and d["pkname"] else d["pkname"]),
        "ROTA": str(d["rota"]),
    }
    if col not in table:
        raise KeyError(col)
    return table[col]


DEFAULT_COLUMNS = "NAME,MAJ:MIN,RM,SIZE,RO,TYPE,MOUNTPOINTS"


def lsblk(argv, s):
    as_bytes = pairs = noheadings = full_paths = False
    columns = DEFAULT_COLUMNS
    devices = []
    args = argv[1:]
    i = 0
    while i < len(args):
        a = args[i]
        if a in ("-b", "--bytes"):
            as_bytes = True
        elif a in ("-P", "--pairs"):
            pairs = True
        elif a in ("-n", "--noheadings"):
            noheadings = True
        elif a in ("-p", "--paths"):
            full_paths = True
        elif a in ("-l", "--list", "-a", "--all"):
            pass
        elif a in ("-o", "--output"):
            i += 1
            columns = args[i]
        elif a.startswith("--output="):
            columns = a.split("=", 1)[1]
        elif a.startswith("-o") and len(a) > 2:
            columns = a[2:]
        elif a.startswith("-"):
            err("lsblk: unrecognized option '%s'\n" % a)
            return 1
        else:
            devices.append(a)
        i += 1
    cols = [c.strip().upper() for c in columns.split(",") if c.strip()]
    for c in cols:
        if c not in RIGHT_ALIGNED and c not in ("NAME", "KNAME", "PATH", "LABEL", "UUID",
                                                  "TYPE", "FSTYPE", "MOUNTPOINT",
                                                  "MOUNTPOINTS", "MODEL", "VENDOR",
                                                  "SERIAL", "REV", "PARTLABEL", "PARTUUID",
                                                  "PKNAME"):
            err("lsblk: unknown column: %s\n" % c)
            return 1
    selected = s["devices"]
    if devices:
        selected = []
        for ident in devices:
            d = ml.find_device(s, ident)
            if d is None:
                err("lsblk: %s: not a block device\n" % ident)
                return 32
            selected.append(d)
    entries = ml.read_mountinfo()
    rows = []
    for d in selected:
        mounts = ml.mount_points_of(d, entries)
        rows.append([lsblk_value(c, d, mounts, as_bytes, full_paths) for c in cols])
    if pairs:
        for row in rows:
            out(" ".join('%s="%s"' % (c, pairs_escape(v)) for c, v in zip(cols, row)) + "\n")
        return 0
    rows = [[table_escape(v) for v in row] for row in rows]
    if not noheadings:
        rows.insert(0, cols)
    widths = [max(len(r[k]) for r in rows) for k in range(len(cols))]
    for row in rows:
        cells = []
        for k, v in enumerate(row):
            if cols[k] in RIGHT_ALIGNED:
                cells.append(v.rjust(widths[k]))
            else:
                cells.append(v if k == len(cols) - 1 else v.ljust(widths[k]))
        out(" ".join(cells).rstrip() + "\n")
    return 0


# --------------------------------------------------------------------------- dmsetup

def dmsetup(argv, s):
    args = argv[1:]
    if not args or args[0] != "deps":
        err("dmsetup: this machine only answers \"deps\"\n")
        return 1
    rest = args[1:]
    blkdevname = "-o" in rest and "blkdevname" in rest
    names = [a for a in rest if not a.startswith("-") and a != "blkdevname"]
    mapped = [d for d in s["devices"] if d["mapper"]]
    if names:
        mapped = [d for d in mapped if d["mapper"] in names]
    if not mapped:
        out("No devices found\n")
        return 0
    by_kname = {d["kname"]: d for d in s["devices"]}
    for d in mapped:
        deps = d["deps"] or ([d["pkname"]] if d["pkname"] else [])
        parts = []
        for dep in deps:
            if blkdevname:
                parts.append(" (%s)" % dep)
            else:
                major, minor = by_kname[dep]["majmin"].split(":") if dep in by_kname \
                    else ("0", "0")
                parts.append(" (%s, %s)" % (major, minor))
        out("%s: %d dependencies\t:%s\n" % (d["mapper"], len(deps), "".join(parts)))
    return 0


# --------------------------------------------------------------------------- small ones

def du_unit(args):
    """du's unit: --block-size, else the environment as real du reads it, else 1 KiB."""
    named = [a.split("=", 1)[1] for a in args if a.startswith("--block-size=")]
    names = ("DU_BLOCK_SIZE", "BLOCK_SIZE", "BLOCKSIZE")
    text = (named or [os.environ[n] for n in names if n in os.environ] or [None])[0]
    if text is None:
        return 512 if "POSIXLY_CORRECT" in os.environ else 1024
    return int(text.rstrip("KMG") or 1) * 1024 ** ("KMG".find(text[-1]) + 1)


def du(argv, s):
    args = argv[1:]
    paths = [a for a in args if not a.startswith("-")]
    if args.count("--max-depth=0") == 1 and len(paths) == 1 and paths[0] in s["du"]:
        unit = du_unit(args)
        out("%d\t%s\n" % (-(-int(s["du"][paths[0]]) * 1024 // unit), paths[0]))
        return 0
    return exec_real(argv)


def dpkg(argv, s):
    if argv[1:] == ["--print-architecture"]:
        out(s["arch"] + "\n")
        return 0
    return exec_real(argv)


def orvik_clone(argv, s):
    args = argv[1:]
    if len(args) == 2 and args[0] == "--osi-info":
        image = args[1]
        if image in s["invalid_images"] or not os.path.isfile(image):
            err("orvik-clone: %s: invalid file\n" % image)
            return 1
        size = os.path.getsize(image)
        out("image: %s\nformat: osi 2.0\nsize: %d\nchecksum: ok\n" % (image, size))
        return 0
    err("orvik-clone: this machine only answers --osi-info FILE\n")
    return 1


def update_initramfs(argv, s):
    out("update-initramfs: Generating /boot/initrd.img-6.1.0-orvik-amd64\n")
    return 0


def succeed_quietly(argv, s):
    return 0


def sudo(argv, s):
    args = argv[1:]
    while args and args[0].startswith("-"):
        opt = args.pop(0)
        if opt in ("-u", "-g", "-C", "-D", "-h", "-p", "-U") and args:
            args.pop(0)
        if opt == "--":
            break
    if not args:
        err("usage: sudo command\n")
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execvp(args[0], args)
    except OSError as e:
        err("sudo: %s: command not found\n" % args[0] if e.errno == 2 else
            "sudo: %s: %s\n" % (args[0], e.strerror))
        return 1


# --------------------------------------------------------------------------- blkid

BLOCK_SIZES = {"ext2": "4096", "ext3": "4096", "ext4": "4096", "xfs": "4096",
               "btrfs": "4096", "vfat": "512", "ntfs": "4096", "jfs": "4096",
               "reiserfs": "4096", "nilfs2": "1024"}


def blkid_tags(d):
    tags = []
    fs = d["fstype"]
    if fs == "vfat" and d["label"]:
        tags.append(("LABEL_FATBOOT", d["label"]))
    if d["label"]:
        tags.append(("LABEL", d["label"]))
    if d["uuid"]:
        tags.append(("UUID", d["uuid"]))
    if fs in BLOCK_SIZES:
        tags.append(("BLOCK_SIZE", BLOCK_SIZES[fs]))
    if fs:
        tags.append(("TYPE", fs))
    if d["ptuuid"]:
        tags.append(("PTUUID", d["ptuuid"]))
    if d["pttype"]:
        tags.append(("PTTYPE", d["pttype"]))
    if d["partlabel"]:
        tags.append(("PARTLABEL", d["partlabel"]))
    if d["partuuid"]:
        tags.append(("PARTUUID", d["partuuid"]))
    return tags


def blkid(argv, s):
    args = argv[1:]
    fmt, only, devices, want = "full", [], [], None
    i = 0
    while i < len(args):
        a = args[i]
        if a in ("-o", "-s", "-c", "-U", "-L", "-t") and i + 1 < len(args):
            value = args[i + 1]
            if a == "-o":
                fmt = value
            elif a == "-s":
                only.append(value)
            elif a == "-U":
                want = ("UUID", value)
            elif a == "-L":
                want = ("LABEL", value)
            elif a == "-t" and "=" in value:
                want = tuple(value.split("=", 1))
            i += 2
            continue
        if not a.startswith("-"):
            devices.append(a)
        i += 1
    selected = []
    if devices:
        for ident in devices:
            d = ml.find_device(s, ident)
            if d is not None:
                selected.append(d)
    else:
        selected = list(s["devices"])
    lines = []
    for d in selected:
        tags = blkid_tags(d)
        if want is not None:
            if (want[0], want[1]) not in tags:
                continue
            if args[:1] in (["-U"], ["-L"]):
                lines.append(d["path"])
                continue
        if only:
            tags = [t for t in tags if t[0] in only]
        if not tags:
            continue
        if fmt == "value":
            lines.extend(v for _, v in tags)
        elif fmt == "export":
            lines.append("DEVNAME=%s" % d["path"])
            lines.extend("%s=%s" % t for t in tags)
            lines.append("")
        elif fmt == "device":
            lines.append(d["path"])
        else:
            lines.append("%s: %s" % (d["path"], " ".join('%s="%s"' % t for t in tags)))
    if not lines:
        return 2
    out("\n".join(lines) + "\n")
    return 0


# --------------------------------------------------------------------------- fsck

def fsck(argv, s):
    args = argv[1:]
    targets = [a for a in args if not a.startswith("-")]
    d = ml.find_device(s, targets[-1]) if targets else None
    out("fsck from util-linux 2.38.1\n")
    if d is None:
        err("fsck.ext4: No such file or directory while trying to open %s\n"
            % (targets[-1] if targets else ""))
        return 8
    repair = "-y" in args or "-a" in args or "-p" in args
    code = int(d["fsck_repair_exit"] if repair else d["fsck_exit"])
    block = 4096
    total = int(d["size"]) // block
    used = int(d["used"]) // block
    if code == 0:
        out("%s: clean, 11/65536 files, %d/%d blocks\n" % (d["path"], used, total))
    elif code in (1, 2):
        out("%s: ***** FILE SYSTEM WAS MODIFIED *****\n" % d["path"])
        out("%s: 11/65536 files, %d/%d blocks\n" % (d["path"], used, total))
    else:
        out("%s: UNEXPECTED INCONSISTENCY; RUN fsck MANUALLY.\n" % d["path"])
    return code


# --------------------------------------------------------------------------- usage tools

BS = 4096


def usage_target(argv, s, families):
    """The scenario device named by the last argument, when its type fits the tool."""
    if len(argv) < 2:
        return None, "missing device"
    d = ml.find_device(s, argv[-1])
    if d is None:
        return None, "No such file or directory"
    if d["fstype"] not in families:
        return None, "Bad magic number in super-block"
    return d, None


def blocks(d):
    total = int(d["size"]) // BS
    free = max(total - int(d["used"]) // BS, 0)
    return total, free


def dumpe2fs(argv, s):
    err("dumpe2fs 1.47.0 (5-Feb-2023)\n")
    d, problem = usage_target(argv, s, ("ext2", "ext3", "ext4"))
    if d is None:
        err("dumpe2fs: %s while trying to open %s\nCouldn't find valid filesystem "
            "superblock.\n" % (problem, argv[-1]))
        return 1
    total, free = blocks(d)
    features = {"ext2": "ext_attr resize_inode dir_index filetype sparse_super large_file",
                "ext3": "has_journal ext_attr resize_inode dir_index filetype sparse_super "
                        "large_file",
                "ext4": "has_journal ext_attr resize_inode dir_index filetype needs_recovery "
                        "extent 64bit flex_bg sparse_super large_file huge_file dir_nlink "
                        "extra_isize metadata_csum"}[d["fstype"]]
    inodes = max(total // 4, 16)
    out("Filesystem volume name:   %s\n" % (d["label"] or "<none>"))
    out("Last mounted on:          %s\n" % (d["mount"][0] if d["mount"] else "<not available>"))
    out("Filesystem UUID:          %s\n" % d["uuid"])
    out("Filesystem magic number:  0xEF53\n")
    out("Filesystem revision #:    1 (dynamic)\n")
    out("Filesystem features:      %s\n" % features)
    out("Filesystem flags:         signed_directory_hash \n")
    out("Default mount options:    user_xattr acl\n")
    out("Filesystem state:         clean\n")
    out("Errors behavior:          Continue\n")
    out("Filesystem OS type:       Linux\n")
    out("Inode count:              %d\n" % inodes)
    out("Block count:              %d\n" % total)
    out("Reserved block count:     %d\n" % (total // 20))
    out("Overhead clusters:        %d\n" % min(total, 8388))
    out("Free blocks:              %d\n" % free)
    out("Free inodes:              %d\n" % (inodes - 11))
    out("First block:              0\n")
    out("Block size:               %d\n" % BS)
    out("Fragment size:            %d\n" % BS)
    out("Group descriptor size:    64\n")
    out("Reserved GDT blocks:      127\n")
    out("Blocks per group:         32768\n")
    out("Fragments per group:      32768\n")
    out("Inodes per group:         8192\n")
    out("Inode blocks per group:   512\n")
    out("Flex block group size:    16\n")
    out("Mount count:              3\n")
    out("Maximum mount count:      -1\n")
    out("Check interval:           0 (<none>)\n")
    out("Reserved blocks uid:      0 (user root)\n")
    out("Reserved blocks gid:      0 (group root)\n")
    out("First inode:              11\n")
    out("Inode size:\t          256\n")
    out("Required extra isize:     32\n")
    out("Desired extra isize:      32\n")
    out("Journal inode:            8\n")
    out("Default directory hash:   half_md4\n")
    out("Journal backup:           inode blocks\n")
    out("Checksum type:            crc32c\n")
    out("Journal features:         journal_incompat_revoke journal_64bit\n")
    out("Total journal size:       64M\n")
    out("Total journal blocks:     16384\n")
    out("Journal sequence:         0x00000002\n")
    out("Journal start:            1\n")
    out("\n")
    return 0


def ntfsinfo(argv, s):
    d, problem = usage_target(argv, s, ("ntfs",))
    if d is None:
        err("Failed to open '%s': %s.\nThe device '%s' doesn't seem to have a valid NTFS.\n"
            % (argv[-1], problem, argv[-1]))
        return 1
    total, free = blocks(d)
    out("Volume Information \n")
    out("\tName of device: %s\n" % argv[-1])
    out("\tDevice state: 11\n")
    out("\tVolume Name: %s\n" % d["label"])
    out("\tVolume State: 91\n")
    out("\tVolume Flags: 0x0000\n")
    out("\tVolume Version: 3.1\n")
    out("\tSector Size: 512\n")
    out("\tCluster Size: %d\n" % BS)
    out("\tIndex Block Size: 4096\n")
    out("\tVolume Size in Clusters: %d\n" % total)
    out("MFT Information \n")
    out("\tMFT Record Size: 1024\n")
    out("\tMFT Zone Multiplier: 0\n")
    out("\tMFT Data Position: 24\n")
    out("\tMFT Zone Start: 0\n")
    out("\tMFT Zone End: %d\n" % (total // 8))
    out("\tMFT Zone Position: 4\n")
    out("\tCurrent Position in First Data Zone: %d\n" % (total // 8))
    out("\tCurrent MFT Position: 0\n")
    out("\tNumber of MFT Records: 64\n")
    out("\tMFT Records In Use: 16\n")
    out("\tMFT Records Free: 48\n")
    out("\tMFT Records that belong to the System: 16\n")
    pct = (100.0 * free / total) if total else 0.0
    out("\tFree Clusters: %d (%s%%)\n" % (free, ("%.1f" % pct).replace(".", ",")))
    return 0


def xfs_db(argv, s):
    d, problem = usage_target(argv, s, ("xfs",))
    if d is None:
        err("xfs_db: %s is not a valid XFS filesystem (unexpected SB magic number "
            "0x00000000)\n" % argv[-1])
        return 1
    total, free = blocks(d)
    fields = [("magicnum", "0x58465342"), ("blocksize", BS), ("dblocks", total),
              ("rblocks", 0), ("rextents", 0), ("uuid", d["uuid"]), ("logstart", total // 2),
              ("rootino", 128), ("rbmino", 129), ("rsumino", 130), ("rextsize", 1),
              ("agblocks", max(total // 4, 1)), ("agcount", 4), ("rbmblocks", 0),
              ("logblocks", 2560), ("versionnum", "0xb4a5"), ("sectsize", 512),
              ("inodesize", 512), ("inopblock", 8), ("fname", '"%s"' % ("\\000" * 12)),
              ("blocklog", 12), ("sectlog", 9), ("inodelog", 9), ("inopblog", 3),
              ("agblklog", 16), ("rextslog", 0), ("inprogress", 0), ("imax_pct", 25),
              ("icount", 64), ("ifree", 61), ("fdblocks", free), ("frextents", 0)]
    for key, value in fields:
        out("%s = %s\n" % (key, value))
    return 0


def btrfs(argv, s):
    if argv[1:3] != ["filesystem", "show"]:
        err("btrfs: this machine only answers \"filesystem show\"\n")
        return 1
    d, problem = usage_target(argv, s, ("btrfs",))
    if d is None:
        err("ERROR: not a valid btrfs filesystem: %s\n" % argv[-1])
        return 1
    label = "'%s'" % d["label"] if d["label"] else "none"
    out("Label: %s  uuid: %s\n" % (label, d["uuid"]))
    out("\tTotal devices 1 FS bytes used %s\n" % ml.btrfs_size_text(int(d["used"])))
    out("\tdevid    1 size %s used %s path %s\n"
        % (ml.btrfs_size_text(int(d["size"])), ml.btrfs_size_text(int(d["used"])),
           argv[-1]))
    out("\n")
    return 0


def dosfsck(argv, s):
    out("fsck.fat 4.2 (2021-01-31)\n")
    d, problem = usage_target(argv, s, ("vfat", "fat16", "fat32", "msdos"))
    if d is None:
        err("open: %s\n" % problem)
        return 1
    cluster = BS
    data_start = 1064960
    clusters = max((int(d["size"]) - data_start) // cluster, 1)
    used = min(int(d["used"]) // cluster, clusters)
    out("Checking we can access the last sector of the filesystem\n")
    out("Boot sector contents:\n")
    out("System ID \"mkfs.fat\"\n")
    out("Media byte 0xf8 (hard disk)\n")
    out("       512 bytes per logical sector\n")
    out("%10d bytes per cluster\n" % cluster)
    out("        32 reserved sectors\n")
    out("First FAT starts at byte 16384 (sector 32)\n")
    out("         2 FATs, 32 bit entries\n")
    out("    524288 bytes per FAT (= 1024 sectors)\n")
    out("Root directory start at cluster 2 (arbitrary size)\n")
    out("Data area starts at byte %d (sector %d)\n" % (data_start, data_start // 512))
    out("%10d data clusters (%d bytes)\n" % (clusters, clusters * cluster))
    out("63 sectors/track, 255 heads\n")
    out("         0 hidden sectors\n")
    out("%10d sectors total\n" % (int(d["size"]) // 512))
    out("Checking for unused clusters.\n")
    out("Checking free cluster summary.\n")
    out("%s: 13 files, %d/%d clusters\n" % (argv[-1], used, clusters))
    return 0


def debugreiserfs(argv, s):
    err("debugreiserfs 3.6.27\n\n")
    d, problem = usage_target(argv, s, ("reiserfs",))
    if d is None:
        err("\nreiserfs_open: the reiserfs superblock cannot be found on %s.\n" % argv[-1])
        return 1
    total, free = blocks(d)
    out("Filesystem state: consistent\n\n")
    out("Reiserfs super block in block 16 on 0x803 of format 3.6 with standard journal\n")
    out("Count of blocks on the device: %d\n" % total)
    out("Number of bitmaps: %d\n" % max(total // (BS * 8), 1))
    out("Blocksize: %d\n" % BS)
    out("Free blocks (count of blocks - used [journal, bitmaps, data, reserved] blocks): %d\n"
        % free)
    out("Root block: 8211\n")
    out("Filesystem is clean\n")
    out("Tree height: 2\n")
    out("Hash function used to sort names: \"r5\"\n")
    out("Objectid map size 2, max 972\n")
    out("Journal parameters:\n")
    out("\tDevice [0x0]\n\tMagic [0x2a3bd1b4]\n\tSize 8193 blocks (including 1 for journal "
        "header) (first block 18)\n")
    out("Blocks reserved by journal: 0\n")
    out("Fs state field: 0x0:\n")
    out("sb_version: 2\n")
    out("inode generation number: 0\n")
    out("UUID: %s\n" % d["uuid"])
    out("LABEL: %s\n" % d["label"])
    out("Set flags in SB:\n\tATTRIBUTES CLEAN\n")
    return 0


def nilfs_tune(argv, s):
    out("nilfs-tune 2.2.9\n")
    d, problem = usage_target(argv, s, ("nilfs2",))
    if d is None:
        err("nilfs-tune: %s: cannot open NILFS\n" % argv[-1])
        return 1
    total, free = blocks(d)
    out("Filesystem volume name:\t  %s\n" % (d["label"] or "(none)"))
    out("Filesystem UUID:\t  %s\n" % d["uuid"])
    out("Filesystem magic number:  0x3434\n")
    out("Filesystem revision #:\t  2.0\n")
    out("Filesystem features:      (none)\n")
    out("Filesystem state:\t  valid\n")
    out("Filesystem OS type:\t  Linux\n")
    out("Block size:\t\t  %d\n" % BS)
    out("Filesystem created:\t  Mon Jan  6 10:00:00 2025\n")
    out("Last mount time:\t  Mon Jan  6 10:00:00 2025\n")
    out("Last write time:\t  Mon Jan  6 10:00:00 2025\n")
    out("Mount count:\t\t  1\n")
    out("Maximum mount count:\t  50\n")
    out("Reserved blocks percentage:  5%\n")
    out("Last checkpoint #:\t  1\n")
    out("Last block address:\t  4096\n")
    out("Last sequence #:\t  1\n")
    out("Free blocks count:\t  %d\n" % free)
    out("Commit interval:\t  0\n")
    out("# of segments per checkpoint:  1\n")
    out("Blocks per segment:\t  2048\n")
    out("Device size:\t\t  %d\n" % int(d["size"]))
    out("Checkpoint/segment count: 0\n")
    return 0


def jfs_debugfs(argv, s):
    try:
        sys.stdin.read()
    except (OSError, ValueError):
        pass
    out("jfs_debugfs version 1.1.15, 04-Mar-2011\n\n")
    d, problem = usage_target(argv, s, ("jfs",))
    if d is None:
        out("jfs_debugfs: Error reading superblock\n")
        return 1
    total, free = blocks(d)
    out("Aggregate Block Size: %d\n\n" % BS)
    out("> Block allocation map control page at block 16\n\n")
    out("[1] dn_mapsize:\t\t0x%011x\t[9] dn_agheigth:\t0\n" % total)
    out("[2] dn_nfree:\t\t0x%011x\t[10] dn_agwidth:\t1\n" % free)
    out("[3] dn_l2nbperpage:\t0\t\t[11] dn_agstart:\t341\n")
    out("[4] dn_numag:\t\t4\t\t[12] dn_agl2size:\t16\n")
    out("display_dbmap: [m]odify, [b]ackfill, e[x]it > \n> ")
    return 0


def debugfs_reiser4(argv, s):
    out("debugfs.reiser4 1.2.2\nFormat release: 4.0.2\nCopyright (C) 2001-2005 by Hans "
        "Reiser, licensing governed by reiser4progs/COPYING.\n\n")
    d, problem = usage_target(argv, s, ("reiser4",))
    if d is None:
        err("Fatal: Can't open reiser4 on %s\n" % argv[-1])
        return 1
    total, free = blocks(d)
    out("Master super block (16):\n")
    out("magic:\t\tReIsEr4\n")
    out("blksize:\t%d\n" % BS)
    out("format:\t\t0x0 (format40)\n")
    out("uuid:\t\t%s\n" % d["uuid"])
    out("label:\t\t%s\n\n" % (d["label"] or "<none>"))
    out("Format super block (17):\n")
    out("plugin:\t\tformat40\n")
    out("description:\tDisk-format plugin.\n")
    out("version:\t0\n")
    out("magic:\t\tReIsEr40FoRmAt\n")
    out("mkfs id:\t0x1b5b9b13\n")
    out("flushes:\t0\n")
    out("blocks:\t\t%d\n" % total)
    out("free blocks:\t%d\n" % free)
    out("root block:\t23\n")
    out("tail policy:\t0x2 (smart)\n")
    out("next oid:\t0x10000\n")
    out("file count:\t1\n")
    out("tree height:\t2\n")
    out("key policy:\tLARGE\n")
    return 0


FAKES = {
    "lsblk": lsblk, "dmsetup": dmsetup, "du": du, "dpkg": dpkg, "orvik-clone": orvik_clone,
    "dumpe2fs": dumpe2fs, "ntfsinfo": ntfsinfo, "xfs_db": xfs_db, "btrfs": btrfs,
    "dosfsck": dosfsck, "fsck.fat": dosfsck, "debugreiserfs": debugreiserfs,
    "nilfs-tune": nilfs_tune, "jfs_debugfs": jfs_debugfs, "debugfs.reiser4": debugfs_reiser4,
    "update-initramfs": update_initramfs, "sudo": sudo, "blkid": blkid, "fsck": fsck,
    "systemctl": succeed_quietly, "reboot": succeed_quietly,
    "orvik-repair-pkexec": succeed_quietly,
}


def main():
    argv = list(sys.argv)
    name = os.path.basename(argv[0])
    log_call(argv)
    s = scenario()
    code = apply_override(name, argv, s)
    if code is None:
        if name in FAKES:
            code = FAKES[name](argv, s)
        else:
            code = exec_real(argv)
    sys.stdout.flush()
    sys.stderr.flush()
    return code


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        sys.exit(141)
