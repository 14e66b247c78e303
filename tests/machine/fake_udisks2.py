#!/usr/bin/python3
"""A udisks2 service for the simulated machine, speaking the real D-Bus API.

It owns org.freedesktop.UDisks2 on the bus it is given and serves the scenario's block
devices and drives: the Manager (GetBlockDevices), the ObjectManager (GetManagedObjects),
the Properties interface, and Filesystem.Mount / Unmount. Every method call it receives is
appended to the call log as one line "Interface.Method /object/path".

Mount really mounts, inside the sandbox whose root is --root: the device's content (a tmpfs
of its size kept under --state) is bind-mounted where udisks2 would put it (the mount point
the scenario's fstab gives the device, else /media/root/<label>, else /media/root/<uuid>) or
at the device's "mount_target", read-only when the device, fstab or the options say so. With --no-real-mount it
only records the mount point (for tests that run outside a sandbox). Mount points are read
from the kernel's mount table in the first mode and from the records in the second.

Fault switches come from the scenario's "udisks" table: mount_error, unmount_error,
mount_delay (seconds before Mount answers), silent (methods never answered, as by a
service that has stopped answering) and errors ({"Interface.Method" or "Method":
error text}) which makes that call fail with org.freedesktop.UDisks2.Error.Failed.
"""

import argparse
import os
import re
import signal
import sys

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import machinelib as ml  # noqa: E402

BUS_NAME = "org.freedesktop.UDisks2"
I_MANAGER = "org.freedesktop.UDisks2.Manager"
I_BLOCK = "org.freedesktop.UDisks2.Block"
I_FS = "org.freedesktop.UDisks2.Filesystem"
I_PART = "org.freedesktop.UDisks2.Partition"
I_TABLE = "org.freedesktop.UDisks2.PartitionTable"
I_SWAP = "org.freedesktop.UDisks2.Swapspace"
I_CRYPT = "org.freedesktop.UDisks2.Encrypted"
I_DRIVE = "org.freedesktop.UDisks2.Drive"
I_PROPS = "org.freedesktop.DBus.Properties"
I_OM = "org.freedesktop.DBus.ObjectManager"
I_INTRO = "org.freedesktop.DBus.Introspectable"
I_PEER = "org.freedesktop.DBus.Peer"
MANAGER_PATH = ml.UDISKS_ROOT + "/Manager"

E_FAILED = "org.freedesktop.UDisks2.Error.Failed"
E_ALREADY = "org.freedesktop.UDisks2.Error.AlreadyMounted"
E_NOTMOUNTED = "org.freedesktop.UDisks2.Error.NotMounted"
E_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"
E_METHOD = "org.freedesktop.DBus.Error.UnknownMethod"
E_OBJECT = "org.freedesktop.DBus.Error.UnknownObject"


class DBusFault(Exception):
    def __init__(self, name, text):
        super().__init__(text)
        self.name = name
        self.text = text


def ay(text):
    """udisks sends paths as byte arrays ending in one NUL byte."""
    return dbus.Array([dbus.Byte(b) for b in os.fsencode(text) + b"\0"], signature="y")


def aay(texts):
    return dbus.Array([ay(t) for t in texts], signature="ay")


def signature_of(value):
    simple = [(dbus.Boolean, "b"), (dbus.Byte, "y"), (dbus.Int16, "n"), (dbus.UInt16, "q"),
              (dbus.Int32, "i"), (dbus.UInt32, "u"), (dbus.Int64, "x"), (dbus.UInt64, "t"),
              (dbus.Double, "d"), (dbus.ObjectPath, "o"), (dbus.Signature, "g"),
              (dbus.String, "s")]
    for cls, sig in simple:
        if isinstance(value, cls):
            return sig
    if isinstance(value, dbus.Array):
        return "a" + value.signature
    if isinstance(value, dbus.Dictionary):
        return "a{%s}" % value.signature
    if isinstance(value, dbus.Struct):
        return "(%s)" % "".join(signature_of(v) for v in value)
    return "v"


class FakeUDisks(dbus.service.FallbackObject):
    def __init__(self, conn, scenario, root, state, real_mount, log_path):
        super().__init__(conn, "/")
        self.conn = conn
        self.s = scenario
        self.root = root
        self.state = state
        self.real_mount = real_mount
        self.log = open(log_path, "a", buffering=1) if log_path else None
        self.by_path = {d["object_path"]: d for d in scenario["devices"]}
        self.by_kname = {d["kname"]: d for d in scenario["devices"]}
        self.by_name = {d["name"]: d for d in scenario["devices"]}
        self.drives = {dr["object_path"]: dr for dr in scenario["drives"]}
        # Mount records of the --no-real-mount mode: device name -> list of mount points.
        self.recorded = {d["name"]: list(d["mount"]) for d in scenario["devices"]}
        self.created_dirs = set()

    # ------------------------------------------------------------------ mount state
    def mount_points(self, d):
        # udisks2 lists them sorted by path, whatever the order of the mount table.
        if not self.real_mount:
            return sorted(self.recorded[d["name"]])
        return sorted(ml.mount_points_of(d, ml.read_mountinfo(), prefix=self.root))

    def fstab_entry(self, d):
        """(mount point, options) of the device's line in the scenario's fstab, or None."""
        names = {"UUID=" + d["uuid"], "LABEL=" + d["label"], "PARTUUID=" + d["partuuid"],
                 "/dev/" + d["kname"], d["path"]} - {"UUID=", "LABEL=", "PARTUUID="}
        for line in (self.s.get("fstab") or "").splitlines():
            fields = line.split()
            if len(fields) >= 4 and not fields[0].startswith("#") and fields[0] in names:
                return ml.unescape_mount_field(fields[1]), fields[3].split(",")
        return None

    def mount_target(self, d):
        if d["mount_target"]:
            return d["mount_target"], []
        entry = self.fstab_entry(d)
        if entry:
            return entry
        return "/media/root/" + (d["label"] or d["uuid"] or d["kname"]), []

    def listing(self):
        """The manager's order: the real daemon's is its own, neither device nor mount
        order; a scenario gives one with "udisks": {"order": [names]} (the rest follow)."""
        first = [self.by_name[n] for n in self.s["udisks"].get("order") or []]
        return first + [d for d in self.s["devices"] if d not in first]

    # ------------------------------------------------------------------ properties
    def block_interfaces(self, d):
        parent = self.by_kname.get(d["pkname"])
        symlinks = []
        if d["uuid"]:
            symlinks.append("/dev/disk/by-uuid/" + d["uuid"])
        if d["partuuid"]:
            symlinks.append("/dev/disk/by-partuuid/" + d["partuuid"])
        if d["mapper"]:
            symlinks.append("/dev/mapper/" + d["mapper"])
        major, minor = (int(x) for x in d["majmin"].split(":"))
        fs = d["fstype"]
        usage = ("filesystem" if ml.is_mountable(d) else "crypto" if fs == "crypto_LUKS"
                 else "raid" if fs in ("LVM2_member", "linux_raid_member")
                 else "other" if fs == "swap" else "")
        crypto_backing = "/"
        if d["type"] == "crypt" and parent is not None:
            crypto_backing = parent["object_path"]
        block = {
            "Device": ay("/dev/" + d["kname"]),
            "PreferredDevice": ay(d["path"]),
            "Symlinks": aay(symlinks),
            "DeviceNumber": dbus.UInt64(major * 256 + minor if major < 256 else
                                        (major << 20) | minor),
            "Id": dbus.String("by-uuid-" + d["uuid"] if d["uuid"] else ""),
            "Size": dbus.UInt64(int(d["size"])),
            "ReadOnly": dbus.Boolean(bool(d["readonly"])),
            "Drive": dbus.ObjectPath(ml.drive_object_path(self.s, d)),
            "MDRaid": dbus.ObjectPath("/"),
            "MDRaidMember": dbus.ObjectPath("/"),
            "IdUsage": dbus.String(usage),
            "IdType": dbus.String(fs),
            "IdVersion": dbus.String("1.0" if fs else ""),
            "IdLabel": dbus.String(d["label"]),
            "IdUUID": dbus.String(d["uuid"]),
            "Configuration": dbus.Array([], signature="(sa{sv})"),
            "CryptoBackingDevice": dbus.ObjectPath(crypto_backing),
            "HintPartitionable": dbus.Boolean(d["type"] == "disk"),
            "HintSystem": dbus.Boolean(not d["hotplug"]),
            "HintIgnore": dbus.Boolean(False),
            "HintAuto": dbus.Boolean(bool(d["hotplug"])),
            "HintName": dbus.String(""),
            "HintIconName": dbus.String(""),
            "HintSymbolicIconName": dbus.String(""),
            "UserspaceMountOptions": dbus.Array([], signature="s"),
        }
        result = {I_BLOCK: block}
        if ml.is_mountable(d):
            result[I_FS] = {"MountPoints": aay(self.mount_points(d)),
                            "Size": dbus.UInt64(int(d["size"]))}
        if d["type"] == "part":
            number = "".join(ch for ch in d["kname"][len(d["pkname"]):] if ch.isdigit())
            result[I_PART] = {
                "Number": dbus.UInt32(int(number or 0)),
                "Type": dbus.String("0fc63daf-8483-4772-8e79-3d69d8477de4"),
                "Flags": dbus.UInt64(0), "Offset": dbus.UInt64(1048576),
                "Size": dbus.UInt64(int(d["size"])), "Name": dbus.String(d["partlabel"]),
                "UUID": dbus.String(d["partuuid"]),
                "Table": dbus.ObjectPath(parent["object_path"] if parent else "/"),
                "IsContainer": dbus.Boolean(False), "IsContained": dbus.Boolean(False)}
        if d["type"] == "disk" and d["pttype"]:
            parts = [x["object_path"] for x in self.s["devices"]
                     if x["pkname"] == d["kname"] and x["type"] == "part"]
            result[I_TABLE] = {"Type": dbus.String(d["pttype"]),
                               "Partitions": dbus.Array(parts, signature="o")}
        if d["fstype"] == "swap":
            result[I_SWAP] = {"Active": dbus.Boolean(False)}
        if d["fstype"] == "crypto_LUKS":
            clear = [x["object_path"] for x in self.s["devices"]
                     if x["type"] == "crypt" and x["pkname"] == d["kname"]]
            result[I_CRYPT] = {"HintEncryptionType": dbus.String("luks2"),
                               "MetadataSize": dbus.UInt64(16777216),
                               "CleartextDevice": dbus.ObjectPath(clear[0] if clear else "/")}
        return result

    def drive_interfaces(self, dr):
        disk = next((d for d in self.s["devices"]
                     if d["drive"] == dr["id"] and d["type"] == "disk"), None)
        size = int(disk["size"]) if disk else 0
        removable = bool(dr.get("removable", False))
        names = [dr[k] for k in ("vendor", "model", "serial") if dr[k].strip()]
        return {I_DRIVE: {
            "Vendor": dbus.String(dr["vendor"]),
            "Model": dbus.String(dr["model"]),
            "Revision": dbus.String(dr.get("revision", "1.0")),
            "Serial": dbus.String(dr["serial"]),
            "WWN": dbus.String(""),
            "Id": dbus.String(re.sub("[ /]", "-", "-".join(names))),
            "Configuration": dbus.Dictionary({}, signature="sv"),
            "Media": dbus.String(""),
            "MediaCompatibility": dbus.Array([], signature="s"),
            "MediaRemovable": dbus.Boolean(removable),
            "MediaAvailable": dbus.Boolean(True),
            "MediaChangeDetected": dbus.Boolean(True),
            "Size": dbus.UInt64(size),
            "TimeDetected": dbus.UInt64(1700000000000000),
            "TimeMediaDetected": dbus.UInt64(1700000000000000),
            "Optical": dbus.Boolean(False), "OpticalBlank": dbus.Boolean(False),
            "OpticalNumTracks": dbus.UInt32(0), "OpticalNumAudioTracks": dbus.UInt32(0),
            "OpticalNumDataTracks": dbus.UInt32(0), "OpticalNumSessions": dbus.UInt32(0),
            "RotationRate": dbus.Int32(int(dr.get("rotation_rate", 7200))),
            "ConnectionBus": dbus.String("usb" if removable else ""),
            "Seat": dbus.String("seat0"),
            "Removable": dbus.Boolean(removable), "Ejectable": dbus.Boolean(removable),
            # Every drive is there when the service starts: "coldplug" in udisks2's terms.
            "SortKey": dbus.String("00coldplug/%s/%s" % ("10removable" if removable else
                                                         "00fixed", disk["kname"] if disk
                                                         else dr["id"])),
            "CanPowerOff": dbus.Boolean(removable),
            "SiblingId": dbus.String(""),
        }}

    def manager_interfaces(self):
        return {I_MANAGER: {
            "Version": dbus.String("2.9.4"),
            "SupportedFilesystems": dbus.Array(
                ["ext2", "ext3", "ext4", "vfat", "ntfs", "xfs", "btrfs", "swap"],
                signature="s"),
            "SupportedEncryptionTypes": dbus.Array(["luks1", "luks2"], signature="s"),
            "DefaultEncryptionType": dbus.String("luks1"),
        }}

    def interfaces_of(self, path):
        if path in self.by_path:
            return self.block_interfaces(self.by_path[path])
        if path in self.drives:
            return self.drive_interfaces(self.drives[path])
        if path == MANAGER_PATH:
            return self.manager_interfaces()
        return None

    def managed_objects(self):
        objects = dbus.Dictionary({}, signature="oa{sa{sv}}")
        objects[dbus.ObjectPath(MANAGER_PATH)] = self.manager_interfaces()
        for d in self.listing():
            objects[dbus.ObjectPath(d["object_path"])] = self.block_interfaces(d)
        for dr in self.s["drives"]:
            objects[dbus.ObjectPath(dr["object_path"])] = self.drive_interfaces(dr)
        return objects

    # ------------------------------------------------------------------ mounting
    def do_mount(self, d, options):
        points = self.mount_points(d)
        if points:
            raise DBusFault(E_ALREADY, "Device %s is already mounted at `%s'."
                            % ("/dev/" + d["kname"], points[0]))
        error = self.s["udisks"].get("mount_error")
        if error:
            raise DBusFault(E_FAILED, error)
        target, fstab_opts = self.mount_target(d)
        mount_opts = str(options.get("options", "")).split(",") + fstab_opts
        readonly = bool(d["readonly"]) or "ro" in mount_opts
        if self.real_mount:
            try:
                ml.mount_device(self.state, self.root, d, target, readonly)
            except (OSError, RuntimeError) as e:
                raise DBusFault(E_FAILED, "Error mounting %s at %s: %s"
                                % ("/dev/" + d["kname"], target, e))
        else:
            self.recorded[d["name"]].append(target)
        self.created_dirs.add(target)
        return target

    def do_unmount(self, d, options):
        points = self.mount_points(d)
        if not points:
            raise DBusFault(E_NOTMOUNTED, "Device `%s' is not mounted" % ("/dev/" + d["kname"]))
        error = self.s["udisks"].get("unmount_error")
        if error:
            raise DBusFault(E_FAILED, error)
        target = points[-1]
        if self.real_mount:
            flags = ml.MNT_DETACH if options.get("force") else 0
            try:
                ml.sys_umount(os.path.join(self.root, ml.safe_relative(target)), flags)
            except OSError as e:
                raise DBusFault("org.freedesktop.UDisks2.Error.DeviceBusy"
                                if e.errno == 16 else E_FAILED,
                                "Error unmounting %s: %s" % ("/dev/" + d["kname"], e))
            if target in self.created_dirs:
                try:
                    ml.in_root(self.root, os.rmdir, target)
                except RuntimeError:
                    pass
        else:
            self.recorded[d["name"]].remove(target)
        self.created_dirs.discard(target)

    def emit_mount_points(self, d):
        msg = dbus.lowlevel.SignalMessage(d["object_path"], I_PROPS, "PropertiesChanged")
        msg.append(I_FS, dbus.Dictionary({"MountPoints": aay(self.mount_points(d))},
                                         signature="sv"),
                   dbus.Array([], signature="s"), signature="sa{sv}as")
        self.conn.send_message(msg)

    # ------------------------------------------------------------------ introspection
    def introspect(self, path):
        xml = ['<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"'
               ' "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">', "<node>"]
        xml.append('<interface name="%s"><method name="Introspect"><arg type="s" '
                   'direction="out"/></method></interface>' % I_INTRO)
        xml.append('<interface name="%s"><method name="Ping"/></interface>' % I_PEER)
        ifaces = self.interfaces_of(path)
        if ifaces is not None:
            xml.append('<interface name="%s"><method name="Get"><arg type="s" direction="in"/>'
                       '<arg type="s" direction="in"/><arg type="v" direction="out"/></method>'
                       '<method name="GetAll"><arg type="s" direction="in"/><arg '
                       'type="a{sv}" direction="out"/></method></interface>' % I_PROPS)
            for name, props in ifaces.items():
                xml.append('<interface name="%s">' % name)
                if name == I_MANAGER:
                    xml.append('<method name="GetBlockDevices"><arg name="options" '
                               'type="a{sv}" direction="in"/><arg name="block_objects" '
                               'type="ao" direction="out"/></method>')
                if name == I_FS:
                    xml.append('<method name="Mount"><arg name="options" type="a{sv}" '
                               'direction="in"/><arg name="mount_path" type="s" '
                               'direction="out"/></method><method name="Unmount"><arg '
                               'name="options" type="a{sv}" direction="in"/></method>')
                for key, value in props.items():
                    xml.append('<property type="%s" name="%s" access="read"/>'
                               % (signature_of(value), key))
                xml.append("</interface>")
        if path == ml.UDISKS_ROOT:
            xml.append('<interface name="%s"><method name="GetManagedObjects"><arg '
                       'type="a{oa{sa{sv}}}" direction="out"/></method></interface>' % I_OM)
        every = [MANAGER_PATH] + list(self.by_path) + list(self.drives)
        prefix = path.rstrip("/") + "/"
        children = []
        for p in every:
            if p.startswith(prefix):
                child = p[len(prefix):].split("/")[0]
                if child not in children:
                    children.append(child)
        xml.extend('<node name="%s"/>' % c for c in children)
        xml.append("</node>")
        return "\n".join(xml)

    # ------------------------------------------------------------------ dispatch
    def configured_error(self, iface, member):
        errors = self.s["udisks"].get("errors") or {}
        for key in ("%s.%s" % (iface, member), "%s.%s" % (iface.rsplit(".", 1)[-1], member),
                    member):
            if key in errors:
                return errors[key]
        return None

    def _message_cb(self, connection, message):
        if message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
            return
        path = message.get_path()
        iface = message.get_interface() or ""
        member = message.get_member()
        if self.log:
            self.log.write("%s.%s %s\n" % (iface, member, path) if iface else
                           "%s %s\n" % (member, path))
        if member in (self.s["udisks"].get("silent") or []):
            return
        try:
            args = message.get_args_list()
            error = self.configured_error(iface, member)
            if error:
                raise DBusFault(E_FAILED, error)
            if iface == I_FS and member == "Mount":
                delay = float(self.s["udisks"].get("mount_delay") or 0)
                if delay > 0:
                    GLib.timeout_add(int(delay * 1000), self.finish_later, connection,
                                     message, path, member, args)
                    return
            sig, values = self.handle(path, iface, member, args)
            self.reply(connection, message, sig, values)
        except DBusFault as fault:
            connection.send_message(dbus.lowlevel.ErrorMessage(message, fault.name,
                                                               fault.text))

    def finish_later(self, connection, message, path, member, args):
        try:
            sig, values = self.handle(path, I_FS, member, args)
            self.reply(connection, message, sig, values)
        except DBusFault as fault:
            connection.send_message(dbus.lowlevel.ErrorMessage(message, fault.name,
                                                               fault.text))
        return False

    @staticmethod
    def reply(connection, message, sig, values):
        answer = dbus.lowlevel.MethodReturnMessage(message)
        if sig:
            answer.append(*values, signature=sig)
        connection.send_message(answer)

    def handle(self, path, iface, member, args):
        if iface in (I_INTRO, "") and member == "Introspect":
            return "s", [self.introspect(path)]
        if iface in (I_PEER, "") and member == "Ping":
            return "", []
        if path == ml.UDISKS_ROOT and iface in (I_OM, "") and member == "GetManagedObjects":
            return "a{oa{sa{sv}}}", [self.managed_objects()]
        if path == MANAGER_PATH and iface in (I_MANAGER, "") and member == "GetBlockDevices":
            return "ao", [dbus.Array([d["object_path"] for d in self.listing()],
                                     signature="o")]
        ifaces = self.interfaces_of(path)
        if ifaces is None:
            raise DBusFault(E_OBJECT, "No such object path '%s'" % path)
        if iface == I_PROPS and member in ("Get", "GetAll", "Set"):
            wanted = str(args[0]) if args else ""
            if wanted not in ifaces:
                raise DBusFault(E_ARGS, "No such interface “%s”" % wanted)
            if member == "GetAll":
                return "a{sv}", [dbus.Dictionary(ifaces[wanted], signature="sv")]
            if member == "Set":
                raise DBusFault("org.freedesktop.DBus.Error.PropertyReadOnly",
                                "Property '%s' is read-only" % args[1])
            prop = str(args[1]) if len(args) > 1 else ""
            if prop not in ifaces[wanted]:
                raise DBusFault(E_ARGS, "No such property “%s”" % prop)
            return "v", [ifaces[wanted][prop]]
        if iface == I_FS and I_FS in ifaces and member in ("Mount", "Unmount"):
            d = self.by_path[path]
            options = dict(args[0]) if args else {}
            if member == "Mount":
                target = self.do_mount(d, options)
                self.emit_mount_points(d)
                return "s", [target]
            self.do_unmount(d, options)
            self.emit_mount_points(d)
            return "", []
        raise DBusFault(E_METHOD, "No such interface “%s” on object at path %s"
                        % (iface, path) if iface not in ifaces else
                        "Method “%s” on interface “%s” does not exist" % (member, iface))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--address", default=os.environ.get("DBUS_SYSTEM_BUS_ADDRESS"))
    parser.add_argument("--scenario", help="scenario name or JSON file")
    parser.add_argument("--generate", type=int, help="a generated machine of N devices")
    parser.add_argument("--root", default="/", help="root of the sandbox for real mounts")
    parser.add_argument("--state", default="/run/simmachine")
    parser.add_argument("--no-real-mount", action="store_true")
    parser.add_argument("--log")
    opts = parser.parse_args()
    if opts.generate:
        scenario = ml.generate_scenario(opts.generate)
    else:
        scenario = ml.load_scenario(opts.scenario)
    scenario = ml.normalize(scenario)
    real = not (opts.no_real_mount or scenario["udisks"].get("no_real_mount"))
    DBusGMainLoop(set_as_default=True)
    conn = dbus.bus.BusConnection(opts.address)
    service = FakeUDisks(conn, scenario, opts.root, opts.state, real, opts.log)
    name = dbus.service.BusName(BUS_NAME, bus=conn, do_not_queue=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, loop.quit)
    print("READY", flush=True)
    loop.run()
    del name, service


if __name__ == "__main__":
    main()
