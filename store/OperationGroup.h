#pragma once

#include "store/RESTOperation.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

// One step of a group that failed, in the words of the step and the request.
struct OperationFailure {
    QString step;
    QString error;
    bool operator==(const OperationFailure&) const = default;
};

// Operations a flow starts without waiting for them, told together: once the
// group is closed and every operation in it has finished, `done` gets the
// failures in the order they became known (empty when all succeeded).
class OperationGroup : public std::enable_shared_from_this<OperationGroup> {
public:
    using Done = std::function<void(const QList<OperationFailure>& failures)>;

    // `done` is called once, as long as `context` lives.
    static std::shared_ptr<OperationGroup> create(QObject* context, Done done);

    // Adds an operation; a failure of it is told as `step`.
    void add(const RESTOperationPtr& op, const QString& step);
    // A failure known without an operation, told with the others.
    void addFailure(const QString& step, const QString& error);
    // No operation is added after this; `done` follows once the ones added
    // have finished (at once when they all have).
    void close();

private:
    OperationGroup(QObject* context, Done done);
    void settleOne();

    QPointer<QObject> m_context;
    Done m_done;
    QList<OperationFailure> m_failures;
    // The operations still running, plus one until close().
    int m_pending = 1;
};
