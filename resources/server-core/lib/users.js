'use strict';
// The users database as CouchDB keeps it: a non-administrator may change
// his own password and his profile, nothing that decides who he is or what
// he may do, and a deleted user leaves no password hash behind.

const wrappers = require('pouchdb-wrappers');
const createBulkDocsWrapper = require('pouchdb-bulkdocs-wrapper');
const PouchPluginError = require('pouchdb-plugin-error');
const { sendJSON } = require('./guards');
const passwords = require('./passwords');

// What a user may change in his own document: the new password, and the
// profile fields of the console's user record that say nothing about rights.
const SELF_EDITABLE = new Set(['password', 'firstName', 'middleName', 'lastName', 'note',
  'created', 'documentID', 'revision', 'active', 'lastConnected', 'serverID']);
// Replaced by the server whenever a new password is given.
const CREDENTIALS = ['derived_key', 'salt', 'iterations', 'password_scheme', 'password_sha'];
const SECRETS = ['password', 'password_sha', 'derived_key', 'salt', 'iterations', 'password_scheme'];

function forbidden(message) {
  return new PouchPluginError({ status: 403, name: 'forbidden', message });
}

function isAdmin(userCtx) {
  // No userCtx: the server's own call (the replicator, start-up).
  return !userCtx || (userCtx.roles || []).indexOf('_admin') !== -1;
}

function same(a, b) {
  return JSON.stringify(a) === JSON.stringify(b);
}

function stripSecrets(doc) {
  if (doc && doc._deleted === true) for (const k of SECRETS) delete doc[k];
}

// Checks a non-administrator's update of an existing user document, before
// the password is turned into its hash.
function checkSelfUpdate(oldDoc, newDoc, userCtx) {
  if (oldDoc.name !== userCtx.name) return forbidden('You may only update your own user document.');
  if (!same(oldDoc.roles, newDoc.roles)) return forbidden('Only _admin may edit roles');
  if (oldDoc.name !== newDoc.name) return forbidden('Usernames can not be changed.');
  if (oldDoc.type !== newDoc.type) return forbidden('doc.type must be user');
  const newPassword = typeof newDoc.password === 'string';
  const keys = new Set([...Object.keys(oldDoc), ...Object.keys(newDoc)]);
  for (const key of keys) {
    if (key === '_id' || key === '_rev' || key === '_revisions' || key === '_deleted') continue;
    if (SELF_EDITABLE.has(key)) continue;
    if (newPassword && CREDENTIALS.indexOf(key) !== -1) continue;
    if (!same(oldDoc[key], newDoc[key])) {
      return forbidden(`Only _admin may change the field "${key}" of a user document.`);
    }
  }
  return null;
}

async function judge(db, doc, userCtx) {
  if (!doc || typeof doc !== 'object') return;
  passwords.clearCache();
  if (doc._deleted === true) {
    stripSecrets(doc);
    return;
  }
  if (isAdmin(userCtx)) return;
  let oldDoc = null;
  try {
    oldDoc = await db.get(doc._id);
  } catch (e) {
    if (e.status !== 404) throw e;
  }
  if (!oldDoc) return; // a sign-up: the database's own validation judges it
  const refusal = checkSelfUpdate(oldDoc, doc, userCtx);
  if (refusal) throw refusal;
  // A new password replaces every stored form of the old one.
  if (typeof doc.password === 'string') for (const k of CREDENTIALS) delete doc[k];
}

// PouchDB's put() goes on through bulkDocs() with the document already
// hashed; it was judged as the user sent it.
const judged = new WeakSet();

function judgeOnce(args, doc) {
  if (!doc || typeof doc !== 'object' || judged.has(doc) || (args.options || {}).usersJudged) {
    stripSecrets(doc);
    return Promise.resolve();
  }
  judged.add(doc);
  return judge(args.base, doc, (args.options || {}).userCtx).then(() => {
    if (args.options && typeof args.options === 'object') args.options.usersJudged = true;
  });
}

const writeWrappers = {
  put: (orig, args) => judgeOnce(args, args.doc).then(orig),
  post: (orig, args) => judgeOnce(args, args.doc).then(orig),
  remove: (orig, args) => { stripSecrets(args.doc); return orig(); },
  bulkDocs: createBulkDocsWrapper((doc, args) => judgeOnce(args, doc)),
};

// The package's own route for the users database made every user the
// administrator while he handled a document bearing his name (it pushed
// `_admin` into his roles), so he could give himself any role. Reading and
// deleting his own document is done here instead, with his own identity;
// updates go on to the document route and are judged above.
function ownDocument(req, res, next) {
  const userCtx = req.couchSession.userCtx;
  if (!userCtx.name || userCtx.roles.indexOf('_admin') !== -1) return next();
  if (req.path !== '/' || req.params.id !== `org.couchdb.user:${userCtx.name}`) return next();
  const fail = (err) => sendJSON(res, err.status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) });
  if (req.method === 'GET' || req.method === 'HEAD') {
    const opts = Object.assign({}, req.query);
    delete opts.userCtx;
    return req.db.get(req.params.id, opts).then((doc) => sendJSON(res, 200, doc)).catch(fail);
  }
  if (req.method === 'DELETE') {
    const rev = req.query.rev;
    if (typeof rev !== 'string') return sendJSON(res, 409, { error: 'conflict', reason: 'Document update conflict.' });
    return req.db.get(req.params.id, { rev }).then((doc) => req.db.put(
      { _id: doc._id, _rev: rev, _deleted: true, name: doc.name },
      { userCtx: req.couchSession.userCtx },
    )).then((r) => sendJSON(res, 200, r)).catch(fail);
  }
  return next();
}

function install(app, config) {
  const usersDb = () => String(config.get('couch_httpd_auth', 'authentication_db') || '_users');
  // First of all: the package's own wrapper of the users database ends the
  // chain, and the first wrapper installed is the first to see a write,
  // before validation and before the password is hashed.
  app.dbWrapper._wrappers.unshift((name, db, next) => {
    if (name === usersDb()) wrappers.installWrapperMethods(db, writeWrappers);
    return next();
  });
  const stack = app._router.stack;
  const hack = stack.find((layer) => !layer.route && layer.keys && layer.keys.length === 1 &&
    layer.keys[0].name === 'id' && layer.regexp.test(`/${usersDb()}/x`));
  if (!hack) throw new Error('express-pouchdb layout not recognised');
  hack.handle = ownDocument;
}

module.exports = { install, checkSelfUpdate, SELF_EDITABLE };
