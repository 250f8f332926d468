#include "users/UserArrayController.h"
#include "records/MasterModel.h"
#include "services/ShownText.h"

#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "records/SyncHealth.h"
#include "records/UserModel.h"
#include "records/UserNames.h"
#include "services/ReplicationHealth.h"
#include "store/CouchDocument.h"

#include <QAbstractItemView>
#include <QBrush>
#include <QFontMetrics>
#include <QItemSelectionModel>
#include <QLocale>
#include <QStyle>
#include <QTimer>
#include <QWidget>

UserArrayController::UserArrayController(QObject* parent)
    : LiveListTableModel({{QStringLiteral("User name"), QStringLiteral("name")},
                          {QStringLiteral("First name"), QStringLiteral("firstName")},
                          {QStringLiteral("Last name"), QStringLiteral("lastName")},
                          {QStringLiteral("Created"), QStringLiteral("created")},
                          {QString::fromUtf8(trevok::health::texts::kLastSeenHeader),
                           QStringLiteral("lastConnected")},
                          {QString::fromUtf8(trevok::health::texts::kSyncHeader), QString()}},
                         parent)
    , m_selection(new QItemSelectionModel(this, this))
    , m_lastSeenTimer(new QTimer(this)) {
    // Relative times age without any change on the server.
    m_lastSeenTimer->setInterval(kLastSeenRefreshMs);
    connect(m_lastSeenTimer, &QTimer::timeout, this, &UserArrayController::refreshLastSeen);
    m_lastSeenTimer->start();
    connect(m_selection, &QItemSelectionModel::selectionChanged, this, [this] {
        tableViewSelectionDidChange();
        Q_EMIT selectionDidChange();
    });
}

UserArrayController::~UserArrayController() = default;

void UserArrayController::setContent(UserQuery* list) {
    setList(list);
    Q_EMIT selectionDidChange();
}

UserQuery* UserArrayController::content() const {
    return static_cast<UserQuery*>(list());
}

void UserArrayController::setHealth(ReplicationHealth* health) {
    if (m_health)
        m_health->disconnect(this);
    m_health = health;
    if (health)
        connect(health, &ReplicationHealth::replicationChanged, this,
                &UserArrayController::replicationChanged);
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, SyncColumn), index(rowCount() - 1, SyncColumn));
}

QString UserArrayController::nameAtRow(int row) const {
    const CouchModel* model = modelAt(row);
    if (!model)
        return {};
    return model->storedProperties().value(QStringLiteral("name")).toString();
}

void UserArrayController::replicationChanged(const QString& source, const QString& target) {
    static const QString master = trevok::masterDatabaseName();
    static const QString prefix = QStringLiteral("trevok_user_db_");
    if (target != master || !source.startsWith(prefix))
        return;
    const QString name = source.mid(prefix.size());
    for (int row = 0; row < rowCount(); ++row) {
        if (nameAtRow(row) == name)
            Q_EMIT dataChanged(index(row, SyncColumn), index(row, SyncColumn));
    }
}

void UserArrayController::refreshLastSeen() {
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, LastSeenColumn), index(rowCount() - 1, LastSeenColumn));
}

int UserArrayController::createdColumnWidth(const QWidget* view) {
    const QFontMetrics metrics(view->font());
    int widest = 0;
    for (int month = 1; month <= 12; ++month) {
        const QDateTime sample(QDate(2000, month, 28), QTime(23, 58, 58));
        widest = std::max(
            widest, metrics.horizontalAdvance(QLocale().toString(sample, QLocale::ShortFormat)));
    }
    // The cell's own margins on either side, as the item delegate keeps them.
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return widest + 2 * margin + metrics.averageCharWidth();
}

void UserArrayController::showIn(QAbstractItemView* view) {
    QItemSelectionModel* old = view->selectionModel();
    view->setModel(this);
    view->setSelectionModel(m_selection);
    if (old && old != m_selection && old->parent() == view)
        old->deleteLater();
}

UserModel* UserArrayController::objectAtRow(int row) const {
    return qobject_cast<UserModel*>(modelAt(row));
}

QList<UserModel*> UserArrayController::selectedObjects() const {
    QList<UserModel*> selected;
    const QModelIndexList rows = m_selection->selectedRows();
    QList<int> numbers;
    for (const QModelIndex& index : rows)
        numbers.append(index.row());
    std::sort(numbers.begin(), numbers.end());
    for (int row : std::as_const(numbers)) {
        if (UserModel* model = objectAtRow(row))
            selected.append(model);
    }
    return selected;
}

UserModel* UserArrayController::firstSelectedObject() const {
    const QList<UserModel*> selected = selectedObjects();
    return selected.isEmpty() ? nullptr : selected.first();
}

bool UserArrayController::hasSelection() const {
    return firstSelectedObject() != nullptr;
}

QVariant UserArrayController::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const CouchModel* model = modelAt(index.row());
    if (!model)
        return {};
    if (index.column() == SyncColumn)
        return syncData(index.row(), role);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    // The names are the users' own: on one line in the cell, literally in
    // the tooltip, whole to a screen reader.
    const auto shown = [role](const QString& text) -> QVariant {
        if (role == Qt::DisplayRole)
            return trevok::oneLine(text);
        if (role == Qt::ToolTipRole)
            return trevok::plainToolTip(text);
        return text;
    };
    switch (index.column()) {
    case NameColumn:
        return shown(model->stringValue(QStringLiteral("name")));
    case FirstNameColumn:
        return shown(model->stringValue(QStringLiteral("firstName")));
    case LastNameColumn:
        return shown(model->stringValue(QStringLiteral("lastName")));
    case CreatedColumn: {
        const QDateTime created = model->dateValue(QStringLiteral("created"));
        return created.isValid() ? QLocale().toString(created.toLocalTime(), QLocale::ShortFormat)
                                 : QString();
    }
    case LastSeenColumn: {
        const QString text = trevok::health::lastSeenText(
            model->dateValue(QStringLiteral("lastConnected")),
            model->dateValue(QStringLiteral("created")), QDateTime::currentDateTimeUtc());
        if (role == Qt::DisplayRole)
            return text;
        return QStringLiteral("Last seen %1").arg(text);
    }
    default:
        return {};
    }
}

QVariant UserArrayController::syncData(int row, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole &&
        role != Qt::ForegroundRole)
        return {};
    if (!m_health || !m_health->hasRead())
        return {};
    const auto state = m_health->stateOf(trevok::users::userDatabaseName(nameAtRow(row)),
                                         trevok::masterDatabaseName());
    const trevok::health::SyncState shown = state.value_or(trevok::health::SyncState{});
    switch (role) {
    case Qt::DisplayRole:
        return shown.text();
    case Qt::ForegroundRole:
        return shown.kind == trevok::health::SyncKind::Error
                   ? QVariant(QBrush(QColor(0xb0, 0x20, 0x20)))
                   : QVariant();
    default:
        return shown.sentence();
    }
}

QVariant UserArrayController::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::AccessibleDescriptionRole) {
        if (section == LastSeenColumn)
            return QStringLiteral("lastSeenColumn");
        if (section == SyncColumn)
            return QStringLiteral("syncColumn");
    }
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole) {
        if (section == LastSeenColumn)
            return QStringLiteral("When the user's sync client last reached this server");
        if (section == SyncColumn)
            return QStringLiteral("The user's replication into the master database");
    }
    return LiveListTableModel::headerData(section, orientation, role);
}

void UserArrayController::tableViewSelectionDidChange() {
    UserModel* model = firstSelectedObject();
    if (!model || !model->document())
        return;
    // The stored name, not one typed into the model and not saved yet.
    const std::optional<QJsonObject> stored = model->document()->cachedProperties();
    if (!stored)
        return;
    const QJsonValue name = stored->value(QStringLiteral("name"));
    if (name.isString())
        pxUserDefaults().setValue(QStringLiteral("CurrentUserName"), name.toString());
}
