#include "lists/ProjectQuery.h"

#include "records/ProjectModel.h"
#include "store/CouchQuery.h"

ProjectQuery::ProjectQuery(std::unique_ptr<CouchQuery> query)
    : LiveList(std::move(query), "ProjectQuery") {}

CouchModel* ProjectQuery::modelFor(CouchDocument* document) const {
    return CouchModel::modelForDocument<ProjectModel>(document);
}
