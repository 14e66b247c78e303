#pragma once

// Every utility of this folder in one include.
#include "utils/utils/backuphistory.h"
#include "utils/utils/blkid.h"
#include "utils/utils/cmdline.h"
#include "utils/utils/fsck.h"
#include "utils/utils/systemqueries.h"
