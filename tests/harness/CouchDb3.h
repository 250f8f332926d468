#pragma once

#include "tests/harness/TestServer.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace trevok::test {

// A real CouchDB 3 of the tests' own: one node, or a cluster of three on this
// machine, each node in a copy of the release with its own data folder. All of
// them run in a network namespace of this harness with a veth pair, so that
// their Erlang port mappers and ports never meet another suite's, while the
// console and sync clients outside reach them at the namespace's address.
// Needs root (ip netns).
class CouchDb3 {
public:
    // The release folder: TREVOK_COUCHDB3_RELEASE if set, else the one beside
    // the source tree; empty when there is none.
    static QString releaseFolder();
    // Empty when a CouchDB 3 can be started here, else why not.
    static QString unavailableReason();
    // True where a missing CouchDB 3 is a failure, not a skip (CI).
    static bool requiredHere();

    static QString adminName() { return QStringLiteral("admin"); }
    static QString adminPassword() { return QStringLiteral("trevok-cdb3-admin"); }

    explicit CouchDb3(int nodes); // 1 or 3
    ~CouchDb3();
    CouchDb3(const CouchDb3&) = delete;
    CouchDb3& operator=(const CouchDb3&) = delete;

    // Empty once every node answers and, for three, the cluster is joined and
    // its system databases exist; else why not, with the log's last lines.
    QString start();
    // Ends every node and whatever else runs in the namespace, then removes it.
    void stop();

    int nodes() const { return m_nodes; }
    // Node 1 as seen from outside the namespace (and, the same address, from
    // inside it: replication documents name it so).
    QString url() const { return nodeUrl(1); }
    QString nodeUrl(int k) const;
    // The `ip netns` name the nodes run in (for a client that must be
    // inside); empty while stopped.
    QString networkNamespace() const { return m_namespace; }
    // The node's Erlang name, as /_membership lists it.
    static QString nodeName(int k);

    // Ends one node (SIGTERM) and waits for it, the others keep running.
    bool stopNode(int k);
    // Starts it again and waits until it answers.
    bool startNode(int k);
    // The node's process (the root of its VM's process tree), -1 while stopped.
    qint64 nodePid(int k) const;

    // Requests with the administrator's credentials, to node 1 or node k.
    HttpReply request(const QByteArray& method, const QString& path,
                      const QByteArray& body = {}) const;
    HttpReply nodeRequest(int k, const QByteArray& method, const QString& path,
                          const QByteArray& body = {}) const;

private:
    static int port(int k) { return k * 10000 + 5984; }
    QString nodeDir(int k) const;
    QString setUpNetwork();
    void tearDownNetwork();
    QString prepareNode(int k);
    bool launch(int k);
    QString waitUntilUp(int k, int timeoutMs);
    QString joinCluster();
    QString createSystemDatabases();
    QString answersInsideNamespace() const;
    QString failure(int k, const QString& why) const;

    int m_nodes;
    int m_instance;
    QTemporaryDir m_dir;
    QString m_namespace;
    QString m_outerLink;
    QString m_outerAddress;
    QString m_innerAddress;
    // Shared by the nodes of one cluster, and kept across its restarts.
    QString m_cookie;
    QString m_uuid;
    QString m_secret;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

} // namespace trevok::test

// In a Qt test slot: skips with the reason where no CouchDB 3 can be started,
// except on CI, where that is a failure: a green run must have exercised it.
#define TREVOK_REQUIRE_COUCHDB3()                                                                  \
    do {                                                                                           \
        const QString trevokCouchDb3Reason = ::trevok::test::CouchDb3::unavailableReason();        \
        if (!trevokCouchDb3Reason.isEmpty()) {                                                     \
            if (::trevok::test::CouchDb3::requiredHere())                                          \
                QFAIL(qPrintable(trevokCouchDb3Reason));                                           \
            QSKIP(qPrintable(trevokCouchDb3Reason));                                               \
        }                                                                                          \
    } while (false)
