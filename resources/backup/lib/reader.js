'use strict';
// Reads one database as batches of leaf revisions, a page of the changes
// feed at a time, so that no more than one page (plus the one being read
// ahead) is ever held in memory.
//
// The changes feed lists every document once, at its latest change, with
// all its leaves (style=all_docs: conflicts and tombstones included). A
// document changed while the backup runs moves to a later sequence, and so
// is met again further on: nothing that was there when the backup started
// can be passed over. _local documents are not in the feed and are left
// out on purpose: they are replication checkpoints, and a restored database
// has other sequence numbers, so every replication and client must compare
// everything once after a restore rather than trust an old checkpoint.

const { dbPath, docPath, reasonOf } = require('./client');
const { BackupError, quote } = require('./errors');

const PAGE = 500;
const REPLICATION_FIELD = /^_replication_/;

function unreadable(db, reason) {
  return new BackupError('database-unreadable',
    `The database ${quote(db)} could not be read: ${String(reason).replace(/[.\s]+$/, '')}.`, { database: db });
}

class DatabaseReader {
  constructor(client, db) {
    this.client = client;
    this.db = db;
  }

  async get(path, body) {
    const res = await this.client.request(body === undefined ? 'GET' : 'POST', path, body);
    if (res.status === 404 && res.json && res.json.error === 'not_found' && /no_db_file|Database does not exist|missing/.test(String(res.json.reason))) {
      throw new BackupError('database-gone', `The database ${quote(this.db)} was deleted while the backup ran.`, { database: this.db });
    }
    if (res.status < 200 || res.status >= 300 || res.json === undefined) {
      throw unreadable(this.db, res.status === 404 ? 'it was deleted while the backup ran' : reasonOf(res));
    }
    return res.json;
  }

  // Starts reading the security object and the first page at once, so that
  // the backup can ask for the next database while it writes this one.
  start() {
    this.first = { security: this.security(), page: this.page(0) };
    this.first.security.catch(() => {});
    this.first.page.catch(() => {});
    return this;
  }

  security() {
    return this.first ? this.first.security : this.get(dbPath(this.db) + '/_security');
  }

  // Yields { docs, lastSeq } for each page; the next page is asked for while
  // the caller writes this one.
  async* batches() {
    let since = 0;
    let ahead = this.first ? this.first.page : this.page(since);
    // Read ahead may fail while nobody waits for it yet; the failure is
    // met when it is awaited.
    ahead.catch(() => {});
    for (;;) {
      const page = await ahead;
      const more = page.count >= PAGE && JSON.stringify(page.lastSeq) !== JSON.stringify(since);
      if (more) {
        ahead = this.page(page.lastSeq);
        ahead.catch(() => {});
      }
      since = page.lastSeq;
      yield page;
      if (!more) return;
    }
  }

  async page(since) {
    const feed = await this.get(`${dbPath(this.db)}/_changes?style=all_docs&limit=${PAGE}&since=${encodeURIComponent(typeof since === 'string' ? since : JSON.stringify(since))}`);
    const rows = (feed.results || []).filter((r) => !r.id.startsWith('_local/'));
    const docs = rows.length ? await this.leaves(rows) : [];
    if (this.db === '_replicator') for (const d of docs) stripReplicationFields(d);
    return { docs, lastSeq: feed.last_seq, count: (feed.results || []).length };
  }

  async leaves(rows) {
    if (!this.noBulkGet) {
      const req = { docs: [] };
      for (const r of rows) for (const c of r.changes) req.docs.push({ id: r.id, rev: c.rev });
      const res = await this.client.request('POST', `${dbPath(this.db)}/_bulk_get?revs=true&attachments=true`, req);
      if (res.status === 200 && res.json && Array.isArray(res.json.results)) {
        return this.collect(rows, res.json.results);
      }
      // Servers older than _bulk_get answer 400, 404 or 405: read each
      // document by itself from then on.
      if (![400, 404, 405].includes(res.status)) throw unreadable(this.db, reasonOf(res));
      this.noBulkGet = true;
    }
    const docs = [];
    for (const r of rows) docs.push(...await this.openRevs(r.id));
    return docs;
  }

  // Groups the answer by document; a leaf that vanished (the document was
  // written to meanwhile) has the document's current leaves read instead.
  async collect(rows, results) {
    const byId = new Map();
    for (const result of results) {
      let entry = byId.get(result.id);
      if (!entry) byId.set(result.id, (entry = { docs: [], stale: false }));
      for (const d of result.docs || []) {
        if (d.ok) entry.docs.push(d.ok);
        else entry.stale = true;
      }
    }
    const out = [];
    for (const r of rows) {
      const entry = byId.get(r.id);
      if (!entry || entry.stale) out.push(...await this.openRevs(r.id));
      else out.push(...entry.docs);
    }
    return out;
  }

  async openRevs(id) {
    const res = await this.client.request('GET', docPath(this.db, id) + '?open_revs=all&revs=true&attachments=true');
    // Gone altogether: only a purge does that, and then there is nothing to keep.
    if (res.status === 404) return [];
    if (res.status !== 200 || !Array.isArray(res.json)) throw unreadable(this.db, reasonOf(res));
    return res.json.filter((d) => d.ok).map((d) => d.ok);
  }
}

// The server's own record of a replication's state belongs to that server's
// run of it, not to the replication the administrator set up.
function stripReplicationFields(doc) {
  for (const key of Object.keys(doc)) if (REPLICATION_FIELD.test(key)) delete doc[key];
}

module.exports = { DatabaseReader, PAGE, unreadable };
