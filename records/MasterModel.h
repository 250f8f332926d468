#pragma once

#include "store/CouchModel.h"

#include <QDateTime>
#include <QJsonObject>

#include <functional>

namespace trevok {
// "trevok_master": every user's documents meet here on their way to projects.
QString masterDatabaseName();
// "trevokMasterID", the master database's record of this server.
QString masterRecordID();
// The view "all_projects" of the master database's design document "meta".
extern const QString kAllProjectsMap;

// The master record's save rule: missing identifying fields are filled in,
// present ones are kept.
QJsonObject masterPropertiesToSave(QJsonObject body, const QDateTime& now,
                                   const std::function<QString()>& newUuid);
} // namespace trevok

// The master record "trevokMasterID" of "trevok_master".
class MasterModel : public CouchModel {
    Q_OBJECT
public:
    using CouchModel::CouchModel;
    QJsonObject propertiesToSave() override;
};
