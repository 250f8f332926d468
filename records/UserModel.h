#pragma once

#include "store/CouchModel.h"

// A user document of `_users`. Its save rule fills in what a record of this
// server always carries: the server's identifier and the creation time.
class UserModel : public CouchModel {
    Q_OBJECT
public:
    using CouchModel::CouchModel;

    QJsonObject propertiesToSave() override;
};
