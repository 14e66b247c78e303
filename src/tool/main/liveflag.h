#pragma once

#include <QString>

#include "tool/main/options.h"

// The recovery live system acts on the next boot when one of these flags exists.
extern const char liveFlagPath[];
extern const char liveFlagPathNew[];
extern const char flagDir[];

// update-initramfs -u, then the leftover service file goes. Always NoError.
int refreshInitramfs();

// Withdraws both flags and the task file; NoError or CancelFailed.
int cancelBackupOrRestore(const ActionType& action, const QString& recoveryMountPoint);

// The flag the installed system version's live system looks for.
QString chooseLiveFlagPath(const QString& majorVersion, const QString& minorVersion,
                           const QString& buildVersion);

// Raises the flag after the task file is in place; NoError once the flag exists.
int raiseLiveFlag();
