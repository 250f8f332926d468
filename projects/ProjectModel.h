#pragma once

#include "store/CouchModel.h"

// A project record.
class ProjectModel : public CouchModel {
    Q_OBJECT
public:
    using CouchModel::CouchModel;
};
