#pragma once

// Every udisks2 D-Bus name the disk layer uses, in one place.
namespace UDisks2 {

inline constexpr char kService[] = "org.freedesktop.UDisks2";
inline constexpr char kRootPath[] = "/org/freedesktop/UDisks2";
inline constexpr char kManagerPath[] = "/org/freedesktop/UDisks2/Manager";

inline constexpr char kManagerInterface[] = "org.freedesktop.UDisks2.Manager";
inline constexpr char kGetBlockDevices[] = "GetBlockDevices";

inline constexpr char kObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char kGetManagedObjects[] = "GetManagedObjects";

inline constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
inline constexpr char kGetAll[] = "GetAll";

inline constexpr char kBlockInterface[] = "org.freedesktop.UDisks2.Block";
inline constexpr char kDevice[] = "Device";
inline constexpr char kIdUUID[] = "IdUUID";
inline constexpr char kIdType[] = "IdType";
inline constexpr char kIdLabel[] = "IdLabel";
inline constexpr char kDrive[] = "Drive";

inline constexpr char kFilesystemInterface[] = "org.freedesktop.UDisks2.Filesystem";
inline constexpr char kMountPoints[] = "MountPoints";
inline constexpr char kMount[] = "Mount";
inline constexpr char kUnmount[] = "Unmount";

// udisks names "no object" with the root path, for example a device without a drive.
inline constexpr char kNoObject[] = "/";

// Error names that only say an object lacks an interface (a device without a file system).
inline constexpr char kErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kErrorUnknownInterface[] = "org.freedesktop.DBus.Error.UnknownInterface";

// Every call has a time-out of its own, so that a hung service ends the run with a message
// naming the call. Mounting may replay a journal or check a large file system first;
// unmounting may flush a slow disk: ten minutes.
inline constexpr int kMountTimeoutMs = 10 * 60 * 1000;
// The service answers every other call from what it holds in memory: milliseconds even with
// hundreds of devices. A minute also covers a service that is still starting up.
inline constexpr int kDefaultTimeoutMs = 60 * 1000;

}  // namespace UDisks2
