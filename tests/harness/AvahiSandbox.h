#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <sys/types.h>

namespace trevok::test {

// One resolved DNS-SD service as avahi-browse reports it.
struct Resolved {
    QString name;
    QString type;
    quint16 port = 0;
    QSet<QString> txt;
};

// An avahi-daemon of the test's own inside a network namespace with a veth
// pair, so that no multicast leaves the machine; Avahi clients outside reach
// it over the system bus (started when none answers). Needs root.
class AvahiSandbox {
public:
    static constexpr int kAnnounceTimeoutMs = 15000;

    AvahiSandbox() = default;
    ~AvahiSandbox() { tearDown(); }
    AvahiSandbox(const AvahiSandbox&) = delete;
    AvahiSandbox& operator=(const AvahiSandbox&) = delete;

    // Empty when the sandbox stands, else why it cannot (for QSKIP).
    QString setUp();
    void tearDown();
    bool startAvahi();
    void stopAvahi();

    // The resolved services of a type, browsed once.
    static QList<Resolved> browse(const QString& serviceType);
    // Browses until a resolved entry of that name satisfies the check.
    static std::optional<Resolved> browseUntil(const QString& serviceType, const QString& name,
                                               const std::function<bool(const Resolved&)>& ok);

private:
    bool ip(const QStringList& args);

    QString m_namespace;
    pid_t m_busPid = 0;   // the system bus we started, if we did
    pid_t m_avahiPid = 0; // our avahi-daemon
    QString m_ready;      // empty when the environment stands, else why not
};

} // namespace trevok::test
