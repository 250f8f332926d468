#include "desktop/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace trevok {

namespace {
// A running console answers at once; a second start must end within 2 s
// even when the first one is busy in a flow, so it waits a little less.
constexpr int kHandOverMs = 1500;
constexpr int kLockMs = 3000;
const QByteArray kAck = QByteArrayLiteral("ok\n");
} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::channelPath() {
    // Qt falls back to a private folder of its own when the variable is unset.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/com.trevokapp.TrevokServer.instance");
}

bool SingleInstance::handOver(const QByteArray& request) {
    QLocalSocket socket;
    socket.connectToServer(channelPath());
    if (!socket.waitForConnected(kHandOverMs))
        return false;
    socket.write(request + '\n');
    socket.flush();
    QElapsedTimer clock;
    clock.start();
    // A console that holds the channel but does not answer (stopped in a
    // debugger, hung) still owns the announcement: never start a second one
    // beside it.
    while (!socket.canReadLine() && clock.elapsed() < kHandOverMs)
        socket.waitForReadyRead(int(kHandOverMs - clock.elapsed()));
    return true;
}

bool SingleInstance::claim(const QByteArray& request, QString* problem) {
    const QString path = channelPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Two starts at the same moment must not both find nobody and both listen.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockMs)) {
        if (handOver(request))
            return false;
    }
    if (handOver(request))
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        if (problem)
            *problem = QStringLiteral("A second start of TrevokServer cannot find this one: "
                                      "its channel “%1” could not be opened (%2).")
                           .arg(path, m_server->errorString());
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine().trimmed();
                    socket->write(kAck);
                    socket->flush();
                    Q_EMIT requested(line);
                }
            });
        }
    });
    return true;
}

} // namespace trevok
