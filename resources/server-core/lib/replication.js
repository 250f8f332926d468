'use strict';
// One replication between two databases of this server, fed by the shared
// change feed of its source (lib/feeds.js). It filters each change it is
// offered, copies every missing leaf revision of the ones that pass (with
// their history, as new_edits:false writes, so deletions and conflicts
// arrive as they are), and moves its position past every change it was
// offered, passed or not. Its position is kept as a checkpoint in both
// databases; a checkpoint counts only where both agree, so a database
// deleted and made again is read or written from the start.


// `[replicator] checkpoint_interval` (milliseconds), as CouchDB names it.
const DEFAULT_CHECKPOINT_MS = 30000;
const COPY_CHUNK = 50;
const FILTER_TIMEOUT_MS = 1000;

const sandbox = require('./sandbox');
const limits = require('./limits');
const { filterFor } = require('./knownfilters');

// A filter function's source text as a callable (doc, req) -> truthy, run in
// the server's sandbox like every other design-document function.
function compileFilter(source) {
  return sandbox.compile(source, { kind: 'filter', timeoutMs: FILTER_TIMEOUT_MS });
}

class Slots {
  constructor(n) {
    this.free = n;
    this.waiting = [];
  }

  acquire() {
    if (this.free > 0) {
      this.free--;
      return Promise.resolve();
    }
    return new Promise((resolve) => this.waiting.push(resolve));
  }

  release() {
    const next = this.waiting.shift();
    if (next) next();
    else this.free++;
  }
}
const bulkSlots = new Slots(2);

function unixNow() {
  return Math.floor(Date.now() / 1000);
}

function checkpointId(repId) {
  return `_local/trevok-replication-${repId}`;
}

class ReplicationError extends Error {
  constructor(name, message) {
    super(message);
    this.name = name;
  }
}

// One 'destroyed' listener per database, however many replications read
// or write it (a thousand write into the master database).
const watchers = new WeakMap(); // database -> Set of callbacks
function watchDestroyed(db, fn) {
  let set = watchers.get(db);
  if (!set) {
    set = new Set();
    watchers.set(db, set);
    db.once('destroyed', () => {
      watchers.delete(db);
      for (const f of [...set]) f();
    });
  }
  set.add(fn);
  return () => set.delete(fn);
}

function notFound(name) {
  return new ReplicationError('db_not_found', `could not open ${name}`);
}

class Replication {
  // options: { id, repId, doc, source, target, sourceName, targetName,
  //            config, log, onChange(stats), onComplete(stats),
  //            onError(err, stats) }
  constructor(options) {
    Object.assign(this, options);
    this.pos = 0;
    // The source's latest sequence as far as known, for the changes still
    // to be looked at.
    this.head = 0;
    this.startedOn = unixNow();
    this.updatedOn = this.startedOn;
    this.missingFound = 0;
    this.revisionsChecked = 0;
    this.endSeq = null; // one-shot: the source's sequence when it started
    this.continuous = !!options.doc.continuous;
    this.stats = {
      docs_read: 0, docs_written: 0, doc_write_failures: 0,
      last_seq: 0, start_time: new Date().toISOString(),
    };
    this.filterCalls = 0;
    this.rejected = 0;
    this.cancelled = false;
    this.feed = null;
    this.dirtySince = null;
    this.checkpointTimer = null;
    this.checkpointing = Promise.resolve();
    this.savedPos = 0;
    this.filterFailureLogged = 0;
    this.queue = [];
    this.queued = 0;
    this.draining = false;
    this.lagging = false;
    this.unwatch = [];
  }

  async start(hub) {
    const doc = this.doc;
    if (this.source._destroyed) throw notFound(this.sourceName);
    if (this.target._destroyed) throw notFound(this.targetName);
    // A database deleted under a running replication ends it; it is never
    // made again behind the administrator's back.
    this.unwatch.push(watchDestroyed(this.source, () => this.sourceGone()));
    this.unwatch.push(watchDestroyed(this.target, () => this.fail(notFound(this.targetName))));
    if (Array.isArray(doc.doc_ids)) {
      const ids = new Set(doc.doc_ids);
      this.passes = (d) => ids.has(d._id);
    } else if (doc.filter) {
      this.filterName = doc.filter;
      const m = /^([^/]+)\/(.+)$/.exec(String(doc.filter));
      if (!m) throw new ReplicationError('bad_request', `invalid filter ${doc.filter}`);
      this.ddocId = `_design/${m[1]}`;
      this.filterKey = m[2];
      let ddoc;
      try {
        ddoc = await this.source.get(this.ddocId);
      } catch (err) {
        throw new ReplicationError('not_found', `missing filter design document ${this.ddocId}`);
      }
      this.useDesignDoc(ddoc);
      if (!this.filterFn) throw new ReplicationError('not_found', `missing filter ${doc.filter}`);
      const req = { query: doc.query_params || {} };
      this.passes = (d) => {
        this.filterCalls++;
        return !!this.filterFn(d, req);
      };
    } else {
      this.passes = () => true;
    }
    this.pos = await this.readCheckpoint();
    this.savedPos = this.pos;
    if (this.pos > 0) this.log(`replication ${this.id} resumes after sequence ${this.pos}`);
    this.stats.last_seq = this.pos;
    // The newest change, read directly: the database's info would also
    // measure its folder on disk.
    this.head = Number((await this.source.changes({ descending: true, limit: 1 })).last_seq) || 0;
    if (!this.continuous) {
      this.endSeq = this.head;
      if (this.pos >= this.endSeq) return this.complete();
    }
    if (this.cancelled) return undefined;
    this.feed = hub.follow(this.sourceName, this.source, this);
    return undefined;
  }

  // A new version of the filter's design document replaces the filter from
  // the next change on; one without the filter keeps the last one.
  useDesignDoc(ddoc) {
    const source = ddoc && !ddoc._deleted && ddoc.filters && ddoc.filters[this.filterKey];
    if (typeof source !== 'string' || source === this.filterSource) return;
    try {
      const made = filterFor(source, compileFilter);
      this.filterFn = made.fn;
      this.knownFilter = made.known;
      this.filterSource = source;
    } catch (err) {
      this.log(`replication ${this.id}: filter ${this.filterName} does not compile: ${err.message}`);
      if (!this.filterFn) this.filterFn = () => false;
    }
  }

  cancel() {
    this.cancelled = true;
    for (const unwatch of this.unwatch.splice(0)) unwatch();
    if (this.feed) this.feed.remove(this);
    this.feed = null;
    clearTimeout(this.checkpointTimer);
    // What was dealt with stays dealt with.
    if (this.pos !== this.savedPos) this.writeCheckpoint();
  }

  sourceGone() {
    this.feed = null;
    if (this.cancelled) return;
    this.fail(notFound(this.sourceName));
  }

  fail(err) {
    if (this.cancelled) return;
    this.cancel();
    this.onError(err, this.statsNow());
  }

  complete() {
    if (this.cancelled) return;
    this.cancel();
    this.stats.end_time = new Date().toISOString();
    this.onComplete(this.statsNow());
  }

  statsNow() {
    return { ...this.stats, last_seq: this.savedPos };
  }

  touch() {
    this.updatedOn = unixNow();
  }

  // The source changes not looked at yet: queued ones count, they are
  // still to be filtered.
  changesPending() {
    const head = Math.max(this.head, this.feed ? this.feed.head : 0);
    return Math.max(0, head - this.pos);
  }

  // Its line in `_active_tasks`, as CouchDB 1.6 writes it.
  task() {
    return {
      docs_read: this.stats.docs_read,
      docs_written: this.stats.docs_written,
      doc_write_failures: this.stats.doc_write_failures,
      missing_revisions_found: this.missingFound,
      revisions_checked: this.revisionsChecked,
      changes_pending: this.changesPending(),
      source_seq: this.pos,
      checkpointed_source_seq: this.savedPos,
      started_on: this.startedOn,
      updated_on: this.updatedOn,
    };
  }

  passesSafely(doc) {
    try {
      return this.passes(doc);
    } catch (err) {
      // A filter that throws refuses that document, and the replication goes on.
      this.stats.doc_write_failures++;
      const now = Date.now();
      if (now - this.filterFailureLogged > 60000) {
        this.filterFailureLogged = now;
        this.log(`replication ${this.id}: filter ${this.filterName} failed on ${doc._id}: ${err && err.message}`);
      }
      return false;
    }
  }

  offer(changes, to) {
    this.queue.push({ changes, to });
    this.queued += changes.length;
    if (!this.draining) this.drain();
  }

  backlog() {
    return this.queued;
  }

  // What was queued while a batch was being copied goes in one batch.
  async drain() {
    this.draining = true;
    while (this.queue.length && !this.cancelled) {
      const batches = this.queue.splice(0);
      this.queued = 0;
      const changes = batches.length === 1 ? batches[0].changes : [].concat(...batches.map((b) => b.changes));
      await this.process(changes, batches[batches.length - 1].to);
    }
    this.draining = false;
    if (this.lagging && !this.cancelled && this.feed) {
      this.lagging = false;
      this.feed.add(this);
    }
  }

  async process(changes, to) {
    if (this.cancelled) return;
    const failuresBefore = this.stats.doc_write_failures;
    try {
      const mine = [];
      for (const c of changes) {
        if (c.seq <= this.pos) continue;
        if (this.ddocId && c.id === this.ddocId) this.useDesignDoc(c.doc);
        if (this.filterFn && Array.isArray(c.changes) && c.changes.length > 1) {
          const passing = await this.passingLeaves(c);
          if (passing.length) mine.push({ ...c, changes: passing });
          else this.rejected++;
          continue;
        }
        const doc = c.doc || { _id: c.id, _deleted: !!c.deleted };
        if (this.passesSafely(doc)) mine.push(c);
        else this.rejected++;
      }
      // In small steps, so that another replication's next document does
      // not wait behind a long stretch of this one's in the storage's queue.
      // Long stretches take turns for a few slots, so that a replication's
      // single next document finds short queues.
      const bulk = mine.length > COPY_CHUNK;
      for (let i = 0; i < mine.length && !this.cancelled; i += COPY_CHUNK) {
        if (bulk) await bulkSlots.acquire();
        try {
          await this.copy(mine.slice(i, i + COPY_CHUNK));
        } finally {
          if (bulk) bulkSlots.release();
        }
      }
      if (this.cancelled) return;
      if (to > this.pos) {
        this.pos = to;
        this.touch();
      }
      if (to > this.head) this.head = to;
      this.stats.last_seq = this.pos;
      if (mine.length || this.stats.doc_write_failures !== failuresBefore) this.onChange(this.statsNow());
      this.scheduleCheckpoint();
      if (this.endSeq !== null && this.pos >= this.endSeq) {
        await this.writeCheckpoint();
        this.complete();
      }
    } catch (err) {
      // A database deleted in the middle of a batch fails it with the
      // storage's own words; the administrator is told which one is gone.
      if (this.target._destroyed) this.fail(notFound(this.targetName));
      else if (this.source._destroyed) this.fail(notFound(this.sourceName));
      else this.fail(err);
    }
  }

  // A document in conflict: each leaf revision is judged on its own, as
  // CouchDB does, so that a branch another writer made to win (a document
  // of the same id with a higher revision) neither carries the others
  // where they do not belong nor stops them where they do.
  async passingLeaves(change) {
    const revs = change.changes.map((x) => x.rev);
    let leaves;
    try {
      leaves = await this.source.get(change.id, { open_revs: revs, revs: false });
    } catch (err) {
      return [];
    }
    const passing = [];
    for (const leaf of leaves) {
      if (leaf.ok && this.passesSafely(leaf.ok)) passing.push({ rev: leaf.ok._rev });
    }
    return passing;
  }

  async copy(changes) {
    const wanted = {};
    for (const c of changes) {
      wanted[c.id] = c.changes.map((x) => x.rev);
      this.revisionsChecked += wanted[c.id].length;
    }
    const diff = await this.target.revsDiff(wanted);
    const requests = [];
    for (const id of Object.keys(diff)) {
      for (const rev of diff[id].missing || []) requests.push({ id, rev });
    }
    this.missingFound += requests.length;
    this.touch();
    if (!requests.length) return;
    const got = await this.source.bulkGet({ docs: requests, revs: true, latest: true, attachments: true });
    const docs = [];
    for (const result of got.results) {
      for (const d of result.docs) {
        if (!d.ok) continue;
        this.stats.docs_read++;
        const refusal = limits.checkDocument(d.ok, this.config);
        if (refusal) {
          this.stats.doc_write_failures++;
          this.log(`replication ${this.id}: ${d.ok._id} not written: ${refusal.reason || refusal.error}`);
          continue;
        }
        docs.push(d.ok);
      }
    }
    if (!docs.length || this.cancelled) return;
    const res = await this.target.bulkDocs({ docs, new_edits: false });
    const failures = (Array.isArray(res) ? res : []).filter((r) => r && r.error).length;
    this.stats.doc_write_failures += failures;
    this.stats.docs_written += docs.length - failures;
  }

  scheduleCheckpoint() {
    if (this.checkpointTimer || this.pos === this.savedPos || this.cancelled) return;
    this.checkpointTimer = setTimeout(() => {
      this.checkpointTimer = null;
      this.writeCheckpoint();
    }, this.checkpointInterval());
  }

  // A restart reads again at most this long a stretch; each checkpoint is
  // two writes, for every replication that moved, refused changes included.
  checkpointInterval() {
    const v = Number(this.config && typeof this.config.get === 'function'
      ? this.config.get('replicator', 'checkpoint_interval') : NaN);
    return Number.isFinite(v) && v > 0 ? v : DEFAULT_CHECKPOINT_MS;
  }

  async readCheckpoint() {
    const id = checkpointId(this.repId);
    const read = (db) => db.get(id).then((d) => Number(d.last_seq) || 0, () => 0);
    const [a, b] = await Promise.all([read(this.source), read(this.target)]);
    return Math.min(a, b);
  }

  // Checkpoints are written one after the other, each with the position of
  // its moment; a failed one is only logged (the next one will do).
  writeCheckpoint() {
    this.checkpointing = this.checkpointing.then(async () => {
      const pos = this.pos;
      if (pos === this.savedPos) return;
      const id = checkpointId(this.repId);
      const put = async (db) => {
        let doc;
        try {
          doc = await db.get(id);
        } catch (e) {
          doc = { _id: id };
        }
        doc.last_seq = pos;
        doc.replication = this.id;
        await db.put(doc);
      };
      await put(this.target);
      await put(this.source);
      this.savedPos = pos;
      this.touch();
    }).catch((err) => {
      if (!/destroyed|deleted|not_open|closed/i.test(String(err && (err.message || err.name)))) {
        this.log(`replication ${this.id}: checkpoint not written: ${err && err.message}`);
      }
    });
    return this.checkpointing;
  }
}

module.exports = { Replication, ReplicationError, compileFilter, checkpointId };
