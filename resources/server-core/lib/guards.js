'use strict';
// CouchDB 1.x access rules that express-pouchdb lacks, spliced into the
// package's own middleware stack at the points where the request already
// carries its session (req.couchSession) or its database's security object.

const AUTH_REQUIRED = { error: 'unauthorized', reason: 'Authentication required.' };
const REPLICATION_FORBIDDEN = { error: 'forbidden', reason: 'Only server administrators may replicate or see replications.' };
// _all_dbs as in CouchDB 3 ([chttpd] admin_only_all_dbs): the list would
// tell every account which others' databases exist.
const ADMIN_ONLY_PATHS = ['/_active_tasks', '/_db_updates', '/_log', '/_all_dbs'];

function sendJSON(res, status, body) {
  res.status(status);
  res.setHeader('Content-Type', 'application/json');
  res.setHeader('Cache-Control', 'must-revalidate');
  res.end(JSON.stringify(body) + '\n');
}

function isServerAdmin(req) {
  return req.couchSession.userCtx.roles.indexOf('_admin') !== -1;
}

function section(obj) {
  obj = obj && typeof obj === 'object' ? obj : {};
  return {
    names: Array.isArray(obj.names) ? obj.names : [],
    roles: Array.isArray(obj.roles) ? obj.roles : [],
  };
}

function isIn(userCtx, sec) {
  return sec.names.indexOf(userCtx.name) !== -1 ||
    sec.roles.some((r) => userCtx.roles.indexOf(r) !== -1);
}

// Runs after authentication: the valid-user requirement and server-admin-only
// database creation and deletion. The latter also keeps a non-admin
// `PUT /db` away from the package's database route, which throws a TypeError
// outside any promise there and would take the whole process down.
function sessionGuard(config) {
  return function (req, res, next) {
    const userCtx = req.couchSession.userCtx;
    const requireValid = config.get('couch_httpd_auth', 'require_valid_user');
    const loggingIn = req.method === 'POST' && req.path === '/_session';
    if ((requireValid === true || requireValid === 'true') && !userCtx.name && !loggingIn) {
      const challenge = config.get('httpd', 'WWW-Authenticate');
      if (challenge) res.setHeader('WWW-Authenticate', String(challenge));
      return sendJSON(res, 401, AUTH_REQUIRED);
    }
    if (!isServerAdmin(req)) {
      // Replicating runs with the server's own rights, whatever the
      // endpoints: it copies any database into any other.
      if (req.path === '/_replicate' || req.path.startsWith('/_replicate/')) {
        return sendJSON(res, 403, REPLICATION_FORBIDDEN);
      }
      // Server-wide views that CouchDB keeps for administrators.
      if (ADMIN_ONLY_PATHS.indexOf(req.path.replace(/\/+$/, '')) !== -1) {
        return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not a server admin.' });
      }
    }
    // DELETE /_session is a logout, open to everyone.
    const dbOnly = /^\/[^/]+\/?$/.test(req.path) && req.path !== '/_session';
    if (dbOnly && (req.method === 'PUT' || req.method === 'DELETE') && !isServerAdmin(req)) {
      return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not a server admin.' });
    }
    next();
  };
}

// The users database as CouchDB 1.x shows it to a non-admin: its own user
// document, sign-up and updates (judged by the database's validation), and
// nothing else. The package means to refuse the rest too, but its system-db
// wrapper fails with a TypeError (`args.db` is undefined) and answers 400.
function usersDbRefusal(req, userCtx) {
  const parts = req.path.split('/').slice(2).filter((p) => p !== '');
  if (parts.length === 0) return null; // database info, POST of a new user
  let id;
  try { id = decodeURIComponent(parts.join('/')); } catch (e) { id = parts.join('/'); }
  if (parts.length === 1 && id.startsWith('org.couchdb.user:')) {
    if (req.method === 'PUT' || req.method === 'DELETE') return null;
    if ((req.method === 'GET' || req.method === 'HEAD') && id === `org.couchdb.user:${userCtx.name}`) return null;
    return 'You may only request your own user document.';
  }
  if (id.startsWith('_') && !id.startsWith('_design/')) {
    return `Only admins can access ${parts[0]} of system databases.`;
  }
  return 'Only admins can access other documents of system databases.';
}

// The answer to someone a database does not admit. A database that does
// not exist gets the same answer for everyone but administrators, so that
// no answer tells an account whether another's database is there.
function refuseNonMember(req, res) {
  if (!req.couchSession.userCtx.name) {
    return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not authorized to access this db.' });
  }
  sendJSON(res, 403, { error: 'forbidden', reason: 'You are not allowed to access this db.' });
}

function refuseMissingDb(req, res) {
  if (isServerAdmin(req)) return sendJSON(res, 404, { error: 'not_found', reason: 'no_db_file' });
  return refuseNonMember(req, res);
}

// Runs as soon as the request's database is open, before any of the
// package's database routes (its own security object is loaded only after
// `GET /db` has been answered). CouchDB 1.x treats `readers` as the older
// name of `members`; the package only knows `members`, so the membership
// rule is enforced here, with CouchDB's status codes, for both.
function securityGuard(config) {
  return function (req, res, next) {
    if (!req.db) return next();
    // Without a userCtx the package's security wrapper treats the call as
    // the server's own, which is what reading the rules needs.
    req.db.getSecurity().then((secObj) => {
      secObj = secObj || {};
      const members = section(secObj.members);
      const readers = section(secObj.readers);
      const effective = {
        names: [...new Set([...members.names, ...readers.names])],
        roles: [...new Set([...members.roles, ...readers.roles])],
      };
      const userCtx = req.couchSession.userCtx;
      const replicatorDb = String(config.get('replicator', 'db') || '_replicator');
      if (req.db.name === replicatorDb && !isServerAdmin(req)) {
        return sendJSON(res, 403, REPLICATION_FORBIDDEN);
      }
      // Temporary views run code sent with the request: CouchDB keeps them
      // for database administrators.
      const tempView = /^\/[^/]+\/_temp_view\/?$/.test(req.path);
      if (tempView && !isServerAdmin(req) && !isIn(userCtx, section(secObj.admins))) {
        return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not a db or server admin.' });
      }
      const restricted = effective.names.length || effective.roles.length;
      const dbAdmin = isServerAdmin(req) || isIn(userCtx, section(secObj.admins));
      // Mango indexes are design documents; the package wrote them with the
      // server's own rights, whoever asked, and changed an existing design
      // document even when the index then failed.
      if (/^\/[^/]+\/_index(\/|$)/.test(req.path) && req.method !== 'GET' && req.method !== 'HEAD' && !dbAdmin) {
        return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not a db or server admin.' });
      }
      if (dbAdmin) return next();
      const usersDb = String(config.get('couch_httpd_auth', 'authentication_db') || '_users');
      // As CouchDB 3 by default: a database nobody has secured yet is the
      // administrators' ([couchdb] default_security = admin_only), so that
      // nothing the console has not reached yet is open to every account.
      const unsecured = !('members' in secObj) && !('readers' in secObj) && !('admins' in secObj);
      const adminOnly = String(config.get('couchdb', 'default_security') || 'admin_only') !== 'everyone';
      if (unsecured && adminOnly && req.db.name !== usersDb) return refuseNonMember(req, res);
      if (!restricted || isIn(userCtx, effective)) {
        const refusal = req.db.name === usersDb && usersDbRefusal(req, userCtx);
        if (refusal) return sendJSON(res, 403, { error: 'forbidden', reason: refusal });
        return next();
      }
      refuseNonMember(req, res);
    }).catch((err) => {
      sendJSON(res, err.status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) });
    });
  };
}

// express keeps its middleware in app._router.stack (express 4, pinned by
// pouchdb-server 4.2.0); a handler is added at the end by app.use and then
// moved in front of the first layer that `where` picks.
function insertBefore(app, where, handler) {
  app.use(handler);
  const stack = app._router.stack;
  const layer = stack.pop();
  const index = stack.findIndex(where);
  if (index === -1) throw new Error('express-pouchdb layout not recognised');
  stack.splice(index, 0, layer);
}

// A route for that one method, not an app.all() route that lists them all.
function routeIs(path, method) {
  return (layer) => layer.route && layer.route.path === path &&
    Object.keys(layer.route.methods).join() === method;
}

// The welcome object of CouchDB 1.x, which clients use to recognise the
// protocol and its version; the vendor says who actually answers.
function welcome(uuid) {
  const vendorVersion = require('../package.json').version;
  return function (req, res, next) {
    if (req.method !== 'GET' || req.path !== '/') return next();
    sendJSON(res, 200, {
      couchdb: 'Welcome',
      uuid,
      version: '1.6.1',
      vendor: { name: 'server-core', version: vendorVersion },
    });
  };
}

// The package took any URL holding `/<db>/_design/<x>/_rewrite/`, its query
// string included, for a rewrite of that database, and opened it (404 when
// missing) and read its design document before anyone asked whether the
// caller may: the answer told whether another account's database existed.
// A rewrite is now only what the path says, and the database it names
// admits the caller first.
const REWRITE_PATH = /^\/([^/]+)\/_design\/[^/]+\/_rewrite(\/|$)/;

function gateRewrites(app, config) {
  const layer = app._router.stack.find((l) => !l.route && /rewriteMiddleware/.test(String(l.handle)));
  if (!layer) throw new Error('express-pouchdb layout not recognised');
  const { openForRequest } = require('./dbgate');
  const rewrite = layer.handle;
  const guard = securityGuard(config);
  layer.handle = function (req, res, next) {
    const m = REWRITE_PATH.exec(req.path);
    if (!m) return next();
    let name;
    try { name = decodeURIComponent(m[1]); } catch (e) { return next(); }
    openForRequest(req.PouchDB, name, req, res).then((db) => {
      if (!db) return refuseMissingDb(req, res);
      return app.dbWrapper.wrap(name, db)
        .then((db) => {
          req.db = db;
          guard(req, res, () => rewrite(req, res, next));
        });
    }).catch((err) => sendJSON(res, err.status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) }));
  };
}

function install(app, config, uuid) {
  insertBefore(app, routeIs('/_config', 'get'), sessionGuard(config));
  insertBefore(app, routeIs('/', 'get'), welcome(uuid));
  insertBefore(app, routeIs('/:db', 'get'), securityGuard(config));
  gateRewrites(app, config);
}

// The running tasks that `list()` names, for server admins only, answered
// before any of the package's own layers for that path (its stub lists
// nothing).
function installActiveTasks(app, list) {
  insertBefore(app, routeIs('/_active_tasks', 'get'), (req, res, next) => {
    if (req.method !== 'GET' || req.path.replace(/\/+$/, '') !== '/_active_tasks') return next();
    if (!isServerAdmin(req)) {
      return sendJSON(res, 401, { error: 'unauthorized', reason: 'You are not a server admin.' });
    }
    sendJSON(res, 200, list());
  });
}

module.exports = { install, installActiveTasks, sendJSON, refuseMissingDb, securityGuard };
