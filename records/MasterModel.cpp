#include "records/MasterModel.h"
#include "records/UuidText.h"

namespace trevok {

QString masterDatabaseName() {
    return QStringLiteral("trevok_master");
}

QString masterRecordID() {
    return QStringLiteral("trevokMasterID");
}

const QString kAllProjectsMap =
    QStringLiteral("function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.title,doc);};");

QJsonObject masterPropertiesToSave(QJsonObject body, const QDateTime& now,
                                   const std::function<QString()>& newUuid) {
    const auto fill = [&body](const QString& key, const QJsonValue& value) {
        if (!body.contains(key) || body.value(key).isNull())
            body.insert(key, value);
    };
    fill(QStringLiteral("created"), now.toUTC().toString(Qt::ISODateWithMs));
    fill(QStringLiteral("type"), QStringLiteral("MasterInfoDoc"));
    if (!body.contains(QStringLiteral("masterID")) ||
        body.value(QStringLiteral("masterID")).isNull())
        body.insert(QStringLiteral("masterID"), newUuid());
    fill(QStringLiteral("owner"), QStringLiteral("admin"));
    return body;
}

} // namespace trevok

QJsonObject MasterModel::propertiesToSave() {
    return trevok::masterPropertiesToSave(CouchModel::propertiesToSave(),
                                          QDateTime::currentDateTimeUtc(), trevok::uuidText);
}
