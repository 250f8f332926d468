#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

namespace trevok {

// A confirmation alert: message, informative text, a default button (answer 1)
// and "Cancel" (answer -1), run as a window-modal sheet on the main window.
struct ConfirmationAlert {
    QString message;
    QString informativeText;
    QString defaultButton;
    QString accessibleDescription;
};

// The answer arrives through the callback, after the alert has closed.
void runConfirmationAlert(QWidget* window, const ConfirmationAlert& alert,
                          std::function<void(int returnCode)> done);

// A failure the administrator must hear about after a sheet is gone: one alert
// with what failed and the server's reason.
void showFailureAlert(QWidget* window, const QString& message, const QString& informativeText);

// Failures of several steps of one flow, told together at its end.
class FailureReport {
public:
    void add(const QString& step, const QString& reason);
    bool isEmpty() const { return m_lines.isEmpty(); }
    QString text() const { return m_lines.join(QLatin1Char('\n')); }
    // Shows one alert with every failure when there was any.
    void tell(QWidget* window, const QString& message) const;

private:
    QStringList m_lines;
};

// Test hooks: answer confirmation alerts in advance and collect failure alerts
// instead of showing them.
namespace alerts_for_testing {
void answerNextAlerts(std::optional<int> returnCode);
QStringList& shownFailures();
QStringList& shownConfirmations();
} // namespace alerts_for_testing

} // namespace trevok
