#include "app/AppDelegate.h"
#include "chrome/UserDefaults.h"
#include "server/ServerAccount.h"
#include "server/ServerChoice.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ServerAdmins.h"
#include "store/CouchServer.h"

#include <QComboBox>
#include <QDebug>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using trevok::outlet;
using trevok::ServerAccount;
using trevok::ServerChoice;

namespace {
const QString kReplicationAccountName = QStringLiteral("trevok-replicator");

QString replicationAccountFile() {
    return trevok::consoleConfigFile(QStringLiteral("replication-account.json"));
}

// How long the welcome of a chosen server may take at start-up: the
// window waits for it, so not long.
constexpr int kProbeTimeoutMs = 5000;
} // namespace

ServerChoice AppDelegate::serverChoice() {
    return trevok::readServerChoice(pxUserDefaults());
}

bool AppDelegate::launchesServer() const {
    return m_launchesServer && serverChoice().isBundled();
}

void AppDelegate::probeChosenServer(const ServerChoice& choice) {
    CouchServer probe(choice.url);
    probe.setRequestTimeout(kProbeTimeoutMs);
    RESTOperationPtr op = probe.GET(QString());
    const QString where = choice.url.toDisplayString();
    if (op->wait() && op->responseBody().toObject().contains(QStringLiteral("couchdb"))) {
        trevok::setLabelText(
            m_serverVersionTextField,
            QStringLiteral("The CouchDB server at %1 is up and running.").arg(where));
    } else {
        trevok::setLabelText(
            m_serverVersionTextField,
            QStringLiteral("The CouchDB server at %1 does not answer: %2").arg(where, op->error()));
    }
    m_serverVersionTextField->show();
}

void AppDelegate::learnServerGeneration() {
    RESTOperationPtr welcome = m_server->GET(QString());
    // A server that lists its databases but says nothing of itself is taken
    // for the first line, whose documents every server of it takes.
    m_server->setGeneration(welcome->wait()
                                ? serverGenerationFromWelcome(welcome->responseBody().toObject())
                                : ServerGeneration::Classic);
    ensureReplicationAccount();
}

void AppDelegate::ensureReplicationAccount() {
    if (m_server->generation() != ServerGeneration::Clustered)
        return;
    const QString file = replicationAccountFile();
    std::optional<ServerAccount> account = trevok::readServerAccount(file);
    if (account) {
        // Still an administrator of this server? (A file kept from another
        // server, or an account removed there, is made anew.)
        RESTOperationPtr session = m_server->enqueue(
            "GET", QUrl(m_serverURL.toString() + QStringLiteral("/_session")), {}, {},
            CouchServer::basicAuthorization(account->user, account->password));
        const bool admin = session->wait() && session->responseBody()
                                                  .toObject()
                                                  .value(QStringLiteral("userCtx"))
                                                  .toObject()
                                                  .value(QStringLiteral("roles"))
                                                  .toArray()
                                                  .contains(QStringLiteral("_admin"));
        if (!admin)
            account.reset();
    }
    QString problem;
    if (!account) {
        // A new password: the login's repair writes it into every
        // replication document, whose ends then differ from what it expects.
        const ServerAccount made{kReplicationAccountName, trevok::generateAccountPassword()};
        problem = trevok::setServerAdminAndWait(m_server.get(), made.user, made.password);
        if (problem.isEmpty())
            problem = trevok::writeServerAccount(file, made);
        if (problem.isEmpty())
            account = made;
    }
    if (account) {
        m_server->setReplicationCredential(account->user, account->password);
        return;
    }
    // Replications still have to run: with the administrator's own
    // credential, which a change of that password then leaves behind.
    m_server->setReplicationCredential(m_serverCredential.user, m_serverCredential.password);
    qWarning().noquote() << QStringLiteral("Error: the replication account: %1").arg(problem);
    addConsoleProblem(QStringLiteral("The replications' own account could not be made (%1): "
                                     "they carry the administrator's password, and stop when "
                                     "it changes.")
                          .arg(problem));
}

void AppDelegate::connectServerChoiceOutlets() {
    const QWidget* root = m_mainContent;
    m_serverKindCombo = outlet<QComboBox>(root, "serverKindCombo");
    m_serverURLField = outlet<QLineEdit>(root, "serverURLField");
    m_serverAdminField = outlet<QLineEdit>(root, "serverAdminField");
    m_applyServerButton = outlet<QPushButton>(root, "applyServerButton");
    m_serverChoiceStatusLabel = outlet<QLabel>(root, "serverChoiceStatusLabel");
    if (!m_serverKindCombo || !m_serverURLField || !m_serverAdminField || !m_applyServerButton ||
        !m_serverChoiceStatusLabel)
        return;
    showServerChoice();
    const auto fieldsFollowKind = [this] {
        const bool couch = m_serverKindCombo->currentIndex() == 1;
        m_serverURLField->setEnabled(couch);
        m_serverAdminField->setEnabled(couch);
    };
    fieldsFollowKind();
    connect(m_serverKindCombo, &QComboBox::currentIndexChanged, this, fieldsFollowKind);
    connect(m_applyServerButton, &QPushButton::clicked, this, &AppDelegate::applyServerChoice);
    connect(m_serverURLField, &QLineEdit::returnPressed, this, &AppDelegate::applyServerChoice);
}

void AppDelegate::showServerChoice() {
    const ServerChoice choice = serverChoice();
    m_serverKindCombo->setCurrentIndex(choice.isBundled() ? 0 : 1);
    m_serverURLField->setText(choice.isBundled() ? QString() : choice.url.toString());
    m_serverAdminField->setText(choice.admin);
}

void AppDelegate::applyServerChoice() {
    if (!m_serverKindCombo)
        return;
    ServerChoice choice;
    if (m_serverKindCombo->currentIndex() == 1) {
        const QString admin = m_serverAdminField->text().trimmed().isEmpty()
                                  ? QStringLiteral("admin")
                                  : m_serverAdminField->text().trimmed();
        // What was typed stays in the fields whatever is wrong with it.
        if (const QString problem = trevok::serverChoiceProblem(m_serverURLField->text(), admin);
            !problem.isEmpty()) {
            trevok::showWarning(m_serverChoiceStatusLabel, problem);
            return;
        }
        choice.kind = ServerChoice::Kind::CouchDB;
        choice.url = trevok::normalizedServerURL(m_serverURLField->text());
        choice.admin = admin;
    }
    if (choice == serverChoice()) {
        trevok::setLabelText(m_serverChoiceStatusLabel,
                             QStringLiteral("TrevokServer already uses this server."));
        return;
    }
    {
        QSettings defaults = pxUserDefaults();
        trevok::writeServerChoice(defaults, choice);
    }
    trevok::showWarning(
        m_serverChoiceStatusLabel,
        choice.isBundled()
            ? QStringLiteral("Quit and start TrevokServer again to use the bundled server.")
            : QStringLiteral("Quit and start TrevokServer again to use the server at %1; log in "
                             "there with the password of “%2”.")
                  .arg(choice.url.toDisplayString(), choice.admin));
}
