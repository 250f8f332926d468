#pragma once

#include <QString>
#include <QUuid>

namespace trevok {

// A fresh random UUID as 36 upper-case characters in groups of 8-4-4-4-12.
inline QString uuidText() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace trevok
