#pragma once

#include "store/CouchModel.h"

// A user document of `_users`.
class UserModel : public CouchModel {
    Q_OBJECT
public:
    using CouchModel::CouchModel;
};
