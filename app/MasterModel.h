#pragma once

#include "store/CouchModel.h"

#include <QDateTime>
#include <QJsonObject>

#include <functional>

namespace trevok {
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
