#pragma once

#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/RESTOperation.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QTimer;

// Delay between a change of an autosaving model and its save.
inline constexpr int kCouchModelAutosaveDelayMs = 20;

// A document's body as a record with typed accessors. One model per document
// through modelForDocument() (the document owns it, so the same document gives
// the same model object across query reloads); a further model on the same
// document can be made with the constructor ("initWithDocument").
//
// Subclasses (UserModel, ProjectModel, MasterModel) need a constructor
// `explicit M(CouchDocument* document)` and may override propertiesToSave().
// Autosaves, and the reloads that follow a document's new body, run from the
// event loop, possibly inside someone's wait(): changed() handlers must not
// start a flow.
class CouchModel : public QObject {
    Q_OBJECT
public:
    // A model of `document` with the body the document has cached (none is
    // read here: a document nobody has read yet gives an empty, new model
    // until loadAndWait() or the document's next body), or, with nullptr, a
    // new model without document: setDatabase() makes it a new document there.
    explicit CouchModel(CouchDocument* document = nullptr);
    ~CouchModel() override;

    // The model of `document`: the one made before when it is an M, else a new
    // M that becomes the document's model. nullptr for a nullptr document.
    template <class M> static M* modelForDocument(CouchDocument* document) {
        if (!document)
            return nullptr;
        if (auto* existing = dynamic_cast<M*>(existingModel(document)))
            return existing;
        auto* model = new M(document);
        adopt(document, model);
        return model;
    }
    static CouchModel* modelForDocument(CouchDocument* document) {
        return modelForDocument<CouchModel>(document);
    }

    CouchDocument* document() const { return m_document; }
    // The database the model is saved into (nullptr after setDatabase(nullptr)).
    CouchDatabase* database() const { return m_database; }
    // nullptr deletes the document (when it was saved) and detaches the model;
    // a database makes the model a new document there (its "_id" if the body
    // has one, else a fresh ID), saved at the next save or autosave.
    void setDatabase(CouchDatabase* database);

    // Reads the document as the server holds it, waiting for the answer, and
    // takes its body unless the model has unsaved changes. Returns what the
    // read found; a missing document leaves the model new.
    StoredProperties loadAndWait();

    // The body as the model holds it: the document's body with unsaved changes.
    QJsonObject properties() const { return m_body; }
    // The body as last stored, not the unsaved one: the document's cached
    // body, or the model's own while nothing is known of a stored one.
    QJsonObject storedProperties() const;
    QJsonValue getValue(const QString& key) const { return m_body.value(key); }
    // Sets (an undefined value removes) one field; marks needsSave() and, when
    // autosaving, schedules a save.
    void setValue(const QString& key, const QJsonValue& value);

    QString stringValue(const QString& key) const { return m_body.value(key).toString(); }
    bool boolValue(const QString& key) const { return m_body.value(key).toBool(); }
    double doubleValue(const QString& key) const { return m_body.value(key).toDouble(); }
    QJsonArray arrayValue(const QString& key) const { return m_body.value(key).toArray(); }
    QStringList stringListValue(const QString& key) const;
    void setStringValue(const QString& key, const QString& value) { setValue(key, value); }
    void setBoolValue(const QString& key, bool value) { setValue(key, value); }
    void setStringListValue(const QString& key, const QStringList& value);
    // Dates are stored as ISO-8601 text in UTC with milliseconds.
    QDateTime dateValue(const QString& key) const;
    void setDateValue(const QString& key, const QDateTime& value);
    static QString isoDateText(const QDateTime& value);
    bool hasValue(const QString& key) const { return m_body.contains(key); }

    // The body to write. The default is the current body with the changes;
    // record models fill in missing fields (through setValue) and then call
    // the base class.
    virtual QJsonObject propertiesToSave();

    // Writes propertiesToSave() into the document (not waited for here). A
    // model without database or document gives a failed operation.
    RESTOperationPtr save();
    void setAutosaves(bool autosaves);
    bool autosaves() const { return m_autosaves; }

    // Not saved yet: no document on the server for it.
    bool isNew() const { return m_isNew; }
    // Changes not saved yet.
    bool needsSave() const { return m_needsSave; }
    // Marks the model as having appeared or changed outside this console; it
    // takes its document's current body when it has no unsaved changes.
    void markExternallyChanged();
    bool isExternallyChanged() const { return m_externallyChanged; }

Q_SIGNALS:
    // The body changed (a setValue, or the document's new body after a reload).
    void changed();

private:
    static CouchModel* existingModel(CouchDocument* document);
    static void adopt(CouchDocument* document, CouchModel* model);
    void attach(CouchDocument* document);
    void documentChanged();
    void scheduleAutosave();

    QPointer<CouchDocument> m_document;
    QPointer<CouchDatabase> m_database;
    QJsonObject m_body;
    bool m_isNew = true;
    bool m_needsSave = false;
    bool m_autosaves = false;
    bool m_externallyChanged = false;
    bool m_inPropertiesToSave = false;
    QTimer* m_autosaveTimer = nullptr;
};
