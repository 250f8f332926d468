#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QRectF>

class PXAppStoreWindow;
class QWidget;

// Stands between the window and the delegate a client sets. It answers the
// sheet-position question itself unless the client does, and passes every
// other window message on to the client when the client has a method of that
// name (a slot or Q_INVOKABLE); messages the client lacks are dropped quietly.
//
// A client that wants to place sheets itself declares
//   Q_INVOKABLE QRectF windowWillPositionSheet(PXAppStoreWindow* window,
//                                             QWidget* sheet, QRectF rect);
// with `rect` and the answer in the window's bottom-up coordinates.
class PXAppStoreWindowDelegateProxy : public QObject {
    Q_OBJECT
public:
    explicit PXAppStoreWindowDelegateProxy(PXAppStoreWindow* window);

    // Not owned. Held weakly so that a delegate that goes away first is
    // simply no longer asked.
    QObject* secondaryDelegate() const { return m_secondary; }
    void setSecondaryDelegate(QObject* delegate) { m_secondary = delegate; }

    bool respondsToSelector(const QByteArray& name) const;
    // False without a client; otherwise whether the client is a `type`.
    bool isKindOfClass(const QMetaObject* type) const;

    // Delivers `name` to the client if it has such a method; false when the
    // message was dropped.
    bool forward(const char* name, QGenericReturnArgument result, QGenericArgument a0 = {},
                 QGenericArgument a1 = {}, QGenericArgument a2 = {});
    // A message with just the window as argument.
    bool forwardWindowMessage(const char* name);

    QRectF windowWillPositionSheet(PXAppStoreWindow* window, QWidget* sheet, const QRectF& rect);

private:
    static bool hasMethod(const QObject* target, const QByteArray& name);

    PXAppStoreWindow* m_window;
    QPointer<QObject> m_secondary;
};
