#pragma once

#include <QDebug>
#include <QString>
#include <QWidget>

namespace trevok {

// Loads an interface file from the resources folder, anew at every call, so a
// sheet opened again starts fresh. Returns nullptr (after logging why) when
// the file is missing or broken.
QWidget* loadInterface(const QString& name, QWidget* parent = nullptr);

// The resources folder's images, by name ("Users_large_active").
QString imagePath(const QString& name);

// An outlet of a loaded interface, found by its object name.
template <class T> T* outlet(const QWidget* root, const char* name) {
    if (!root)
        return nullptr;
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found && root->objectName() == QLatin1String(name))
        found = qobject_cast<T*>(const_cast<QWidget*>(root));
    if (!found)
        qWarning().noquote() << "interface outlet missing:" << name;
    return found;
}

} // namespace trevok

namespace trevok {
// Keeps `child` as large as its parent, as a view with flexible width and
// height in its superview does.
void followParentSize(QWidget* child);
} // namespace trevok
