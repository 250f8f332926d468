#include "services/Alerts.h"

#include "services/BusyState.h"

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace trevok {

namespace {
std::optional<int> g_answer;
QStringList g_failures;
QStringList g_confirmations;
bool g_collectFailures = false;
} // namespace

namespace alerts_for_testing {
void answerNextAlerts(std::optional<int> returnCode) {
    g_answer = returnCode;
    g_collectFailures = true;
}
QStringList& shownFailures() {
    g_collectFailures = true;
    return g_failures;
}
QStringList& shownConfirmations() {
    return g_confirmations;
}
} // namespace alerts_for_testing

namespace {
// An alert quotes names and the server's reasons: every line of it is
// shown as the characters it holds. (The box itself only makes its first
// line plain on request, and its informative line never.)
void showAsPlainText(QMessageBox* box) {
    box->setTextFormat(Qt::PlainText);
    for (QLabel* label : box->findChildren<QLabel*>())
        label->setTextFormat(Qt::PlainText);
}
} // namespace

void runConfirmationAlert(QWidget* window, const ConfirmationAlert& alert,
                          std::function<void(int)> done) {
    g_confirmations.append(alert.message);
    if (g_answer) {
        const int answer = *g_answer;
        done(answer);
        return;
    }
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setText(alert.message);
    box->setInformativeText(alert.informativeText);
    showAsPlainText(box);
    box->setAccessibleName(alert.message);
    box->setAccessibleDescription(alert.accessibleDescription);
    QPushButton* ok = box->addButton(alert.defaultButton, QMessageBox::AcceptRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    ok->setAccessibleName(alert.defaultButton);
    cancel->setAccessibleName(QStringLiteral("Cancel"));
    box->setDefaultButton(ok);
    box->setEscapeButton(cancel);
    QPointer<QWidget> context(window);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, ok, context, done = std::move(done)](int) {
                         const int code = box->clickedButton() == ok ? 1 : -1;
                         // Once the alert is gone, as an alert's end does, and
                         // never inside another flow's wait: the answer starts a
                         // flow of its own. Nothing runs once the window is gone.
                         QTimer::singleShot(0, context, [context, done, code] {
                             trevok::whenIdle(context, [done, code] { done(code); });
                         });
                     });
    box->open();
}

void showFailureAlert(QWidget* window, const QString& message, const QString& informativeText) {
    if (g_collectFailures) {
        g_failures.append(message + QLatin1Char('\n') + informativeText);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Critical, message, message, QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setInformativeText(informativeText);
    showAsPlainText(box);
    box->setAccessibleName(message);
    box->setAccessibleDescription(QStringLiteral("failureAlert"));
    box->open();
}

void FailureReport::add(const QString& step, const QString& reason) {
    m_lines.append(reason.isEmpty() ? step : step + QStringLiteral(": ") + reason);
}

void FailureReport::tell(QWidget* window, const QString& message) const {
    if (!isEmpty())
        showFailureAlert(window, message, text());
}

} // namespace trevok
