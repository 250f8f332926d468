#include "app/AppDelegate.h"

void AppDelegate::setProjectListFilter(const QString& predicate) {
    m_projectListPredicate = predicate;
}
