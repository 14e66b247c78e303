"""Scenario model shared by the sandbox, the fake udisks2 service and the fake programs.

Only the standard library is used here: the fake programs run with "python3 -S" inside the
sandbox, and the host side (simmachine.py) may run under any Python 3.
"""

import copy
import json
import os
import re

UDISKS_ROOT = "/org/freedesktop/UDisks2"
BLOCK_PREFIX = UDISKS_ROOT + "/block_devices/"
DRIVE_PREFIX = UDISKS_ROOT + "/drives/"
# The host's own system, shown by the overlay of "/": never exposed into a machine again.
SYSTEM_DIRS = ("/usr/", "/lib", "/bin/", "/sbin/", "/etc/", "/proc/", "/sys/", "/dev/")

# File-system types that carry a mountable file system (udisks exposes the Filesystem
# interface only on these).
NOT_MOUNTABLE = {"", "swap", "crypto_LUKS", "LVM2_member", "linux_raid_member"}
FSTYPE_ALIASES = {"luks": "crypto_LUKS", "crypto_luks": "crypto_LUKS",
                  "lvm2": "LVM2_member", "lvm2_member": "LVM2_member"}

DEVICE_DEFAULTS = {
    "name": "", "kname": None, "type": "part", "pkname": "", "drive": "", "fstype": "",
    "uuid": "", "label": "", "partuuid": "", "partlabel": "", "size": 0, "used": 0,
    "mount": [], "readonly": False, "files": {}, "model": "", "vendor": "", "serial": "",
    "rev": "", "rota": 1, "hotplug": False, "log_sec": 512, "phy_sec": 512, "majmin": None,
    "mapper": "", "deps": [], "mount_target": "", "avail": None, "fsck_exit": 0,
    "fsck_repair_exit": 0, "ptuuid": "", "pttype": "", "mount_source": None,
}

SCENARIO_DEFAULTS = {
    "arch": "amd64",
    "os_version": {"MajorVersion": "25", "MinorVersion": "1070", "OsBuild": "102.100"},
    "desktop_type": "Professional",
    "recovery_uuid": None,
    "fstab": "",
    "cmdline": "BOOT_IMAGE=/boot/vmlinuz-6.1.0-amd64 ro quiet\n",
    "drives": [],
    "devices": [],
    "du": {},
    "invalid_images": [],
    "files": {},
    "dirs": [],
    "binds": [],
    "programs": {},
    "udisks": {},
    "remove": [],
}

UDISKS_DEFAULTS = {"absent": False, "mount_error": None, "unmount_error": None, "order": [],
                   "errors": {}, "mount_delay": 0, "no_real_mount": False}


def escape_object_name(text):
    """udisks' object-path escaping: every byte outside [A-Za-z0-9_] becomes _XX."""
    out = []
    for b in text.encode():
        c = chr(b)
        out.append(c if c.isascii() and (c.isalnum() or c == "_") else "_%02x" % b)
    return "".join(out)


def drive_object_name(drive):
    """udisks2 names a drive <vendor>_<model>_<serial>, leaving out the empty ones; each is
    stripped, its blanks and dashes made "_". Its Id joins the same with "-"."""
    parts = [drive[k].strip() for k in ("vendor", "model", "serial") if drive[k].strip()]
    return "_".join(escape_object_name(re.sub("[ -]", "_", p)) for p in parts) or "drive"


def _majmin_table(devices):
    """Plausible MAJ:MIN numbers: sd disks 8:16n+p, dm 254:n, everything else 259:k."""
    result, other = {}, 0
    for d in devices:
        if d["majmin"]:
            result[d["name"]] = d["majmin"]
            continue
        kname = d["kname"]
        m = re.fullmatch(r"sd([a-z]+)(\d*)", kname)
        dm = re.fullmatch(r"dm-(\d+)", kname)
        if m:
            letters = 0
            for ch in m.group(1):
                letters = letters * 26 + (ord(ch) - ord("a") + 1)
            index = letters - 1
            part = int(m.group(2) or 0)
            # Past sdp the kernel moves to other majors; keep the numbers unique anyway.
            major = 8 if index < 16 else 65 + (index - 16) // 16
            result[d["name"]] = "%d:%d" % (major, (index % 16) * 16 + part)
        elif dm:
            result[d["name"]] = "254:%s" % dm.group(1)
        else:
            result[d["name"]] = "259:%d" % other
            other += 1
    return result


def normalize(scenario):
    """Fills every default into a deep copy of the scenario and returns it."""
    s = copy.deepcopy(scenario)
    for key, value in SCENARIO_DEFAULTS.items():
        s.setdefault(key, copy.deepcopy(value))
    u = dict(UDISKS_DEFAULTS)
    u.update(s.get("udisks") or {})
    s["udisks"] = u
    devices = []
    for raw in s["devices"]:
        d = copy.deepcopy(DEVICE_DEFAULTS)
        d.update(raw)
        if not d["name"]:
            raise ValueError("a scenario device has no name: %r" % (raw,))
        if d["kname"] is None:
            d["kname"] = d["name"]
        d["fstype"] = FSTYPE_ALIASES.get(d["fstype"].lower(), d["fstype"])
        if isinstance(d["mount"], str):
            d["mount"] = [d["mount"]] if d["mount"] else []
        d["path"] = "/dev/mapper/" + d["mapper"] if d["mapper"] else "/dev/" + d["kname"]
        if d["mount_source"] is None:
            d["mount_source"] = d["path"]
        d["object_path"] = BLOCK_PREFIX + escape_object_name(d["kname"])
        devices.append(d)
    s["devices"] = devices
    names = [d["name"] for d in devices]
    if len(set(names)) != len(names):
        raise ValueError("duplicate device names in scenario")
    majmin = _majmin_table(devices)
    for d in devices:
        d["majmin"] = majmin[d["name"]]
    by_kname = {d["kname"]: d for d in devices}
    for d in devices:  # the daemon gives a partition the drive of its disk
        disk = by_kname.get(d["pkname"])
        if d["type"] == "part" and disk is not None and disk["type"] == "disk":
            if d["drive"] not in ("", disk["drive"]):
                raise ValueError("partition %s is not on its disk's drive" % d["name"])
            d["drive"] = disk["drive"]
    drives = [{"id": e} if isinstance(e, str) else dict(e) for e in s["drives"]]
    known = {d["id"] for d in drives}
    for d in devices:  # a drive named only by a device still exists
        if d["drive"] and d["drive"] not in known:
            known.add(d["drive"])
            drives.append({"id": d["drive"]})
    for drive in drives:
        drive.setdefault("vendor", "")
        drive.setdefault("model", "SIM DISK")
        drive.setdefault("serial", "SIM-" + drive["id"])
        drive["object_path"] = DRIVE_PREFIX + drive_object_name(drive)
    if len({d["object_path"] for d in drives}) != len(drives):
        raise ValueError("two drives with the same vendor, model and serial")
    s["drives"] = drives
    roots = [d for d in devices if "/" in d["mount"]]
    if len(roots) > 1:
        raise ValueError("more than one device is mounted at /")
    return s


def drive_object_path(scenario, device):
    if not device["drive"]:
        return "/"
    for drive in scenario["drives"]:
        if drive["id"] == device["drive"]:
            return drive["object_path"]
    return "/"


def root_device(scenario):
    for d in scenario["devices"]:
        if "/" in d["mount"]:
            return d
    return None


def is_mountable(device):
    return device["fstype"] not in NOT_MOUNTABLE


def find_device(scenario, ident, root="/"):
    """The device an argument such as /dev/sda1, /dev/mapper/x or a by-uuid link names."""
    if not ident:
        return None
    candidates = [ident]
    try:
        full = os.path.join(root, ident.lstrip("/")) if root != "/" else ident
        if os.path.islink(full):
            target = os.path.realpath(full)
            if root != "/" and target.startswith(root.rstrip("/") + "/"):
                target = target[len(root.rstrip("/")):]
            candidates.append(target)
    except OSError:
        pass
    for d in scenario["devices"]:
        names = {"/dev/" + d["kname"], d["path"], d["mount_source"]}
        if d["mapper"]:
            names.add("/dev/mapper/" + d["mapper"])
        if any(c in names for c in candidates):
            return d
    return None


def unescape_mount_field(text):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), text)


def read_mountinfo(path="/proc/self/mountinfo"):
    """List of dicts (source, target, fstype, options, root) in the kernel's order."""
    entries = []
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.rstrip("\n").split(" ")
            sep = fields.index("-")
            entries.append({
                "root": unescape_mount_field(fields[3]),
                "target": unescape_mount_field(fields[4]),
                "mount_options": fields[5],
                "fstype": fields[sep + 1],
                "source": unescape_mount_field(fields[sep + 2]),
                "super_options": fields[sep + 3] if len(fields) > sep + 3 else "",
            })
    return entries


def mount_points_of(device, entries, prefix=""):
    """Mount points (as seen inside the sandbox) whose source is the device."""
    sources = {device["mount_source"], device["path"], "/dev/" + device["kname"]}
    prefix = prefix.rstrip("/")
    points = []
    for e in entries:
        if e["source"] not in sources:
            continue
        target = e["target"]
        if prefix:
            if target == prefix:
                target = "/"
            elif target.startswith(prefix + "/"):
                target = target[len(prefix):]
            else:
                continue
        if target not in points:
            points.append(target)
    return points


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def btrfs_size_text(value):
    """btrfs' human-readable sizes: two decimals and a binary unit."""
    units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"]
    v, i = float(value), 0
    while v >= 1024 and i < len(units) - 1:
        v /= 1024
        i += 1
    return "%.2f%s" % (v, units[i])


# ---------------------------------------------------------------------------------------
# Mounting. These helpers run as root of the sandbox's mount namespace, outside its chroot.

MS_RDONLY = 1
MS_REMOUNT = 32
MS_BIND = 4096
MNT_DETACH = 2

_libc = None


def libc():
    """The C library, loaded on first use: the fake programs never mount and start faster
    without ctypes."""
    global _libc
    if _libc is None:
        import ctypes
        lib = ctypes.CDLL(None, use_errno=True)
        lib.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
        lib.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
        _libc = (lib, ctypes)
    return _libc


class MountError(OSError):
    pass


def _b(text):
    return None if text is None else os.fsencode(text)


def sys_mount(source, target, fstype=None, flags=0, data=None):
    lib, ctypes = libc()
    if lib.mount(_b(source), _b(target), _b(fstype), flags, _b(data)) != 0:
        err = ctypes.get_errno()
        raise MountError(err, "mount %s on %s (%s, %s): %s"
                         % (source, target, fstype, data, os.strerror(err)))


def sys_umount(target, flags=0):
    lib, ctypes = libc()
    if lib.umount2(_b(target), flags) != 0:
        err = ctypes.get_errno()
        raise MountError(err, "umount %s: %s" % (target, os.strerror(err)))


PAGE = 4096
MIN_TMPFS = 1 << 20   # tmpfs treats size=0 as "no limit"; every device gets at least this


def tmpfs_size(size):
    size = max(int(size), MIN_TMPFS)
    return (size + PAGE - 1) // PAGE * PAGE


def set_available(mount_dir, avail):
    """Resizes a tmpfs so that exactly `avail` bytes (rounded up to a page) stay free."""
    st = os.statvfs(mount_dir)
    used = (st.f_blocks - st.f_bfree) * st.f_frsize
    size = used + (int(avail) + PAGE - 1) // PAGE * PAGE
    sys_mount(None, mount_dir, None, MS_REMOUNT, "size=%d" % max(size, PAGE))


def safe_relative(path):
    """A path below a root, refusing absolute paths and "..": nothing may escape the root."""
    parts = [p for p in path.split("/") if p not in ("", ".")]
    if any(p == ".." for p in parts):
        raise ValueError("path leaves its root: %r" % path)
    return "/".join(parts)


def content_bytes(content):
    """File content of a scenario: text, bytes, or {"base64": ...} (bytes after JSON)."""
    if isinstance(content, dict):
        import base64
        return base64.b64decode(content["base64"])
    return content.encode() if isinstance(content, str) else bytes(content)


def jsonable_contents(scenario):
    """The scenario with every bytes content turned into {"base64": ...}."""
    import base64

    def fix(files):
        return {k: {"base64": base64.b64encode(v).decode()} if isinstance(v, (bytes, bytearray))
                else v for k, v in files.items()}
    s = dict(scenario)
    s["files"] = fix(s.get("files") or {})
    s["devices"] = [dict(d, files=fix(d.get("files") or {})) for d in s.get("devices", [])]
    return s


def write_tree(base, files):
    """Creates `files` ({relative path: text or bytes}) under base, a directory we own."""
    for rel, content in files.items():
        rel = safe_relative(rel)
        target = os.path.join(base, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        data = content_bytes(content)
        with open(target, "wb") as f:
            f.write(data)


def in_root(root, func, *args):
    """Runs func(*args) in a child process chrooted to root, so symbolic links inside the
    sandbox can never lead a write out of it. Returns func's result (JSON-able)."""
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        code = 0
        try:
            os.chroot(root)
            os.chdir("/")
            payload = {"ok": func(*args)}
        except BaseException as e:  # reported to the parent, which raises it
            payload = {"error": "%s: %s" % (type(e).__name__, e)}
            code = 1
        try:
            with os.fdopen(wfd, "w") as f:
                json.dump(payload, f)
        finally:
            os._exit(code)
    os.close(wfd)
    with os.fdopen(rfd) as f:
        text = f.read()
    os.waitpid(pid, 0)
    payload = json.loads(text) if text else {"error": "helper died"}
    if "error" in payload:
        raise RuntimeError("inside the sandbox: " + payload["error"])
    return payload["ok"]


def _makedirs(path, mode=0o755):
    os.makedirs(path, mode=mode, exist_ok=True)
    return True


def store_dir(state, device):
    return os.path.join(state, "store", device["kname"])


def ensure_store(state, device):
    """Every device's content lives in a tmpfs of its size kept outside the chroot (so it
    never shows in the sandbox's mount table) and survives unmount and mount again."""
    store = store_dir(state, device)
    ready = store + ".ready"
    if os.path.exists(ready):
        return store
    os.makedirs(store, exist_ok=True)
    sys_mount(device["mount_source"], store, "tmpfs", 0,
              "size=%d,mode=0755" % tmpfs_size(device["size"]))
    write_tree(store, device["files"])
    if device["avail"] is not None:
        set_available(store, device["avail"])
    open(ready, "w").close()
    return store


def mount_device(state, root, device, target, readonly=None, make_dir=True):
    """Mounts the device's store at target (a path inside the sandbox)."""
    store = ensure_store(state, device)
    if make_dir:
        in_root(root, _makedirs, target)
    full = os.path.join(root, safe_relative(target))
    sys_mount(store, full, None, MS_BIND)
    if device["readonly"] if readonly is None else readonly:
        sys_mount(None, full, None, MS_REMOUNT | MS_BIND | MS_RDONLY)
    return full


# ---------------------------------------------------------------------------------------
# Scenario files and generated machines.

SCENARIO_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")


def load_scenario(ref):
    """A scenario as a plain dict: a dict (copied), a name from scenarios/ or a JSON path.

    A scenario file may say "extends": <name> to start from another one, then
    "patch_devices": {device name: {field: value}}, "remove_devices": [names] and
    "add_devices": [device, ...] (appended, or inserted after "after": <name>) on top of
    replacing any other top-level key."""
    if isinstance(ref, dict):
        data = copy.deepcopy(ref)
    else:
        path = ref
        if not os.path.sep in ref and not ref.endswith(".json"):
            path = os.path.join(SCENARIO_DIR, ref + ".json")
        data = load_json(path)
    base_name = data.pop("extends", None)
    if base_name is None:
        return data
    base = load_scenario(base_name)
    patches = data.pop("patch_devices", {})
    removed = set(data.pop("remove_devices", []))
    added = data.pop("add_devices", [])
    base.update(data)
    devices = [d for d in base["devices"] if d["name"] not in removed]
    for d in devices:
        d.update(patches.get(d["name"], {}))
    for extra in added:
        extra = dict(extra)
        after = extra.pop("after", None)
        index = len(devices)
        for i, d in enumerate(devices):
            if d["name"] == after:
                index = i + 1
        devices.insert(index, extra)
    base["devices"] = devices
    return base


def _disk_name(index):
    letters = ""
    index += 1
    while index:
        index, rem = divmod(index - 1, 26)
        letters = chr(ord("a") + rem) + letters
    return "sd" + letters


def generate_scenario(n, base="plain", system_last=True, parts_per_disk=7):
    """A machine of exactly n block devices: the base scenario's devices plus filler disks
    (sdc, sdd, ... each with up to parts_per_disk unmounted ext4 partitions). With
    system_last the filler comes first in every listing, so walks over the devices pass all
    of it before they reach the system's partitions."""
    import uuid as uuidlib
    s = load_scenario(base)
    own = s["devices"]
    if n < len(own):
        raise ValueError("a %s machine has at least %d block devices" % (base, len(own)))
    used_names = {d["name"] for d in own}
    filler, disk_index = [], 0
    while len(own) + len(filler) < n:
        name = _disk_name(disk_index)
        disk_index += 1
        if name in used_names:
            continue
        drive = "filler-" + name
        s.setdefault("drives", []).append({"id": drive, "model": "SIM FILLER"})
        filler.append({"name": name, "type": "disk", "drive": drive, "size": 1 << 40,
                       "model": "SIM FILLER", "pttype": "gpt",
                       "ptuuid": str(uuidlib.uuid5(uuidlib.NAMESPACE_DNS, name))})
        for p in range(1, parts_per_disk + 1):
            if len(own) + len(filler) >= n:
                break
            pname = "%s%d" % (name, p)
            filler.append({
                "name": pname, "type": "part", "pkname": name, "drive": drive,
                "fstype": "ext4", "size": 10 << 30, "used": 1 << 30,
                "uuid": str(uuidlib.uuid5(uuidlib.NAMESPACE_URL, "orvik-sim/" + pname)),
                "partuuid": str(uuidlib.uuid5(uuidlib.NAMESPACE_OID, pname)),
            })
    s["devices"] = filler + own if system_last else own + filler
    return s
