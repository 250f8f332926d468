'use strict';
// The judgement of every write by the database's validate_doc_update
// functions, in place of the package's own (pouchdb-validation, which the
// package installs on every database), without two faults of it:
//  - it gave each document the `_revisions` of the revision stored before
//    it, and judged the very object that was then written; a replicated
//    write (new_edits false) takes its revision from `_revisions`, so each
//    update a replication or a sync client brought into a database with a
//    validation function was stored as the revision it replaced, and
//    answered as success;
//  - for the server's own writes, which carry no user, it read the
//    database's info, which measures its folder on disk, once per document,
//    only to name the database in an administrator's context.
// What a function sees is CouchDB's: the new document as it is written (its
// own `_revisions` included), the stored one, the user and the security
// object.

const coucheval = require('couchdb-eval');
const wrappers = require('pouchdb-wrappers');
const createBulkDocsWrapper = require('pouchdb-bulkdocs-wrapper');
const PouchPluginError = require('pouchdb-plugin-error');
const uuid = require('random-uuid-v4');
const { VALIDATION_LOOKUP } = require('./ddoccache');
const { isAdministrator } = require('./knownvalidation');

function storedDoc(db, id) {
  return db.get(id, { revs: true }).catch(() => null);
}

// Kept per database by lib/ddoccache.js.
function validationFunctions(db) {
  return db.allDocs({ ...VALIDATION_LOOKUP }).then((res) =>
    res.rows
      .filter((row) => row.doc && row.doc.validate_doc_update !== undefined)
      .map((row) => ({
        designDoc: row.doc,
        func: coucheval.evaluate(row.doc, {}, row.doc.validate_doc_update),
      })));
}

function judge(functions, newDoc, oldDoc, userCtx, secObj) {
  try {
    for (const { func, designDoc } of functions) func.call(designDoc, newDoc, oldDoc, userCtx, secObj);
  } catch (e) {
    if (e && e.unauthorized !== undefined) {
      throw new PouchPluginError({ name: 'unauthorized', message: e.unauthorized, status: 401 });
    }
    if (e && e.forbidden !== undefined) {
      throw new PouchPluginError({ name: 'forbidden', message: e.forbidden, status: 403 });
    }
    throw coucheval.wrapExecutionError(e);
  }
}

function isRemote(db) {
  try {
    return ['http', 'https'].indexOf(db.type()) !== -1;
  } catch (e) {
    return false;
  }
}

// The functions looked up once for all the documents of one bulk write:
// each lookup goes through the database's wrappers, the security object's
// read among them.
const LOOKED_UP = Symbol('validation functions');

function validateWrite(db, newDoc, options = {}, bulk = null) {
  // A remote database judges for itself; design and local documents are
  // for administrators, whom other checks admit.
  if (isRemote(db) && !options.checkHttp) return Promise.resolve();
  const id = String(newDoc._id);
  if (id.indexOf('_design/') === 0 || id.indexOf('_local') === 0) return Promise.resolve();
  let lookup;
  if (bulk) {
    if (!bulk[LOOKED_UP]) bulk[LOOKED_UP] = validationFunctions(db);
    lookup = bulk[LOOKED_UP];
  } else {
    lookup = validationFunctions(db);
  }
  return lookup.then((functions) => {
    if (!functions.length) return undefined;
    const userCtx = options.userCtx || { db: db.name, name: null, roles: ['_admin'] };
    // Every member database takes each project document this way.
    if (isAdministrator(userCtx) && functions.every(({ func }) => func.admitsAdministrators)) {
      return undefined;
    }
    return storedDoc(db, newDoc._id)
      .then((oldDoc) => judge(functions, newDoc, oldDoc, userCtx, options.secObj || {}));
  });
}

const handlers = {
  put(orig, args) {
    return validateWrite(args.base, args.doc, args.options).then(orig);
  },
  post(orig, args) {
    args.doc._id = args.doc._id || uuid();
    return validateWrite(args.base, args.doc, args.options).then(orig);
  },
  remove(orig, args) {
    args.doc._deleted = true;
    return validateWrite(args.base, args.doc, args.options).then(orig);
  },
  bulkDocs: createBulkDocsWrapper((doc, args) => {
    doc._id = doc._id || uuid();
    return validateWrite(args.base, doc, args.options, args);
  }),
  putAttachment(orig, args) {
    return args.base.get(args.docId, { rev: args.rev, revs: true })
      .catch(() => ({ _id: args.docId }))
      .then((doc) => {
        doc._attachments = doc._attachments || {};
        doc._attachments[args.attachmentId] = { content_type: args.type, data: args.doc };
        return validateWrite(args.base, doc, args.options);
      })
      .then(orig);
  },
  removeAttachment(orig, args) {
    return args.base.get(args.docId, { rev: args.rev, revs: true })
      .then((doc) => {
        delete doc._attachments[args.attachmentId];
        return validateWrite(args.base, doc, args.options);
      })
      .then(orig);
  },
};

// The plugin's interface, as the package's database wrapper calls it.
module.exports = {
  installValidationMethods() {
    wrappers.installWrapperMethods(this, handlers);
  },
  uninstallValidationMethods() {
    wrappers.uninstallWrapperMethods(this, handlers);
  },
};

// Put where the package looks for its validation, before the package loads.
module.exports.replacePackaged = function (fromDir) {
  const Module = require('module');
  const file = require.resolve('pouchdb-validation', { paths: [fromDir] });
  const replacement = new Module(file);
  replacement.filename = file;
  replacement.loaded = true;
  replacement.exports = module.exports;
  require.cache[file] = replacement;
};
