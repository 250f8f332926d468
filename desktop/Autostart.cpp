#include "desktop/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace trevok {

QString autostartEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/com.trevokapp.TrevokServer.desktop");
}

QString desktopExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    for (QChar c : argument)
        quote = quote || reserved.contains(c);
    QString exec;
    for (QChar c : argument) {
        if (c == QLatin1Char('%'))
            exec += QStringLiteral("%%");
        else if (quote && (c == QLatin1Char('"') || c == QLatin1Char('`') ||
                           c == QLatin1Char('$') || c == QLatin1Char('\\')))
            exec += QLatin1Char('\\') + c;
        else
            exec += c;
    }
    if (quote)
        exec = QLatin1Char('"') + exec + QLatin1Char('"');
    // A string value of the entry escapes its backslashes once more.
    return exec.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

QString autostartEntryText(const QString& executable) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=TrevokServer\n"
                          "Comment=Serve the sync service in the background from login on\n"
                          "Exec=%1 %2\n"
                          "Icon=com.trevokapp.TrevokServer\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(desktopExecArgument(executable), QString::fromLatin1(kHiddenSwitch));
}

bool startsAtLogin() {
    return QFileInfo::exists(autostartEntryPath());
}

bool setStartsAtLogin(bool starts, const QString& executable, QString* problem) {
    const QString path = autostartEntryPath();
    if (!starts) {
        if (!QFileInfo::exists(path) || QFile::remove(path))
            return true;
        if (problem)
            *problem = QStringLiteral("The file “%1” could not be removed.").arg(path);
        return false;
    }
    QSaveFile file(path);
    const bool written = QDir().mkpath(QFileInfo(path).absolutePath()) &&
                         file.open(QIODevice::WriteOnly) &&
                         file.write(autostartEntryText(executable).toUtf8()) >= 0 && file.commit();
    if (!written && problem)
        *problem =
            QStringLiteral("The file “%1” could not be written: %2.").arg(path, file.errorString());
    return written;
}

} // namespace trevok
