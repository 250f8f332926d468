'use strict';
// Puts a backup back into a server. The file is checked whole before
// anything is written. Revisions go in with new_edits:false, which adds
// them to whatever the server holds without ever replacing or deleting a
// revision: restoring twice, or into a server that has part of it, leaves
// what is already there as it is.

const { dbPath, reasonOf } = require('./client');
const { readBackup } = require('./verify');
const { BackupError, quote } = require('./errors');
const { serverFailure } = require('./backup');

async function restore(client, file, emit) {
  const t0 = Date.now();
  emit({ event: 'verify' });
  const checked = await readBackup(file);
  const names = checked.databases.map((d) => d.name);
  emit({ event: 'start', command: 'restore', databases: names.length, file });
  await client.json('GET', '/').catch(serverFailure(client));

  let index = 0;
  await readBackup(file, {
    async onDatabase(db, security) {
      emit({ event: 'database', name: db, index: ++index, of: names.length });
      const made = await client.request('PUT', dbPath(db));
      if (made.status !== 201 && made.status !== 202 && made.status !== 412) {
        throw refused(db, `the database could not be created: ${reasonOf(made)}`);
      }
      const sec = await client.request('PUT', dbPath(db) + '/_security', security);
      if (sec.status < 200 || sec.status >= 300) throw refused(db, `its security settings were refused: ${reasonOf(sec)}`);
    },
    async onBatch(db, docs) {
      const res = await client.request('POST', dbPath(db) + '/_bulk_docs', { docs, new_edits: false });
      if (res.status < 200 || res.status >= 300 || !Array.isArray(res.json)) {
        throw refused(db, `its documents were refused: ${reasonOf(res)}`);
      }
      const bad = res.json.find((r) => r && r.error);
      if (bad) {
        throw new BackupError('write-refused',
          `The server refused the document ${quote(bad.id)} of the database ${quote(db)}: ${String(bad.reason || bad.error).replace(/[.\s]+$/, '')}.`,
          { database: db, document: bad.id });
      }
    },
  });
  return { event: 'done', file, databases: names.length, documents: checked.documents,
    deleted: checked.deleted, bytes: checked.bytes, ms: Date.now() - t0, removed: [] };
}

function refused(db, reason) {
  return new BackupError('write-refused', `The database ${quote(db)} could not be restored: ${reason}.`, { database: db });
}

module.exports = { restore };
