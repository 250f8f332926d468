'use strict';
// The server process proper, forked by bin/couchdb. Argument: the INI files
// of the configuration chain, in order.

const fs = require('fs');
const path = require('path');
const express = require('express');
const onFinished = require('on-finished');
const { ConfigChain } = require('./config');
const guards = require('./guards');
const dbnames = require('./dbnames');
const { Replicator } = require('./replicator');
const passwords = require('./passwords');
const sandbox = require('./sandbox');
const designfns = require('./designfns');
const users = require('./users');
const input = require('./input');
const bulkwork = require('./bulkwork');
const ddoccache = require('./ddoccache');
const validation = require('./validation');

const NAME = 'server-core';

// Lines go to the launcher, which writes them into the log file. Once the
// launcher is gone a write fails with EPIPE; that failure must not be
// reported by writing again (the loop that once kept a core busy).
process.stdout.on('error', () => {});
process.stderr.on('error', () => {});
// A write to the launcher's pipe is a system call, made synchronously, and
// every request logs a line: the lines of one turn of the event loop go in
// one write.
let pending = [];
function flushLog() {
  if (!pending.length) return;
  const text = pending.join('');
  pending = [];
  try {
    process.stdout.write(text);
  } catch (e) { /* nobody reads: nothing to do */ }
}
function log(level, msg) {
  if (!pending.length) setImmediate(flushLog);
  pending.push(`[${new Date().toUTCString()}] [${level}] [${process.pid}] ${msg}\n`);
}
process.on('exit', flushLog);

// A failure inside the package must not take the server down silently; the
// supervisor restarts this process if the HTTP server itself is gone.
let httpServer = null;
process.on('unhandledRejection', (reason) => {
  log('error', `unhandled rejection: ${reason && reason.stack ? reason.stack : JSON.stringify(reason)}`);
});
process.on('uncaughtException', (err) => {
  log('error', `uncaught exception: ${err && err.stack ? err.stack : err}`);
  if (!httpServer || !httpServer.listening) process.exit(70);
});

// A request that has not been answered in time gets an error rather than
// an open connection for ever; feeds that wait by design are left alone.
const DEFAULT_REQUEST_TIMEOUT_MS = 60000;

function waitsByDesign(req) {
  const feed = String((req.query && req.query.feed) || '');
  if (/\/_changes\/?$/.test(req.path) && /^(longpoll|continuous|eventsource)$/.test(feed)) return true;
  if (req.path === '/_db_updates' && feed) return true;
  return req.path === '/_replicate';
}

function requestTimeout(config) {
  return function (req, res, next) {
    if (waitsByDesign(req)) return next();
    const ms = Number(config.get('httpd', 'request_timeout')) || DEFAULT_REQUEST_TIMEOUT_MS;
    const timer = setTimeout(() => {
      log('error', `request ${req.method} ${req.originalUrl} not answered within ${ms} ms`);
      // A response under way (a large download) has been answered.
      if (res.headersSent) return;
      guards.sendJSON(res, 500, { error: 'timeout', reason: `The request was not answered within ${ms / 1000} s.` });
      // Whatever is still reading the request must not keep the socket.
      req.unpipe && req.unpipe();
    }, ms);
    timer.unref();
    onFinished(res, () => clearTimeout(timer));
    next();
  };
}
// The launcher is gone (killed outright) before this process finished
// starting: an orphan would hold port and data with nobody to restart it.
const orphaned = () => process.exit(0);
process.on('disconnect', orphaned);

async function main(files) {
  const config = new ConfigChain(files);
  // The interpreter's WebAssembly compiles while the rest starts up.
  const sandboxReady = sandbox.ready();
  passwords.install();
  config.enforceIterations();
  await config.hashAdminPasswords();

  const dbDir = path.resolve(String(config.get('couchdb', 'database_dir') || './data'));
  fs.mkdirSync(dbDir, { recursive: true });

  // CouchDB 1.x ends this reason with a full stop, and clients compare it
  // letter for letter. Every conflict the adapters raise copies this object.
  require('pouchdb-errors').REV_CONFLICT.message = 'Document update conflict.';

  const prefix = dbDir + path.sep;
  const leveldown = dbnames.escapingLeveldown(require('leveldown'), prefix);
  const Core = require('pouchdb-core')
    .plugin(require('pouchdb-adapter-http'))
    .plugin(require('pouchdb-adapter-leveldb'))
    .plugin(require('pouchdb-replication'));
  // Views, filters and validation functions run in the sandbox.
  designfns.install(Core, { timeoutMs: Number(config.get('couchdb', 'os_process_timeout')) || undefined });
  const PouchDB = Core.defaults({ prefix, db: leveldown });

  validation.replacePackaged(path.dirname(require.resolve('express-pouchdb')));
  const pouchApp = require('express-pouchdb')({
    inMemoryConfig: true,
    logPath: path.join(dbDir, `${NAME}.log`),
    overrideMode: {
      // Our own replicator replaces the package's; the bundled Fauxton UI
      // is not part of what the console needs. CouchDB 1.x never compresses,
      // and the package's gzip holds continuous and event-source _changes
      // feeds in its buffer, so a client asking for gzip got no change at
      // all; nothing is compressed.
      exclude: ['replicator', 'routes/fauxton', 'compression'],
    },
  });
  pouchApp.disable('x-powered-by');
  config.installInto(pouchApp.couchConfig);
  const uuid = String(config.ensure('couchdb', 'uuid', () => require('crypto').randomBytes(16).toString('hex')));
  guards.install(pouchApp, pouchApp.couchConfig, uuid);
  dbnames.install(pouchApp, pouchApp.couchConfig, leveldown);
  users.install(pouchApp, pouchApp.couchConfig);
  input.install(pouchApp, pouchApp.couchConfig);
  bulkwork.install(pouchApp, pouchApp.couchConfig);
  ddoccache.install(pouchApp);
  // The running replications, from the replicator once it has started.
  let replicator = null;
  guards.installActiveTasks(pouchApp, () => (replicator ? replicator.activeTasks() : []));
  await pouchApp.setPouchDB(PouchDB);

  const app = express();
  app.disable('x-powered-by');
  app.use((req, res, next) => {
    // The product alone: versions only help whoever looks for a known flaw.
    res.setHeader('Server', NAME);
    onFinished(res, () => log('info', `${req.ip} - - ${req.method} ${req.originalUrl} ${res.statusCode}`));
    next();
  });
  app.use(requestTimeout(config));
  app.use(pouchApp);
  // Last resort for errors thrown synchronously inside a route.
  app.use((err, req, res, next) => { // eslint-disable-line no-unused-vars
    log('error', `request ${req.method} ${req.originalUrl} failed: ${err && err.stack}`);
    if (res.headersSent) return res.end();
    guards.sendJSON(res, err.status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) });
  });

  await sandboxReady;
  replicator = new Replicator(PouchDB, String(config.get('replicator', 'db') || '_replicator'),
    (msg) => log('info', msg), (name) => dbnames.isLegalName(name, pouchApp.couchConfig), pouchApp.couchConfig);
  await replicator.start();

  const host = String(config.get('httpd', 'bind_address') || '127.0.0.1');
  const port = Number(config.get('httpd', 'port') || 5984);
  httpServer = app.listen(port, host, () => {
    log('info', `${NAME} has started on http://${host}:${port}/`);
    // The launcher names this process in the data folder's pid file.
    if (process.send) process.send({ listening: true, host, port, uuid });
  });
  // The launcher rotated the log file under the request logger.
  process.on('message', (msg) => {
    if (msg && msg.reopenLog) pouchApp.couchLogger.setFile(path.join(dbDir, `${NAME}.log`));
  });
  httpServer.on('error', (err) => {
    log('error', `cannot listen on ${host}:${port}: ${err.message}`);
    process.exit(err.code === 'EADDRINUSE' ? 98 : 71);
  });
  const shutdown = () => {
    replicator.stop();
    httpServer.close();
    process.exit(0);
  };
  process.on('SIGTERM', shutdown);
  process.on('SIGINT', shutdown);
  // The supervisor is gone (killed outright): do not hold port and data.
  process.off('disconnect', orphaned);
  process.on('disconnect', shutdown);
}

main(process.argv.slice(2)).catch((err) => {
  log('error', `start-up failed: ${err && err.stack ? err.stack : err}`);
  process.exit(err.exitCode || 1);
});
