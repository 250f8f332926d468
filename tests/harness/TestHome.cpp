// Linked into every test suite: before anything else runs, the suite's
// settings and data folders are redirected into a folder of its own, so
// that no suite ever reads or writes a person's files, whether CTest
// started it (TREVOK_TEST_HOME, a folder of the build tree) or a person
// ran it by hand (a temporary folder, removed at the end).

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>

namespace {

struct TestHome {
    TestHome() {
        QString home = qEnvironmentVariable("TREVOK_TEST_HOME");
        if (home.isEmpty()) {
            m_temporary = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                          QStringLiteral("/trevok-test-XXXXXX"));
            home = m_temporary->path();
        }
        const QString config = home + QStringLiteral("/config");
        const QString data = home + QStringLiteral("/data");
        QDir().mkpath(config);
        QDir().mkpath(data);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    }
    std::unique_ptr<QTemporaryDir> m_temporary;
};

const TestHome g_home;

} // namespace
