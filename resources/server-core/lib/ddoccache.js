'use strict';
// The package's validation looks up a database's validate_doc_update
// functions with a read of all its design documents, bodies included, for
// every document written, replicated ones too. The master database holds a
// design document per project, so each document it received cost a
// hundred reads. The answer is kept per database until a design document
// of it is written.

const wrappers = require('pouchdb-wrappers');

// The lookup the validation (lib/validation.js) makes.
const VALIDATION_LOOKUP = Object.freeze({ startkey: '_design/', endkey: '_design0', include_docs: true });

// Exactly that lookup; requests from clients carry their session in the
// options as well.
function isValidationLookup(opts) {
  const keys = Object.keys(VALIDATION_LOOKUP);
  return !!opts && typeof opts === 'object' && Object.keys(opts).length === keys.length &&
    keys.every((k) => opts[k] === VALIDATION_LOOKUP[k]);
}

function deepFreeze(value) {
  if (value && typeof value === 'object' && !Object.isFrozen(value)) {
    Object.freeze(value);
    for (const k of Object.keys(value)) deepFreeze(value[k]);
  }
  return value;
}

function touchesDesign(req) {
  const docs = req && Array.isArray(req.docs) ? req.docs : [];
  return docs.some((d) => d && typeof d._id === 'string' && d._id.startsWith('_design/'));
}

// Every write of a database instance goes through its adapter's
// `_bulkDocs` (put, post and remove included): a design document written
// there, by whatever route, drops the kept answer, before the write (so a
// lookup under way is not kept) and after it.
function watchDesignWrites(db, state) {
  const bulk = db._bulkDocs;
  if (typeof bulk !== 'function') return false;
  db._bulkDocs = function (req, opts, callback) {
    if (!touchesDesign(req)) return bulk.call(this, req, opts, callback);
    state.generation++;
    state.kept = null;
    return bulk.call(this, req, opts, (err, res) => {
      state.generation++;
      state.kept = null;
      callback(err, res);
    });
  };
  return true;
}

function copyOf(res) {
  return { ...res, rows: res.rows.slice() };
}

function wrap(db) {
  const state = { generation: 0, kept: null };
  if (!watchDesignWrites(db, state)) return;
  wrappers.installWrapperMethods(db, {
    allDocs(orig, args) {
      if (!isValidationLookup(args.options)) return orig();
      if (state.kept) return Promise.resolve(copyOf(state.kept));
      const generation = state.generation;
      return orig().then((res) => {
        if (generation === state.generation && res && Array.isArray(res.rows)) {
          state.kept = deepFreeze(res);
          return copyOf(res);
        }
        return res;
      });
    },
  });
}

function install(app) {
  app.dbWrapper.registerWrapper((name, db, next) => {
    wrap(db);
    return next();
  });
}

module.exports = { install, wrap, isValidationLookup, VALIDATION_LOOKUP };
