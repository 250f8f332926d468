#include "records/ProjectModel.h"

#include "chrome/UserDefaults.h"
#include "records/ProjectNames.h"

QJsonObject ProjectModel::propertiesToSave() {
    const QVariant serverID = pxUserDefaults().value(QStringLiteral("serverID"));
    const QJsonObject body = trevok::projects::projectPropertiesToSave(
        CouchModel::propertiesToSave(), needsSave(), QDateTime::currentDateTimeUtc(),
        serverID.isValid() ? serverID.toString() : QString(),
        document() ? document()->documentID() : QString());
    // Through setValue, so that the model holds what it writes.
    const QJsonObject current = properties();
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (current.value(it.key()) != it.value())
            setValue(it.key(), it.value());
    }
    return CouchModel::propertiesToSave();
}
