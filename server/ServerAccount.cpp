#include "server/ServerAccount.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>

#include <array>

namespace trevok {

QString consoleConfigFile(const QString& configHome, const QString& fileName) {
    return configHome + QStringLiteral("/com.trevokapp/") + fileName;
}

QString consoleConfigFile(const QString& fileName) {
    return consoleConfigFile(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), fileName);
}

std::optional<ServerAccount> readServerAccount(const QString& file) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(in.readAll()).object();
    ServerAccount account{o.value(QStringLiteral("user")).toString(),
                          o.value(QStringLiteral("password")).toString()};
    if (account.user.isEmpty() || account.password.isEmpty())
        return std::nullopt;
    return account;
}

QString writeServerAccount(const QString& file, const ServerAccount& account) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    // Before the password is in it.
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(QJsonDocument(QJsonObject{{QStringLiteral("user"), account.user},
                                        {QStringLiteral("password"), account.password}})
                  .toJson());
    if (!out.commit())
        return out.errorString();
    return {};
}

QString generateAccountPassword() {
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const QByteArray bytes(reinterpret_cast<const char*>(words.data()), int(sizeof(words)));
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace trevok
