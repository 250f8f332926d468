#include "store/OperationGroup.h"

OperationGroup::OperationGroup(QObject* context, Done done)
    : m_context(context)
    , m_done(std::move(done)) {}

std::shared_ptr<OperationGroup> OperationGroup::create(QObject* context, Done done) {
    return std::shared_ptr<OperationGroup>(new OperationGroup(context, std::move(done)));
}

void OperationGroup::add(const RESTOperationPtr& op, const QString& step) {
    ++m_pending;
    // The operation keeps the group alive until it has finished.
    op->onCompletion(m_context, [self = shared_from_this(), step](RESTOperation& done) {
        if (!done.isSuccessful())
            self->m_failures.append({step, done.error()});
        self->settleOne();
    });
}

void OperationGroup::addFailure(const QString& step, const QString& error) {
    m_failures.append({step, error});
}

void OperationGroup::close() {
    settleOne();
}

void OperationGroup::settleOne() {
    if (--m_pending != 0 || !m_done)
        return;
    const Done done = std::move(m_done);
    m_done = nullptr;
    if (m_context)
        done(m_failures);
}
