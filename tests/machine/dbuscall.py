#!/usr/bin/python3
"""A small udisks2 client for the machine's self-tests (busctl is not on every machine).

    dbuscall.py list                       GetBlockDevices: one object path a line
    dbuscall.py mount PATH [OPTIONS]       Filesystem.Mount: prints the answer
    dbuscall.py unmount PATH               Filesystem.Unmount
    dbuscall.py mountpoints PATH           Filesystem MountPoints: one repr() of the bytes a line
    dbuscall.py getall PATH INTERFACE      Properties.GetAll: one "name=value" a line

Talks to the system bus; a D-Bus error is printed as "ErrorName: text" on stderr, exit 1."""

import sys

import dbus

SERVICE = "org.freedesktop.UDisks2"
FS = "org.freedesktop.UDisks2.Filesystem"


def main(args):
    bus = dbus.SystemBus()
    if args[0] == "list":
        manager = bus.get_object(SERVICE, "/org/freedesktop/UDisks2/Manager", introspect=False)
        for path in manager.GetBlockDevices(dbus.Dictionary({}, signature="sv"),
                                            dbus_interface="org.freedesktop.UDisks2.Manager"):
            print(path)
        return 0
    obj = bus.get_object(SERVICE, args[1], introspect=False)
    if args[0] == "mount":
        options = {"options": args[2]} if len(args) > 2 else {}
        print(obj.Mount(dbus.Dictionary(options, signature="sv"), dbus_interface=FS))
    elif args[0] == "unmount":
        obj.Unmount(dbus.Dictionary({}, signature="sv"), dbus_interface=FS)
    elif args[0] == "mountpoints":
        for point in obj.Get(FS, "MountPoints", dbus_interface=dbus.PROPERTIES_IFACE):
            print(repr(bytes(point)))
    elif args[0] == "getall":
        props = obj.GetAll(args[2], dbus_interface=dbus.PROPERTIES_IFACE)
        for key in sorted(props):
            print("%s=%s" % (key, props[key]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except dbus.DBusException as e:
        sys.stderr.write("%s: %s\n" % (e.get_dbus_name(), e.get_dbus_message()))
        sys.exit(1)
