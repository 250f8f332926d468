#include "lists/UserQuery.h"

#include "records/UserModel.h"
#include "store/CouchQuery.h"

UserQuery::UserQuery(std::unique_ptr<CouchQuery> query)
    : LiveList(std::move(query), "UserQuery") {}

bool UserQuery::takesRow(const CouchQueryRow& row) const {
    return row.documentID().startsWith(QLatin1String("org.couchdb.user"));
}

CouchModel* UserQuery::modelFor(CouchDocument* document) const {
    return CouchModel::modelForDocument<UserModel>(document);
}
