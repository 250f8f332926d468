#!/usr/bin/env node
// A sync client as the service's clients are: a local PouchDB database kept in
// step with the user's database on the server, through the sync listener, by
// a live two-way replication. The test drives it with one JSON command per
// line on standard input and reads one JSON reply per line on standard output;
// changes of the local database are reported as {"event":"change",...} lines.
//
//   node sync_client.js --url http://127.0.0.1:PORT --user ann --password pw --dir DIR
//
// Over TLS (an https URL) it trusts exactly the certificate whose SHA-256 is
// given with --pin, as a client pins the fingerprint it found announced.
// With --session it logs in once and proves who it is by the session cookie
// instead of its password on every request; the cookie is told in "ready".
'use strict';

const https = require('https');
const path = require('path');
const readline = require('readline');
const tls = require('tls');
const nodeFetch = require('node-fetch');
const PouchDB = require('pouchdb');

function arg(name, fallback) {
  // The last occurrence counts, so that a suite's own options override the harness's.
  const i = process.argv.lastIndexOf('--' + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const url = arg('url');
const user = arg('user');
const password = arg('password');
const dir = arg('dir', '.');
const pin = arg('pin');
const useSession = process.argv.includes('--session');
const remoteName = 'trevok_user_db_' + user;

function send(message) {
  process.stdout.write(JSON.stringify(message) + '\n');
}

// The first connection reads the server's certificate and sends nothing
// else; that certificate becomes the only one trusted, and every connection
// is checked against the pin again, so a server with another certificate
// never sees a request.
function pinnedAgent(target) {
  return new Promise((resolve) => {
    const probe = tls.connect({ host: target.hostname, port: Number(target.port), rejectUnauthorized: false }, () => {
      const cert = probe.getPeerCertificate();
      probe.end();
      const pem = '-----BEGIN CERTIFICATE-----\n' + cert.raw.toString('base64').match(/.{1,64}/g).join('\n') +
        '\n-----END CERTIFICATE-----\n';
      const agent = new https.Agent({
        keepAlive: true,
        ca: pem,
        checkServerIdentity: (host, c) => (c.fingerprint256 === pin ? undefined
          : new Error('certificate ' + c.fingerprint256 + ' is not the pinned one')),
      });
      resolve({ agent, seen: cert.fingerprint256 });
    });
    probe.on('error', (e) => resolve({ agent: null, error: String(e.message) }));
  });
}

const local = new PouchDB(path.join(dir, 'local'));
let remote = null;
let sync = null;
let lastSyncError = null;
const feed = local.changes({ since: 'now', live: true, include_docs: true });
feed.on('change', (c) => send({ event: 'change', id: c.id, deleted: !!c.deleted, at: Date.now(), doc: c.doc }));

async function connect() {
  const options = { skip_setup: true };
  const ready = { event: 'ready' };
  let agent;
  if (pin) {
    const pinned = await pinnedAgent(new URL(url));
    agent = pinned.agent;
    ready.pinned = pinned.seen === pin;
    ready.seen = pinned.seen || pinned.error;
  }
  const fetchWith = (target, init) => nodeFetch(target, Object.assign(init || {}, agent ? { agent } : {}));
  if (agent) options.fetch = fetchWith;
  if (useSession) {
    try {
      const login = await fetchWith(url + '/_session', {
        method: 'POST',
        headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
        body: 'name=' + encodeURIComponent(user) + '&password=' + encodeURIComponent(password),
      });
      const cookie = /AuthSession=[^;]*/.exec(login.headers.get('set-cookie') || '');
      ready.cookie = cookie ? cookie[0] : '';
    } catch (e) {
      ready.cookie = '';
      ready.loginError = String(e.message || e);
    }
    options.fetch = fetchWith;
    options.headers = { Cookie: ready.cookie };
  } else {
    options.auth = { username: user, password };
  }
  remote = new PouchDB(url + '/' + encodeURIComponent(remoteName), options);
  sync = local.sync(remote, { live: true, retry: true, back_off_function: (d) => Math.min(d ? d * 2 : 100, 1000) });
  sync.on('error', (err) => { lastSyncError = String(err && (err.message || err.name)); send({ event: 'error', error: lastSyncError }); });
  sync.on('denied', (err) => send({ event: 'denied', error: String(err && err.message) }));
  sync.on('paused', (err) => { if (err) send({ event: 'paused', error: String(err.message || err) }); });
  return ready;
}

// Waits until the local database holds (or, with deleted, no longer holds) a document.
async function waitFor(id, deleted, timeoutMs) {
  const until = Date.now() + timeoutMs;
  for (;;) {
    let present = true;
    let doc = null;
    try { doc = await local.get(id); } catch (e) { present = false; }
    if (present !== !!deleted) return { ok: true, doc, at: Date.now() };
    if (Date.now() > until) return { ok: false, error: 'timed out waiting for ' + id };
    await new Promise((r) => setTimeout(r, 20));
  }
}

async function handle(cmd) {
  switch (cmd.op) {
    case 'put': {
      const doc = Object.assign({}, cmd.doc);
      try { const old = await local.get(doc._id); doc._rev = old._rev; } catch (e) { /* new */ }
      const r = await local.put(doc);
      return { ok: true, rev: r.rev, at: Date.now() };
    }
    case 'remove': {
      const old = await local.get(cmd.id);
      const r = await local.remove(old);
      return { ok: true, rev: r.rev, at: Date.now() };
    }
    case 'get':
      try { return { ok: true, doc: await local.get(cmd.id) }; } catch (e) { return { ok: true, doc: null }; }
    case 'wait':
      return waitFor(cmd.id, cmd.deleted, cmd.timeoutMs || 10000);
    case 'ids': {
      const all = await local.allDocs();
      return { ok: true, ids: all.rows.map((r) => r.id) };
    }
    case 'find': {
      // The local documents whose field holds the value.
      const all = await local.allDocs({ include_docs: true });
      return { ok: true, docs: all.rows.map((r) => r.doc).filter((d) => d && d[cmd.field] === cmd.value) };
    }
    case 'remoteGet': {
      // A direct read of the user's database through the listener.
      try { return { ok: true, doc: await remote.get(cmd.id) }; } catch (e) { return { ok: true, doc: null, status: e.status }; }
    }
    case 'remotePut': {
      // A write straight into the user's database, as a client's own code
      // or a replicator makes it: `new_edits` false keeps the given revision.
      try {
        const r = cmd.new_edits === false
          ? await remote.bulkDocs([cmd.doc], { new_edits: false })
          : await remote.put(cmd.doc);
        const refused = Array.isArray(r) ? r.find((x) => x && x.error) : null;
        if (refused) return { ok: true, status: refused.status || 0, error: refused.error || refused.name, reason: refused.reason || refused.message };
        return { ok: true, status: 201 };
      } catch (e) {
        return { ok: true, status: e.status, error: e.name || e.error, reason: e.reason || e.message };
      }
    }
    case 'quit':
      if (sync) sync.cancel();
      feed.cancel();
      setTimeout(() => process.exit(0), 50);
      return { ok: true };
    default:
      return { ok: false, error: 'unknown op ' + cmd.op };
  }
}

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', (line) => {
  if (!line.trim()) return;
  let cmd;
  try { cmd = JSON.parse(line); } catch (e) { send({ ok: false, error: 'bad json' }); return; }
  handle(cmd).then(
    (reply) => send(Object.assign({ reply: cmd.seq }, reply)),
    (err) => send({ reply: cmd.seq, ok: false, error: String(err && (err.message || err)) }));
});
lines.on('close', () => { if (sync) sync.cancel(); feed.cancel(); setTimeout(() => process.exit(0), 50); });
connect().then(send, (err) => send({ event: 'ready', error: String(err && (err.message || err)) }));
