#pragma once

#include <QString>

#include "tool/main/options.h"

// The recovery live system acts on the next boot when one of these flags exists.
extern const char liveFlagPath[];
extern const char liveFlagPathNew[];
extern const char flagDir[];

// update-initramfs -u, then the leftover service file goes. Always NoError.
int refreshInitramfs();

// Withdraws both flags, then the task file, each removal synced before the next step;
// NoError or CancelFailed.
int cancelBackupOrRestore(const ActionType& action, const QString& recoveryMountPoint);

// The flag the installed system version's live system looks for.
QString chooseLiveFlagPath(const QString& majorVersion, const QString& minorVersion,
                           const QString& buildVersion);

// Before a new plan replaces an earlier one: the earlier plan's flags come down and their
// removal is synced, so that no power cut can leave a flag over a plan half replaced.
// OtherError, naming the flag and the reason, when one stays.
int lowerLiveFlags();

// Raises the flag once the plan is on the disk, and syncs it, its directory, and "/" when the
// flag directory was just made; only then NoError and the success message. When the flag
// cannot be raised or synced, or its programs run out of time, the flag this run made is
// withdrawn as a cancel would withdraw it, the log says what stands, and OtherError.
int raiseLiveFlag();

// The dry run's stand-in for lowerLiveFlags and raiseLiveFlag: OtherError, with a message,
// when the flags could be seen not to come down or go up.
int foreseeLiveFlags();
