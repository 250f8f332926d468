#include "server/DnsSdAnnouncer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <mutex>

namespace trevok {

namespace {
// How often a client is tried again when there is no system bus at all.
constexpr unsigned kRetryMs = 5000;
} // namespace

struct DnsSdAnnouncer::Impl {
    DnsSdAnnouncer* q = nullptr;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiTimeout* retry = nullptr;
    bool running = false; // the poll thread runs: lock before touching Avahi

    // Touched by the poll thread and, under the poll lock, by the owner.
    QByteArray requestedName;
    QByteArray name; // requestedName, or its alternative after a collision
    QByteArray type;
    quint16 port = 0;
    QList<QByteArray> txt;
    bool loggedUnavailable = false;

    mutable std::mutex registeredMutex;
    QString registered;

    bool configured() const { return !name.isEmpty() && !type.isEmpty(); }

    void setRegistered(const QString& value) {
        std::lock_guard lock(registeredMutex);
        registered = value;
    }

    void lock() {
        if (running)
            avahi_threaded_poll_lock(poll);
    }
    void unlock() {
        if (running)
            avahi_threaded_poll_unlock(poll);
    }

    AvahiStringList* txtList() const {
        AvahiStringList* list = nullptr;
        // avahi_string_list_add prepends: add in reverse to keep the order.
        for (auto it = txt.crbegin(); it != txt.crend(); ++it)
            list = avahi_string_list_add_arbitrary(
                list, reinterpret_cast<const uint8_t*>(it->constData()), size_t(it->size()));
        return list;
    }

    void logUnavailableOnce(const char* why) {
        if (loggedUnavailable)
            return;
        loggedUnavailable = true;
        qWarning("DNS-SD: %s; the sync listener will be announced once avahi-daemon runs", why);
    }

    void createClient() {
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  &Impl::clientCallback, this, &error);
        if (!client) {
            logUnavailableOnce(avahi_strerror(error));
            scheduleRetry();
        }
    }

    void scheduleRetry() {
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        timeval when{};
        avahi_elapse_time(&when, kRetryMs, 0);
        if (retry)
            api->timeout_update(retry, &when);
        else
            retry = api->timeout_new(api, &when, &Impl::retryCallback, this);
    }

    void dropClient() {
        setRegistered({});
        if (client)
            avahi_client_free(client); // frees the entry group with it
        client = nullptr;
        group = nullptr;
    }

    static void retryCallback(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->retry = timeout;
        const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
        api->timeout_update(timeout, nullptr);
        self->dropClient();
        self->createClient();
    }

    static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->client = c; // the first call can come before avahi_client_new returns
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            if (self->loggedUnavailable)
                qInfo("DNS-SD: avahi-daemon is available");
            self->loggedUnavailable = false;
            self->registerService();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)established; services follow when running.
            self->setRegistered({});
            if (self->group)
                avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            self->logUnavailableOnce("avahi-daemon is not running");
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away (or the bus): start over with a new client,
            // which waits for the daemon to come back. Not from inside the
            // client's own callback, though.
            self->setRegistered({});
            qWarning("DNS-SD: lost avahi-daemon (%s); waiting for it to return",
                     avahi_strerror(avahi_client_errno(c)));
            self->loggedUnavailable = true;
            {
                const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
                timeval now{};
                avahi_elapse_time(&now, 0, 0);
                if (self->retry)
                    api->timeout_update(self->retry, &now);
                else
                    self->retry = api->timeout_new(api, &now, &Impl::retryCallback, self);
            }
            break;
        }
    }

    static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->group = g;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED: {
            const QString announcedName = QString::fromUtf8(self->name);
            self->setRegistered(announcedName);
            qInfo("DNS-SD: announced \"%s\" (%s) on port %u", self->name.constData(),
                  self->type.constData(), unsigned(self->port));
            Q_EMIT self->q->announced(announcedName);
            break;
        }
        case AVAHI_ENTRY_GROUP_COLLISION:
            self->takeAlternativeName();
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            qWarning("DNS-SD: announcing failed: %s",
                     avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void takeAlternativeName() {
        char* alternative = avahi_alternative_service_name(name.constData());
        qWarning("DNS-SD: the service name \"%s\" is taken; announcing as \"%s\"", name.constData(),
                 alternative);
        name = QByteArray(alternative);
        avahi_free(alternative);
        setRegistered({});
        if (group)
            avahi_entry_group_reset(group);
        registerService();
    }

    void registerService() {
        if (!configured() || !client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
            return;
        if (!group) {
            group = avahi_entry_group_new(client, &Impl::groupCallback, this);
            if (!group) {
                qWarning("DNS-SD: cannot create an entry group: %s",
                         avahi_strerror(avahi_client_errno(client)));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group))
            return;
        AvahiStringList* list = txtList();
        const int result = avahi_entry_group_add_service_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.constData(),
            type.constData(), nullptr, nullptr, port, list);
        avahi_string_list_free(list);
        if (result == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            return;
        }
        if (result < 0) {
            qWarning("DNS-SD: cannot announce \"%s\": %s", name.constData(),
                     avahi_strerror(result));
            return;
        }
        const int committed = avahi_entry_group_commit(group);
        if (committed < 0)
            qWarning("DNS-SD: cannot announce \"%s\": %s", name.constData(),
                     avahi_strerror(committed));
    }

    void reregister() {
        setRegistered({});
        if (group)
            avahi_entry_group_reset(group);
        registerService();
    }

    void updateTxt() {
        if (!group || avahi_entry_group_is_empty(group)) {
            registerService();
            return;
        }
        AvahiStringList* list = txtList();
        const int result = avahi_entry_group_update_service_txt_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.constData(),
            type.constData(), nullptr, list);
        avahi_string_list_free(list);
        if (result < 0) {
            // Announce the whole service again rather than leave a stale record.
            reregister();
        }
    }
};

DnsSdAnnouncer::DnsSdAnnouncer(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>()) {
    d->q = this;
}

DnsSdAnnouncer::~DnsSdAnnouncer() {
    stop();
}

QString DnsSdAnnouncer::avahiServiceType(const QString& type) {
    QString result = type;
    while (result.endsWith(QLatin1Char('.')))
        result.chop(1);
    return result;
}

void DnsSdAnnouncer::setService(const QString& name, const QString& type, quint16 port) {
    d->lock();
    d->requestedName = name.toUtf8();
    d->name = d->requestedName;
    d->type = avahiServiceType(type).toUtf8();
    d->port = port;
    if (d->running)
        d->reregister();
    d->unlock();
}

void DnsSdAnnouncer::setTxtRecord(const TxtRecordDictionary& record) {
    d->lock();
    d->txt = encodeTxtRecord(record);
    if (d->running)
        d->updateTxt();
    d->unlock();
}

bool DnsSdAnnouncer::start() {
    if (d->poll)
        return true;
    d->poll = avahi_threaded_poll_new();
    if (!d->poll) {
        qWarning("DNS-SD: cannot start the announcement thread");
        return false;
    }
    d->createClient();
    if (avahi_threaded_poll_start(d->poll) < 0) {
        qWarning("DNS-SD: cannot start the announcement thread");
        d->dropClient();
        avahi_threaded_poll_free(d->poll);
        d->poll = nullptr;
        return false;
    }
    d->running = true;
    return true;
}

void DnsSdAnnouncer::stop() {
    if (!d->poll)
        return;
    avahi_threaded_poll_stop(d->poll);
    d->running = false;
    if (d->retry) {
        avahi_threaded_poll_get(d->poll)->timeout_free(d->retry);
        d->retry = nullptr;
    }
    d->dropClient();
    avahi_threaded_poll_free(d->poll);
    d->poll = nullptr;
}

QString DnsSdAnnouncer::registeredName() const {
    std::lock_guard lock(d->registeredMutex);
    return d->registered;
}

} // namespace trevok
