// Starts one job of the background worker and reads its result, as the graphical front end
// does: the worker's signal reaches the main thread through its event loop.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "utils/AsyncTask/asynctask.h"

namespace {

const char kDevice[] = "/dev/orvik-consumer-test";
// What the stand-in fsck of this folder writes to standard error for the repair job.
const char kExpected[] = "stand-in ran: fsck -y /dev/orvik-consumer-test\n";

void finish(bool ok, const QString& text) {
    std::printf("%s: %s\n", ok ? "ok" : "failed", qPrintable(text));
    QCoreApplication::exit(ok ? 0 : 1);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    AsyncTask task(1);
    task.setDevicePath(kDevice);
    QObject::connect(&task, &AsyncTask::fixPartitionFailed, &app,
                     [](const QString& error) { finish(error == kExpected, error); });
    QObject::connect(&task, &AsyncTask::fixPartitionSuccess, &app,
                     [] { finish(false, "the job reported success"); });
    QTimer::singleShot(30000, &app, [] { finish(false, "no result within 30 s"); });
    task.start();
    const int status = app.exec();
    task.wait();
    return status;
}
