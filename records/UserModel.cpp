#include "records/UserModel.h"

#include "chrome/UserDefaults.h"

#include <QDateTime>

QJsonObject UserModel::propertiesToSave() {
    // Values already set are kept: a record read back and saved again keeps
    // the server and the creation time it was made with.
    if (!hasValue(QStringLiteral("serverID"))) {
        const QVariant serverID = pxUserDefaults().value(QStringLiteral("serverID"));
        if (serverID.isValid())
            setValue(QStringLiteral("serverID"), serverID.toString());
    }
    if (!hasValue(QStringLiteral("created")))
        setDateValue(QStringLiteral("created"), QDateTime::currentDateTimeUtc());
    return CouchModel::propertiesToSave();
}
