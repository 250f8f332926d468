#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

namespace trevok {

// One console per person: the first one listens on a local socket in the
// person's runtime folder ($XDG_RUNTIME_DIR); a later start hands its request
// ("show", or "" for a start that wants no window) to it and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Where the channel lives.
    static QString channelPath();

    // Either hands `request` to a console that runs (returns false: this
    // process ends), or becomes the one console (returns true). A channel
    // left behind by a console that died is taken over. When no channel
    // can be opened the console runs anyway; `problem` says why in words.
    bool claim(const QByteArray& request, QString* problem);

Q_SIGNALS:
    // A later start asked for something ("show").
    void requested(const QByteArray& request);

private:
    bool handOver(const QByteArray& request);
    QLocalServer* m_server = nullptr;
};

} // namespace trevok
