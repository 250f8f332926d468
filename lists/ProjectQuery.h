#pragma once

#include "lists/LiveList.h"

// The live list of project records, from the master database's view of them.
class ProjectQuery : public LiveList {
    Q_OBJECT
public:
    explicit ProjectQuery(std::unique_ptr<CouchQuery> query);

protected:
    bool takesRow(const CouchQueryRow&) const override { return true; }
    CouchModel* modelFor(CouchDocument* document) const override;
};
