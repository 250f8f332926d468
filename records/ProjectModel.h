#pragma once

#include "store/CouchModel.h"

// A project record (type "ProjectInfoDoc"), in a project database or its copy
// in the master database. Every save through the model fills in what the
// record format requires.
class ProjectModel : public CouchModel {
    Q_OBJECT
public:
    using CouchModel::CouchModel;
    QJsonObject propertiesToSave() override;
};
