'use strict';
// Database names as CouchDB 1.x has them. The package runs every name from
// the URL through a file-name sanitiser, which drops "/" and "?" and so
// makes `a/b`, `ab` and `a?b` one database. Here a name is taken as given
// (after validation when a database is created) and only its on-disk folder
// name is escaped: the names themselves are what PouchDB and the package's
// list of databases see, so `_all_dbs`, replication endpoints and
// `db_name` all carry the original name.

const fs = require('fs');
const path = require('path');
const { openForRequest, deleteExisting } = require('./dbgate');
const utils = require('express-pouchdb/lib/utils');
const wrappers = require('pouchdb-wrappers');
const { sendJSON, refuseMissingDb } = require('./guards');

const VALID_NAME = /^[a-z][a-z0-9_$()+/-]*$/;

function illegalName(name) {
  return {
    error: 'illegal_database_name',
    reason: `Name: '${name}'. Only lowercase characters (a-z), digits (0-9), and any of the characters _, $, (, ), +, -, and / are allowed. Must begin with a letter.`,
  };
}

// The server's own databases are named by its configuration and begin with
// an underscore, which users' databases may not.
function systemNames(config) {
  return [
    String(config.get('couch_httpd_auth', 'authentication_db') || '_users'),
    String(config.get('replicator', 'db') || '_replicator'),
  ];
}

function isLegalName(name, config) {
  return VALID_NAME.test(name) || systemNames(config).indexOf(name) !== -1;
}

// Only "/" (a subfolder otherwise) and the escape character itself are
// escaped, so that the mapping is injective and every folder written before
// it existed (no name could contain "/" then) keeps its name.
function diskName(name) {
  return name.replace(/[%/]/g, (c) => (c === '%' ? '%25' : '%2F'));
}

// A leveldown factory for the leveldb adapter that puts each database under
// `prefix` in its escaped folder. Locations outside `prefix` are left alone.
function escapingLeveldown(leveldown, prefix) {
  const locate = (location) => (location.startsWith(prefix)
    ? prefix + diskName(location.slice(prefix.length)) : location);
  function EscapedLevelDOWN(location) {
    return leveldown(locate(location));
  }
  EscapedLevelDOWN.destroy = (location, cb) => leveldown.destroy(locate(location), cb);
  EscapedLevelDOWN.repair = (location, cb) => leveldown.repair(locate(location), cb);
  EscapedLevelDOWN.locate = locate;
  return EscapedLevelDOWN;
}

function folderSize(dir) {
  let total = 0;
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const p = path.join(dir, entry.name);
    total += entry.isDirectory() ? folderSize(p) : fs.statSync(p).size;
  }
  return total;
}

// express keeps its middleware in app._router.stack; the handler of the
// package's route that `where` picks is swapped for `handler`, in place.
function replaceRoute(app, where, handler) {
  const layer = app._router.stack.find(where);
  if (!layer) throw new Error('express-pouchdb layout not recognised');
  // The route's own handler comes after the package's body parser, if any;
  // an app.all() route holds it once per method.
  const stack = layer.route.stack;
  const original = stack[stack.length - 1].handle;
  for (const l of stack) if (l.handle === original) l.handle = handler;
}

// `method` '*' stands for an app.all() route, which lists every method.
function routeIs(routePath, method) {
  return (layer) => {
    if (!layer.route || layer.route.path !== routePath) return false;
    const methods = Object.keys(layer.route.methods);
    return method === '*' ? methods.length > 1 : methods.join() === method;
  };
}

function sendError(res, err, status) {
  sendJSON(res, err.status || status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) });
}

// The package builds a Location header from the raw names, so a document of
// `a/b` pointed at document `b/<id>` of database `a`. CouchDB escapes the
// database name and the document id (and the attachment name, which the
// package already escapes). The routes hand over "<db>/<rest>"; the request's
// own parameters tell where each name ends.
function escapeLocations() {
  const setLocation = utils.setLocation;
  if (setLocation.escapesNames) return;
  utils.setLocation = (res, where) => {
    const params = (res.req && res.req.params) || {};
    const db = params.db;
    if (typeof db === 'string' && where.startsWith(db + '/')) {
      let rest = where.slice(db.length + 1);
      let tail = '';
      if (typeof params.attachment === 'string') {
        tail = '/' + encodeURIComponent(params.attachment);
        if (rest.endsWith(tail)) rest = rest.slice(0, -tail.length);
        else tail = '';
      }
      where = `${encodeURIComponent(db)}/${encodeURIComponent(rest)}${tail}`;
    }
    setLocation(res, where);
  };
  utils.setLocation.escapesNames = true;
}

function install(app, config, leveldown) {
  escapeLocations();

  replaceRoute(app, routeIs('/:db', 'put'), (req, res) => {
    const name = req.params.db;
    if (!isLegalName(name, config)) return sendJSON(res, 400, illegalName(name));
    req.PouchDB.allDbs().then((dbs) => {
      if (dbs.indexOf(name) !== -1) {
        return sendJSON(res, 412, { error: 'file_exists', reason: 'The database could not be created.' });
      }
      // PouchDB.new() rather than new PouchDB(): the package hangs its
      // authorisation on it.
      const db = req.PouchDB.new(name, utils.makeOpts(req));
      return db.info().then(() => {
        utils.setLocation(res, encodeURIComponent(name));
        sendJSON(res, 201, { ok: true });
      });
    }).catch((err) => sendError(res, err, 412));
  });

  replaceRoute(app, routeIs('/:db', 'delete'), (req, res) => {
    const name = req.params.db;
    if (req.query.rev) {
      return sendJSON(res, 400, { error: 'bad_request', reason: 'You tried to DELETE a database with a ?rev= parameter. Did you mean to DELETE a document instead?' });
    }
    // An existing database keeps its way out even if its name predates
    // the naming rule.
    deleteExisting(req.PouchDB, name, utils.makeOpts(req)).then((deleted) => {
      if (deleted) return sendJSON(res, 200, { ok: true });
      if (!isLegalName(name, config)) return sendJSON(res, 400, illegalName(name));
      return sendJSON(res, 404, { error: 'not_found', reason: 'missing' });
    }).catch((err) => sendError(res, err));
  });

  // Opening the request's database for every route below `/:db`.
  const openDb = (req, res, next) => {
    const name = req.params.db;
    openForRequest(req.PouchDB, name, req, res).then((db) => {
      if (!db) return refuseMissingDb(req, res);
      return app.dbWrapper.wrap(name, db).then((wrapped) => { req.db = wrapped; next(); });
    }).catch((err) => sendError(res, err));
  };
  replaceRoute(app, routeIs('/:db/*', '*'), openDb);
  replaceRoute(app, routeIs('/:db', '*'), openDb);

  // The package measures a database's size at its unescaped path.
  app.dbWrapper.registerWrapper((name, db, next) => {
    if (diskName(name) === name || db.type() !== 'leveldb') return next();
    wrappers.installWrapperMethods(db, {
      info: (orig) => orig().then((info) => {
        try {
          info.disk_size = folderSize(leveldown.locate((db.__opts.prefix || '') + name));
        } catch (e) { /* as the package: info works without a size */ }
        return info;
      }),
    });
    return next();
  });
}

module.exports = { install, escapingLeveldown, diskName, isLegalName, illegalName };
