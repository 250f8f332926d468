'use strict';
// The package's validation gives every document it judges the `_revisions`
// of the revision stored before it, and judges the very object that is then
// written. A replicated write (new_edits false) takes its revision from
// `_revisions`, so in a database with a validation function each update a
// replication or a sync client brought was stored as the revision it
// replaced: nothing written, success answered. Each document keeps its own
// `_revisions` here, whichever route it came by; the validation functions
// still see the document as it is written.

const wrappers = require('pouchdb-wrappers');

function keep(doc) {
  if (!doc || typeof doc !== 'object' || Object.isFrozen(doc)) return;
  const own = Object.getOwnPropertyDescriptor(doc, '_revisions');
  if (own && own.get) return;
  const value = own ? own.value : undefined;
  Object.defineProperty(doc, '_revisions', {
    get: () => value,
    set: () => {},
    enumerable: value !== undefined,
    configurable: true,
  });
}

function keepAll(docs) {
  if (Array.isArray(docs)) docs.forEach(keep);
}

const handlers = {
  bulkDocs(orig, args) {
    keepAll(args.docs);
    return orig();
  },
  put(orig, args) {
    keep(args.doc);
    return orig();
  },
  post(orig, args) {
    keep(args.doc);
    return orig();
  },
};

function wrap(db) {
  wrappers.installWrapperMethods(db, handlers);
  // A method's handlers run first to last, each around the next: these go
  // first, around the validation.
  for (const name of Object.keys(handlers)) {
    const list = db[name] && db[name]._handlers;
    const at = list ? list.indexOf(handlers[name]) : -1;
    if (at > 0) {
      list.splice(at, 1);
      list.unshift(handlers[name]);
    }
  }
}

function install(app) {
  app.dbWrapper.registerWrapper((name, db, next) => {
    wrap(db);
    return next();
  });
}

module.exports = { install, keep };
