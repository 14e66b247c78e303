// recovery.json: read from disk and from text, then every task's fields as a reader takes them.
#include <QJsonArray>

#include "fuzzcommon.h"
#include "jsonfile.h"
#include "utils/AsyncTask/asynctask.h"
#include "utils/utils/systemqueries.h"

ORVIK_FUZZ_INIT

namespace {

void walkTasks(const QJsonObject& document) {
    document.value("type").toInt();
    document.value("total").toInt();
    document.value("auto_reboot").toBool();
    document.value("locale").toString();
    const QJsonValue tasks = document.value("tasks");
    const QJsonArray list = tasks.isArray() ? tasks.toArray() : QJsonArray();
    for (const QJsonValue& value : list) {
        const QJsonObject task = value.toObject();
        for (auto it = task.begin(); it != task.end(); ++it) {
            it.value().toString();
            it.value().toObject();
        }
        PartitionCheckItem item;
        item.fromJson(task);
        item.toJson();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray content = fuzz::bytes(data, size);
    if (fuzz::writeScratch(content)) {
        walkTasks(Utils::readJsonFile(fuzz::scratchJsonPath()));
    }
    walkTasks(Utils::jsonFromString(QString::fromUtf8(content)));
    return 0;
}
