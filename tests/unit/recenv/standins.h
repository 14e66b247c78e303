#pragma once

// Bodies of the stand-ins for sudo and fsck that the recovery-environment tests install with
// FakePrograms::installScript. They take their answers from the environment, so one stand-in
// serves every row of a test.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "common/fakeprograms.h"

// A sudo that runs its arguments, as the live system's does for root.
inline const QByteArray kPassThroughSudo = "exec \"$@\"";

// A blkid that answers from $FAKE_BLKID_OUTPUT (exit $FAKE_BLKID_EXIT), sudo or not before it.
inline const QByteArray kFakeBlkid =
    "[ -n \"$FAKE_BLKID_OUTPUT\" ] && cat \"$FAKE_BLKID_OUTPUT\"\n"
    "echo \"blkid: fake stderr\" >&2\n"
    "exit ${FAKE_BLKID_EXIT:-0}";
inline void installFakeBlkid(FakePrograms& fakes) {
    fakes.installScript("sudo", kPassThroughSudo);
    fakes.installScript("blkid", kFakeBlkid);
}

// An fsck that prints to both channels and exits with 4 for the devices listed in
// $FAKE_FSCK_ERRORS, with $FAKE_FSCK_EXIT otherwise; "crash" kills itself.
inline const QByteArray kFakeFsck =
    "echo \"fsck out $*\"\n"
    "echo \"fsck err $*\" >&2\n"
    "for a in \"$@\"; do last=\"$a\"; done\n"
    "for d in $FAKE_FSCK_ERRORS; do [ \"$d\" = \"$last\" ] && exit 4; done\n"
    "[ \"$FAKE_FSCK_EXIT\" = crash ] && kill -SEGV $$\n"
    "exit ${FAKE_FSCK_EXIT:-0}";

// Each call of name as one line, "[arg][arg]...".
inline QStringList bracketedCalls(const FakePrograms& fakes, const QString& name) {
    QStringList lines;
    for (const QStringList& args : fakes.calls(name)) {
        lines.append(args.isEmpty() ? QString() : "[" + args.join("][") + "]");
    }
    return lines;
}
