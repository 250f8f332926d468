'use strict';
// One backup of every database into a folder: written to a hidden partial
// file, checked by reading it back, and only then given its final name;
// older backups are pruned only after that. A failure leaves the folder as
// it was, minus this run's own partial file.

const fs = require('fs');
const path = require('path');
const { Writer, FORMAT, VERSION, countBatch } = require('./format');
const { DatabaseReader } = require('./reader');
const { readBackup, FIELDS } = require('./verify');
const { BackupError, quote, folderError, damaged } = require('./errors');

// Partial files this process has open, for a stop by signal to remove.
const partials = new Set();

const NAME = /^trevok-backup-(\d{8}-\d{6}Z)(?:-(\d+))?\.tbk$/;

function stamp(date) {
  const iso = date.toISOString(); // 2024-05-01T12:34:56.789Z
  return iso.slice(0, 10).replace(/-/g, '') + '-' + iso.slice(11, 19).replace(/:/g, '') + 'Z';
}

// _users first, _replicator last, the rest as the server lists them.
function databaseOrder(all) {
  const rest = all.filter((n) => n !== '_users' && n !== '_replicator');
  return [...(all.includes('_users') ? ['_users'] : []), ...rest,
    ...(all.includes('_replicator') ? ['_replicator'] : [])];
}

async function checkFolder(folder) {
  let st;
  try {
    st = await fs.promises.stat(folder);
  } catch (err) {
    throw folderError(err, folder);
  }
  if (!st.isDirectory()) throw new BackupError('folder-missing', `The backup folder ${quote(folder)} is not a folder.`);
}

// Creates the partial file of the first free name; O_EXCL keeps two runs in
// the same second from sharing one.
async function openPartial(folder, started) {
  const base = `trevok-backup-${stamp(started)}`;
  // Past every backup of the same second, kept or pruned meanwhile: a name
  // freed by pruning must not come back, or the newest backup would sort
  // as the oldest and be pruned at once.
  let highest = 0;
  let names;
  try {
    names = fs.readdirSync(folder);
  } catch (err) {
    throw folderError(err, folder);
  }
  for (const name of names) {
    const m = NAME.exec(name.replace(/^\./, '').replace(/\.partial$/, ''));
    if (m && m[1] === stamp(started)) highest = Math.max(highest, Number(m[2] || 1));
  }
  for (let n = highest + 1; ; n++) {
    const name = base + (n === 1 ? '' : `-${n}`) + '.tbk';
    const final = path.join(folder, name);
    const partial = path.join(folder, `.${name}.partial`);
    if (fs.existsSync(final)) continue;
    try {
      const fh = await fs.promises.open(partial, 'wx', 0o600);
      return { fh, final, partial };
    } catch (err) {
      if (err.code !== 'EEXIST') throw folderError(err, folder);
    }
  }
}

async function syncFolder(folder) {
  let fh;
  try {
    fh = await fs.promises.open(folder, 'r');
    await fh.sync();
  } catch (err) {
    // Some file systems cannot sync a directory; the rename is then as
    // durable as they make it.
    if (!['EINVAL', 'EISDIR', 'EPERM', 'ENOTSUP', 'EBADF'].includes(err.code)) throw err;
  } finally {
    if (fh) await fh.close().catch(() => {});
  }
}

// Complete backups of this tool only, newest first.
function backupsIn(folder) {
  return fs.readdirSync(folder).map((name) => ({ name, m: NAME.exec(name) })).filter((e) => e.m)
    .sort((a, b) => (a.m[1] === b.m[1] ? Number(b.m[2] || 1) - Number(a.m[2] || 1) : (a.m[1] < b.m[1] ? 1 : -1)))
    .map((e) => e.name);
}

function prune(folder, keep) {
  const removed = [];
  for (const name of backupsIn(folder).slice(keep)) {
    const file = path.join(folder, name);
    try {
      fs.unlinkSync(file);
      removed.push(file);
    } catch (err) {
      process.stderr.write(`could not remove ${file}: ${err.message}\n`);
    }
  }
  return removed;
}

async function backup(client, { folder, keep }, emit) {
  const t0 = Date.now();
  const started = new Date();
  folder = path.resolve(folder);
  await checkFolder(folder);
  const server = await client.json('GET', '/').catch(serverFailure(client));
  const names = databaseOrder(await client.json('GET', '/_all_dbs').catch(serverFailure(client)));

  const { fh, final, partial } = await openPartial(folder, started);
  partials.add(partial);
  const writer = new Writer(fh);
  let totals;
  try {
    emit({ event: 'start', command: 'backup', databases: names.length, file: final });
    const read = [];
    const gone = [];
    await write(() => writer.line({ format: FORMAT, version: VERSION, created: started.toISOString(), server, databases: names.length }));
    // One database is read ahead (its security object and first page) while
    // the one before it is written: a few requests in flight at most, so the
    // server keeps answering its other clients.
    const open = (db) => new DatabaseReader(client, db).start();
    let next = names.length ? open(names[0]) : null;
    for (let i = 0; i < names.length; i++) {
      const db = names[i];
      emit({ event: 'database', name: db, index: i + 1, of: names.length });
      const reader = next;
      next = i + 1 < names.length ? open(names[i + 1]) : null;
      let security;
      try {
        security = await reader.security();
      } catch (err) {
        // Deleted after the list was read (a user or project removed
        // meanwhile): it is no longer part of the service, so it is left
        // out rather than failing the whole backup.
        if (err.cause !== 'database-gone') throw err;
        gone.push(db);
        continue;
      }
      await write(() => writer.line({ database: db, security }));
      const c = { name: db, documents: 0, deleted: 0, revisions: 0 };
      let lastSeq = 0;
      for await (const page of reader.batches()) {
        lastSeq = page.lastSeq;
        if (!page.docs.length) continue;
        const n = countBatch(page.docs);
        for (const k of FIELDS) c[k] += n[k];
        await write(() => writer.line(page.docs));
      }
      await write(() => writer.line({ databaseEnd: db, documents: c.documents, deleted: c.deleted, revisions: c.revisions, lastSeq }));
      read.push(c);
    }
    totals = { databases: read.length };
    for (const k of FIELDS) totals[k] = read.reduce((s, c) => s + c[k], 0);
    await write(() => writer.line({ end: true, ...totals, ...(gone.length ? { gone } : {}) }));
    await write(() => writer.end());
    await write(() => fh.sync());
    await write(() => fh.close());

    emit({ event: 'verify' });
    const summary = await readBackup(partial);
    const same = JSON.stringify(summary.databases) === JSON.stringify(read);
    if (!same) throw damaged(partial, 'what it holds differs from what was read from the server');

    if (fs.existsSync(final)) throw new BackupError('other', `The backup ${quote(final)} appeared while this one was written.`);
    await write(() => fs.promises.rename(partial, final));
    await write(() => syncFolder(folder));
    totals.bytes = summary.bytes;
  } catch (err) {
    writer.destroy();
    await fh.close().catch(() => {});
    await fs.promises.unlink(partial).catch(() => {});
    throw err;
  } finally {
    partials.delete(partial);
  }

  const removed = prune(folder, keep);
  return { event: 'done', file: final, databases: totals.databases, documents: totals.documents,
    deleted: totals.deleted, bytes: totals.bytes, ms: Date.now() - t0, removed };

  async function write(fn) {
    try {
      return await fn();
    } catch (err) {
      throw folderError(err, folder);
    }
  }
}

function serverFailure(client) {
  return (err) => {
    if (err instanceof BackupError) throw err;
    throw new BackupError('other', `The server at ${quote(client.url)} answered: ${err.message}.`);
  };
}

module.exports = { backup, partials, databaseOrder, backupsIn, stamp, serverFailure };
