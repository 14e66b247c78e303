#include "utils/core/partitionusage/stdinspawn.h"

#include "platform/text/nultext.h"
#include "utils/core/command/runcommand.h"

bool SpawnCmdWithInput(const QString& cmd, const QStringList& args, const QByteArray& input,
                       QString& output, QString& error, qint64 outputLimit) {
    ChildRequest request(cmd, args, input);
    request.outputLimit = outputLimit;
    const ChildResult child = runCommand(request);
    output.append(textUpToNul(child.out));
    error.append(textUpToNul(child.err));
    return child.succeeded() && !child.overLimit;
}
