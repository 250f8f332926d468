'use strict';
// Reads a backup file through to its end and checks that it is whole: the
// header, each database's lines in order, counts that agree with what the
// file holds, and the trailer. The summary it returns lets the writer
// compare the file with what it read from the server.

const fs = require('fs');
const { FORMAT, VERSION, countBatch, lines } = require('./format');
const { BackupError, damaged, quote } = require('./errors');

const FIELDS = ['documents', 'deleted', 'revisions'];

// onDatabase(name, security) and onBatch(name, docs) let restore act on the
// file while it is read; verify alone passes neither.
async function readBackup(file, { onDatabase, onBatch } = {}) {
  const summary = { databases: [], documents: 0, deleted: 0, revisions: 0 };
  let header = null;
  let current = null;
  let ended = false;
  let n = 0;
  try {
    for await (const value of lines(file)) {
      n++;
      if (ended) throw bad(`there is more after its last line (line ${n})`);
      if (!header) {
        if (!value || value.format !== FORMAT) throw bad('it is not a backup of this kind');
        if (value.version !== VERSION) throw bad(`its version ${value.version} is not known to this tool`);
        if (!Number.isInteger(value.databases)) throw bad('its header is incomplete');
        header = value;
        continue;
      }
      if (Array.isArray(value)) {
        if (!current) throw bad(`line ${n} holds documents outside any database`);
        for (const d of value) {
          if (!d || typeof d._id !== 'string' || typeof d._rev !== 'string' || d._id.startsWith('_local/')) {
            throw bad(`line ${n} holds something that is not a document revision`);
          }
        }
        const c = countBatch(value);
        for (const k of FIELDS) current[k] += c[k];
        if (onBatch && value.length) await onBatch(current.name, value);
      } else if (value && typeof value.database === 'string') {
        if (current) throw bad(`the database ${quote(current.name)} has no end line`);
        current = { name: value.database, documents: 0, deleted: 0, revisions: 0 };
        if (onDatabase) await onDatabase(value.database, value.security || {});
      } else if (value && typeof value.databaseEnd === 'string') {
        if (!current || current.name !== value.databaseEnd) throw bad(`line ${n} ends a database that was not begun`);
        for (const k of FIELDS) {
          if (value[k] !== current[k]) {
            throw bad(`the database ${quote(current.name)} holds ${current[k]} ${k === 'revisions' ? 'revisions' : k === 'deleted' ? 'deleted documents' : 'documents'} where its end line counts ${value[k]}`);
          }
        }
        summary.databases.push(current);
        for (const k of FIELDS) summary[k] += current[k];
        current = null;
      } else if (value && value.end === true) {
        if (current) throw bad(`the database ${quote(current.name)} has no end line`);
        // A database deleted after the backup listed it is left out and
        // named in the last line, so that the header's count still adds up.
        const gone = Array.isArray(value.gone) ? value.gone.length : 0;
        if (value.databases !== summary.databases.length || value.databases + gone !== header.databases) {
          throw bad(`it holds ${summary.databases.length} databases where it announces ${header.databases}`);
        }
        for (const k of FIELDS) {
          if (value[k] !== summary[k]) throw bad(`its last line counts ${value[k]} ${k} where it holds ${summary[k]}`);
        }
        ended = true;
      } else {
        throw bad(`line ${n} is not part of a backup`);
      }
    }
  } catch (err) {
    if (err instanceof BackupError) throw err;
    if (err.damaged) throw damaged(file, err.message);
    if (err.code === 'ENOENT') throw new BackupError('other', `The backup ${quote(file)} does not exist.`);
    if (err.code === 'EACCES') throw new BackupError('other', `The backup ${quote(file)} cannot be read.`);
    throw new BackupError('other', `The backup ${quote(file)} could not be read: ${err.message}.`);
  }
  if (!header) throw damaged(file, 'it is empty');
  if (!ended) throw damaged(file, 'it ends before its last line; the backup was not finished');
  checkOrder(file, summary.databases.map((d) => d.name));
  summary.header = header;
  summary.bytes = fs.statSync(file).size;
  return summary;

  function bad(reason) { return damaged(file, reason); }
}

// A restore relies on the users coming first and replications last.
function checkOrder(file, names) {
  const u = names.indexOf('_users');
  const r = names.indexOf('_replicator');
  if ((u > 0) || (r !== -1 && r !== names.length - 1)) {
    throw damaged(file, 'its databases are not in the order a restore needs');
  }
}

module.exports = { readBackup, FIELDS };
