#include "store/CouchModel.h"

#include "store/StoreLog.h"

#include <QDebug>
#include <QTimer>
#include <QUuid>

CouchModel::CouchModel(CouchDocument* document)
    : m_autosaveTimer(new QTimer(this)) {
    m_autosaveTimer->setSingleShot(true);
    connect(m_autosaveTimer, &QTimer::timeout, this, [this] {
        if (m_autosaves && m_needsSave && m_database)
            save();
    });
    if (document)
        attach(document);
}

CouchModel::~CouchModel() {
    if (m_document && m_document->modelObject() == this)
        m_document->setModelObject(nullptr);
}

CouchModel* CouchModel::existingModel(CouchDocument* document) {
    return document->modelObject();
}

void CouchModel::adopt(CouchDocument* document, CouchModel* model) {
    document->setModelObject(model);
    model->setParent(document);
}

void CouchModel::attach(CouchDocument* document) {
    if (m_document)
        m_document->disconnect(this);
    m_document = document;
    m_database = document->database();
    // Models built from query rows find the body cached; a model of a
    // document nobody has read yet waits for loadAndWait() or the next body.
    const std::optional<QJsonObject> body = document->cachedProperties();
    m_isNew = !body.has_value();
    m_body = body.value_or(QJsonObject());
    connect(document, &CouchDocument::propertiesChanged, this, &CouchModel::documentChanged);
}

StoredProperties CouchModel::loadAndWait() {
    if (!m_document)
        return {StoredProperties::Failed,
                {},
                QStringLiteral("no_database: the record belongs to no database")};
    // The body arrives through documentChanged(), like any new body.
    return m_document->readPropertiesAndWait();
}

QJsonObject CouchModel::storedProperties() const {
    if (m_document) {
        if (const std::optional<QJsonObject> stored = m_document->cachedProperties())
            return *stored;
    }
    return m_body;
}

void CouchModel::documentChanged() {
    if (!m_document || m_needsSave)
        return;
    const std::optional<QJsonObject> body = m_document->cachedProperties();
    if (!body)
        return; // deleted: the model keeps its last body
    m_isNew = false;
    if (*body != m_body) {
        m_body = *body;
        Q_EMIT changed();
    }
}

void CouchModel::setDatabase(CouchDatabase* database) {
    if (!database) {
        m_autosaveTimer->stop();
        if (m_document && !m_isNew)
            m_document->DELETE();
        m_database = nullptr;
        return;
    }
    if (m_document && m_document->database() == database) {
        m_database = database;
        return;
    }
    QString id = m_body.value(QStringLiteral("_id")).toString();
    if (id.isEmpty())
        id = QUuid::createUuid().toString(QUuid::Id128);
    CouchDocument* document = database->documentWithID(id);
    if (m_document)
        m_document->disconnect(this);
    m_document = document;
    m_database = database;
    if (!document->modelObject())
        adopt(document, this);
    connect(document, &CouchDocument::propertiesChanged, this, &CouchModel::documentChanged);
    m_body.remove(QStringLiteral("_rev"));
    m_isNew = true;
    m_needsSave = true;
    scheduleAutosave();
}

void CouchModel::setValue(const QString& key, const QJsonValue& value) {
    if (value.isUndefined()) {
        if (!m_body.contains(key))
            return;
        m_body.remove(key);
    } else {
        if (m_body.contains(key) && m_body.value(key) == value)
            return;
        m_body.insert(key, value);
    }
    m_needsSave = true;
    Q_EMIT changed();
    if (!m_inPropertiesToSave)
        scheduleAutosave();
}

QStringList CouchModel::stringListValue(const QString& key) const {
    QStringList list;
    const QJsonArray array = arrayValue(key);
    for (const QJsonValue& v : array)
        list.append(v.toString());
    return list;
}

void CouchModel::setStringListValue(const QString& key, const QStringList& value) {
    setValue(key, QJsonArray::fromStringList(value));
}

QString CouchModel::isoDateText(const QDateTime& value) {
    return value.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime CouchModel::dateValue(const QString& key) const {
    return QDateTime::fromString(stringValue(key), Qt::ISODateWithMs);
}

void CouchModel::setDateValue(const QString& key, const QDateTime& value) {
    setValue(key,
             value.isValid() ? QJsonValue(isoDateText(value)) : QJsonValue(QJsonValue::Undefined));
}

QJsonObject CouchModel::propertiesToSave() {
    return m_body;
}

RESTOperationPtr CouchModel::save() {
    if (!m_database || !m_document)
        return RESTOperation::failed(
            QStringLiteral("no_database: the record belongs to no database"));
    m_autosaveTimer->stop();
    m_inPropertiesToSave = true;
    const QJsonObject body = propertiesToSave();
    m_inPropertiesToSave = false;
    m_needsSave = false;
    RESTOperationPtr op = m_document->putProperties(body);
    op->whenSettled([self = QPointer<CouchModel>(this)](RESTOperation& done) {
        if (!self)
            return;
        if (done.isSuccessful()) {
            self->m_isNew = false;
        } else {
            // Kept for the next save; the failure is the document layer's to log.
            self->m_needsSave = true;
        }
    });
    return op;
}

void CouchModel::setAutosaves(bool autosaves) {
    m_autosaves = autosaves;
    if (autosaves)
        scheduleAutosave();
    else
        m_autosaveTimer->stop();
}

void CouchModel::scheduleAutosave() {
    if (m_autosaves && m_needsSave && m_database && !m_autosaveTimer->isActive())
        m_autosaveTimer->start(kCouchModelAutosaveDelayMs);
}

void CouchModel::markExternallyChanged() {
    m_externallyChanged = true;
    documentChanged();
}
