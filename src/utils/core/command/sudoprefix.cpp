#include "utils/core/command/sudoprefix.h"

#include <QFileInfo>

ChildRequest withoutSudoForRoot(ChildRequest request, bool callerIsRoot) {
    const bool plainSudo = QFileInfo(request.program).fileName() == QLatin1String("sudo") &&
                           !request.args.isEmpty() && !request.args.first().startsWith('-');
    if (callerIsRoot && plainSudo) {
        request.program = request.args.takeFirst();
    }
    return request;
}
