#include "chrome/PXAppStoreWindowDelegateProxy.h"

#include "chrome/PXAppStoreWindow.h"
#include "chrome/TitlebarLayout.h"

#include <QMetaMethod>

PXAppStoreWindowDelegateProxy::PXAppStoreWindowDelegateProxy(PXAppStoreWindow* window)
    : QObject(window)
    , m_window(window) {}

bool PXAppStoreWindowDelegateProxy::hasMethod(const QObject* target, const QByteArray& name) {
    if (!target)
        return false;
    const QMetaObject* mo = target->metaObject();
    for (int i = 0; i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() != QMetaMethod::Signal && m.name() == name)
            return true;
    }
    return false;
}

bool PXAppStoreWindowDelegateProxy::respondsToSelector(const QByteArray& name) const {
    return name == QByteArrayLiteral("windowWillPositionSheet") || hasMethod(m_secondary, name);
}

bool PXAppStoreWindowDelegateProxy::isKindOfClass(const QMetaObject* type) const {
    return m_secondary && type && m_secondary->metaObject()->inherits(type);
}

bool PXAppStoreWindowDelegateProxy::forward(const char* name, QGenericReturnArgument result,
                                            QGenericArgument a0, QGenericArgument a1,
                                            QGenericArgument a2) {
    QObject* target = m_secondary;
    if (!hasMethod(target, name))
        return false;
    return QMetaObject::invokeMethod(target, name, Qt::DirectConnection, result, a0, a1, a2);
}

bool PXAppStoreWindowDelegateProxy::forwardWindowMessage(const char* name) {
    PXAppStoreWindow* window = m_window;
    return forward(name, QGenericReturnArgument(), Q_ARG(PXAppStoreWindow*, window));
}

QRectF PXAppStoreWindowDelegateProxy::windowWillPositionSheet(PXAppStoreWindow* window,
                                                              QWidget* sheet, const QRectF& rect) {
    QRectF answer;
    if (forward("windowWillPositionSheet", Q_RETURN_ARG(QRectF, answer),
                Q_ARG(PXAppStoreWindow*, window), Q_ARG(QWidget*, sheet), Q_ARG(QRectF, rect)))
        return answer;
    return pxDefaultSheetPositionRect(rect, window->height(), window->titleBarHeight());
}
