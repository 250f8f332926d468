#include "services/Interface.h"
#include "server/ServerProcess.h"

#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QUiLoader>

namespace trevok {

QWidget* loadInterface(const QString& name, QWidget* parent) {
    QFile file(resourcesFolder() + QLatin1Char('/') + name + QStringLiteral(".ui"));
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("Error: cannot open interface %1: %2")
                                    .arg(file.fileName(), file.errorString());
        return nullptr;
    }
    QUiLoader loader;
    QWidget* root = loader.load(&file, parent);
    if (!root) {
        qWarning().noquote() << QStringLiteral("Error: cannot load interface %1: %2")
                                    .arg(name, loader.errorString());
        return nullptr;
    }
    // A label left to guess draws anything that looks like markup as markup,
    // and the console puts people's names into its labels.
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->textFormat() == Qt::AutoText)
            label->setTextFormat(Qt::PlainText);
    return root;
}

QString imagePath(const QString& name) {
    return resourcesFolder() + QStringLiteral("/images/") + name + QStringLiteral(".png");
}

} // namespace trevok

namespace trevok {

namespace {
class ParentSizeFollower : public QObject {
public:
    explicit ParentSizeFollower(QWidget* child)
        : QObject(child)
        , m_child(child) {
        child->parentWidget()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize && watched == m_child->parentWidget())
            m_child->setGeometry(m_child->parentWidget()->rect());
        return false;
    }

private:
    QWidget* m_child;
};
} // namespace

void followParentSize(QWidget* child) {
    if (child && child->parentWidget())
        new ParentSizeFollower(child);
}

} // namespace trevok
