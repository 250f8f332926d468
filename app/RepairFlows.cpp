#include "app/AppDelegate.h"
#include "app/WebRepair.h"
#include "chrome/PXAppStoreWindow.h"
#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchServer.h"

#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

using trevok::outlet;

namespace {
// While another flow waits for the server, the mending waits its turn.
constexpr int kBusyPollMs = 100;
} // namespace

void AppDelegate::connectRepairOutlets() {
    const QWidget* root = m_mainContent;
    m_infoStatusLabel = outlet<QLabel>(root, "infoStatusLabel");
    trevok::fitLabel(m_infoStatusLabel, 2);
    m_leftoversList = outlet<QListWidget>(root, "leftoversList");
    m_removeLeftoverButton = outlet<QPushButton>(root, "removeLeftoverButton");
    if (m_removeLeftoverButton)
        connect(m_removeLeftoverButton, &QPushButton::clicked, this, &AppDelegate::removeLeftover);
    if (m_leftoversList)
        connect(m_leftoversList, &QListWidget::itemSelectionChanged, this,
                &AppDelegate::showLeftovers);
    showLeftovers();
}

void AppDelegate::setInfoStatus(const QString& text) {
    if (m_infoStatusLabel)
        trevok::setLabelText(m_infoStatusLabel, text);
}

QString AppDelegate::infoStatusText() const {
    return trevok::fullLabelText(m_infoStatusLabel);
}

QStringList AppDelegate::leftovers() const {
    QStringList words;
    if (m_webRepair) {
        for (const WebRepair::Leftover& leftover : m_webRepair->leftovers())
            words.append(leftover.words);
    }
    return words;
}

bool AppDelegate::webRepairRunning() const {
    return m_webRepairPending || (m_webRepair && m_webRepair->isAuditing());
}

void AppDelegate::startWebRepair(const QStringList& databases, bool atLogin) {
    if (!m_webRepair) {
        m_webRepair = new WebRepair(session(), this);
        connect(m_webRepair, &WebRepair::audited, this, [this] { scheduleWebMend(0); });
    }
    if (m_webRepair->isAuditing())
        return;
    m_webRepairPending = true;
    m_webRepairAtLogin = atLogin;
    m_webRepair->audit(databases);
}

void AppDelegate::scheduleWebMend(int delayMs) {
    // The audit ends inside whatever waits meanwhile; the mending, which
    // waits itself, runs once the event loop is free.
    QTimer::singleShot(delayMs, this, [this] {
        if (trevok::flowRunning()) {
            scheduleWebMend(kBusyPollMs);
            return;
        }
        mendWeb();
    });
}

void AppDelegate::mendWeb() {
    if (!m_webRepair->error().isEmpty()) {
        m_webRepairPending = false;
        setInfoStatus(QStringLiteral("The users and projects could not be checked: %1")
                          .arg(m_webRepair->error()));
        showLeftovers();
        return;
    }
    const trevok::Provisioned mended = m_webRepair->mendAndWait(m_memberProjects);
    m_webRepairPending = false;
    const QString text = WebRepair::mendedText(mended.mended);
    if (!text.isEmpty())
        setInfoStatus(text);
    else if (m_webRepairAtLogin && mended.ok())
        setInfoStatus(QStringLiteral("Checked at login: nothing to mend."));
    showLeftovers();
    tellProvisioned(mended, QStringLiteral("Some users or projects could not be made whole."));
}

void AppDelegate::showLeftovers() {
    const QStringList words = leftovers();
    if (m_leftoversList && m_leftoversList->count() != words.size()) {
        m_leftoversList->clear();
        m_leftoversList->addItems(words);
    } else if (m_leftoversList) {
        for (int row = 0; row < words.size(); ++row)
            m_leftoversList->item(row)->setText(words.at(row));
    }
    for (QWidget* widget :
         {static_cast<QWidget*>(m_leftoversList), static_cast<QWidget*>(m_removeLeftoverButton),
          m_mainContent ? m_mainContent->findChild<QWidget*>(QStringLiteral("leftoversHeader"))
                        : nullptr}) {
        if (widget)
            widget->setVisible(!words.isEmpty());
    }
    if (m_removeLeftoverButton && m_leftoversList)
        m_removeLeftoverButton->setEnabled(m_leftoversList->currentRow() >= 0);
}

void AppDelegate::removeLeftover() {
    if (m_logedIn != 1 || !m_webRepair || !m_leftoversList)
        return;
    const int row = m_leftoversList->currentRow();
    if (row < 0 || row >= m_webRepair->leftovers().size())
        return;
    const WebRepair::Leftover leftover = m_webRepair->leftovers().at(row);
    trevok::runConfirmationAlert(
        m_mainWindow,
        {QStringLiteral("Do you want to remove this leftover?"),
         leftover.words +
             QStringLiteral(" It may still hold someone's data. You can't undo this action."),
         QStringLiteral("Remove"), QStringLiteral("removeLeftoverAlert")},
        [self = QPointer<AppDelegate>(this), leftover](int returnCode) {
            if (self)
                self->removeLeftoverModalEnded(returnCode, leftover.name);
        });
}

void AppDelegate::removeLeftoverModalEnded(int returnCode, const QString& name) {
    if (returnCode != 1 || m_logedIn != 1 || !m_webRepair)
        return;
    for (const WebRepair::Leftover& leftover : m_webRepair->leftovers()) {
        if (leftover.name != name)
            continue;
        const trevok::Provisioned removed = m_webRepair->removeAndWait(leftover);
        if (removed.ok())
            setInfoStatus(QStringLiteral("Removed: %1").arg(leftover.words));
        else
            setInfoStatus(QStringLiteral("Not removed completely: %1").arg(leftover.words));
        tellProvisioned(removed, QStringLiteral("The leftover was not removed completely."));
        break;
    }
    checkWholeWebAgain();
}

void AppDelegate::checkWholeWebAgain() {
    // Listed anew from what the server holds now.
    if (const auto databases = m_server->getDatabasesAndWait()) {
        QStringList names;
        for (CouchDatabase* db : *databases)
            names.append(db->name());
        startWebRepair(names, false);
    }
}
