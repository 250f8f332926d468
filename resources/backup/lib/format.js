'use strict';
// The backup file: gzip of newline-delimited JSON, one value a line.
//
//   {"format":"trevok-backup","version":1,"created":ISO8601,"server":<GET />,"databases":N}
//   then for each database, _users first, then the others in _all_dbs order,
//   _replicator last (so that a restore starts replications only once the
//   databases they copy are full):
//     {"database":NAME,"security":<GET /db/_security>}
//     zero or more batch lines: a JSON array of document revisions, every
//       leaf of every document (winner, conflicting leaves, tombstones with
//       "_deleted":true), each with "_revisions" and attachments inline in
//       base64, so that a batch goes back unchanged through
//       POST /db/_bulk_docs {"docs":[...],"new_edits":false}. All the
//       leaves of one document stand next to each other in one batch.
//     {"databaseEnd":NAME,"documents":D,"deleted":X,"revisions":R,"lastSeq":S}
//   {"end":true,"databases":N,"documents":D,"deleted":X,"revisions":R[,"gone":[NAME…]]}
//   ("gone" names databases deleted after the backup listed them, which it
//   leaves out; the header's N counts them, the trailer's does not)
//
// "documents" counts documents whose winning leaf is live, "deleted" those
// whose leaves are all tombstones, "revisions" the leaves written. A
// document written to during the backup may appear, and be counted, twice:
// once as it was and once as it became; restoring both merges them.
// A file without its trailer, or whose counts disagree with what it holds,
// is damaged.

const fs = require('fs');
const zlib = require('zlib');
const { once } = require('events');
const { pipeline } = require('stream');

const FORMAT = 'trevok-backup';
const VERSION = 1;

// Counts one batch: consecutive revisions with the same _id are one document.
function countBatch(docs) {
  const c = { documents: 0, deleted: 0, revisions: docs.length };
  for (let i = 0; i < docs.length;) {
    let j = i;
    let live = false;
    while (j < docs.length && docs[j]._id === docs[i]._id) {
      if (docs[j]._deleted !== true) live = true;
      j++;
    }
    if (live) c.documents++; else c.deleted++;
    i = j;
  }
  return c;
}

// Writes lines into an already opened file handle through gzip, waiting for
// the disk whenever gzip's buffer is full, so that memory stays bounded.
class Writer {
  constructor(fileHandle) {
    this.gzip = zlib.createGzip({ level: 6 });
    this.out = fs.createWriteStream(null, { fd: fileHandle.fd, autoClose: false });
    this.failure = null;
    const fail = (err) => { if (!this.failure) this.failure = err; };
    this.gzip.on('error', fail);
    this.out.on('error', fail);
    this.gzip.pipe(this.out);
    this.finished = new Promise((resolve, reject) => {
      this.out.on('finish', resolve);
      this.out.on('error', reject);
      this.gzip.on('error', reject);
    });
    this.finished.catch(() => {});
  }

  async line(value) {
    if (this.failure) throw this.failure;
    if (!this.gzip.write(JSON.stringify(value) + '\n')) {
      await Promise.race([once(this.gzip, 'drain'), this.finished]);
    }
    if (this.failure) throw this.failure;
  }

  async end() {
    if (this.failure) throw this.failure;
    this.gzip.end();
    await this.finished;
  }

  destroy() {
    this.gzip.destroy();
    this.out.destroy();
  }
}

// Yields the parsed lines of a backup file; a truncated or corrupt gzip
// stream, or a line that is not JSON, throws with the line number.
async function* lines(file) {
  const input = zlib.createGunzip();
  // pipeline() hands a read error (a missing file) on to the loop below.
  pipeline(fs.createReadStream(file), input, () => {});
  let pending = [];
  let number = 0;
  const parse = (text) => {
    number++;
    try {
      return JSON.parse(text);
    } catch (e) {
      throw Object.assign(new Error(`line ${number} is not valid JSON`), { damaged: true });
    }
  };
  try {
    for await (const chunk of input) {
      let start = 0;
      for (let nl = chunk.indexOf(10); nl !== -1; nl = chunk.indexOf(10, start)) {
        pending.push(chunk.subarray(start, nl));
        const text = Buffer.concat(pending).toString('utf8');
        pending = [];
        start = nl + 1;
        yield parse(text);
      }
      if (start < chunk.length) pending.push(chunk.subarray(start));
    }
  } catch (err) {
    if (err.damaged || err.code === 'ENOENT' || err.code === 'EACCES' || err.code === 'EISDIR') throw err;
    throw Object.assign(new Error(`its compressed data is cut short or corrupt (${err.message})`), { damaged: true });
  }
  if (pending.length && Buffer.concat(pending).length) {
    throw Object.assign(new Error('its last line is incomplete'), { damaged: true });
  }
}

module.exports = { FORMAT, VERSION, countBatch, Writer, lines };
