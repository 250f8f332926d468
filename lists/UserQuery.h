#pragma once

#include "lists/LiveList.h"

// The live list of user documents of `_users` (design documents left out).
class UserQuery : public LiveList {
    Q_OBJECT
public:
    explicit UserQuery(std::unique_ptr<CouchQuery> query);

protected:
    bool takesRow(const CouchQueryRow& row) const override;
    CouchModel* modelFor(CouchDocument* document) const override;
};
