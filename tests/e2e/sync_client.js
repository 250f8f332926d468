#!/usr/bin/env node
// A sync client as the service's clients are: a local PouchDB database kept in
// step with the user's database on the server, through the sync listener, by
// a live two-way replication. The test drives it with one JSON command per
// line on standard input and reads one JSON reply per line on standard output;
// changes of the local database are reported as {"event":"change",...} lines.
//
//   node sync_client.js --url http://127.0.0.1:PORT --user ann --password pw --dir DIR
'use strict';

const path = require('path');
const readline = require('readline');
const PouchDB = require('pouchdb');

function arg(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const url = arg('url');
const user = arg('user');
const password = arg('password');
const dir = arg('dir', '.');
const remoteName = 'trevok_user_db_' + user;

function send(message) {
  process.stdout.write(JSON.stringify(message) + '\n');
}

const local = new PouchDB(path.join(dir, 'local'));
const remote = new PouchDB(url + '/' + encodeURIComponent(remoteName), {
  auth: { username: user, password },
  skip_setup: true,
});

let lastSyncError = null;
const sync = local.sync(remote, { live: true, retry: true, back_off_function: (d) => Math.min(d ? d * 2 : 100, 1000) });
sync.on('error', (err) => { lastSyncError = String(err && (err.message || err.name)); send({ event: 'error', error: lastSyncError }); });
sync.on('denied', (err) => send({ event: 'denied', error: String(err && err.message) }));
sync.on('paused', (err) => { if (err) send({ event: 'paused', error: String(err.message || err) }); });

const feed = local.changes({ since: 'now', live: true, include_docs: true });
feed.on('change', (c) => send({ event: 'change', id: c.id, deleted: !!c.deleted, at: Date.now(), doc: c.doc }));

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
      sync.cancel();
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
lines.on('close', () => { sync.cancel(); feed.cancel(); setTimeout(() => process.exit(0), 50); });
send({ event: 'ready' });
