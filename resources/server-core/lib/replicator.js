'use strict';
// Persistent replications from the `_replicator` database, in place of the
// package's pouchdb-replicator daemon. Unlike that daemon this one
//  - treats a deleted document as the end of its replication, whatever the
//    deleted copy's `_replication_state` still says;
//  - never writes to a document that has been deleted meanwhile (the
//    package's write-back then fails with an unhandled 404 "deleted");
//  - does not run a completed one-shot replication again at start-up;
//  - keeps `_replication_state` and `_replication_stats` in the document,
//    and lists every running replication in `_active_tasks`;
//  - ends a replication whose database is missing or deleted in "error"
//    (`db_not_found`) and leaves it there, without making the database
//    again, until its document is written anew without the `_replication_*`
//    fields, which restarts it from its checkpoint whatever its state;
//  - reads each source database through one change feed shared by all the
//    replications from it (lib/feeds.js, lib/replication.js), so a write
//    costs the same however many changes a filter has refused before it.

const crypto = require('crypto');
const { getOrCreateDB } = require('express-pouchdb/lib/create-or-delete-dbs');
const { openExisting } = require('./dbgate');
const { FeedHub } = require('./feeds');
const { Replication } = require('./replication');

const STATS_INTERVAL_MS = 1000;
// A continuous replication's statistics change with every document: written
// that often, the writes to `_replicator` cost more than the copying (at a
// thousand users, every replication busy during a burst).
const CONTINUOUS_STATS_INTERVAL_MS = 60000;

// The fields that define what a replication does; a document change that
// leaves them alone (a state or stats write, a client re-saving the doc)
// does not restart it.
function signature(doc) {
  const keys = ['source', 'target', 'filter', 'query_params', 'doc_ids',
    'continuous', 'create_target'];
  const sig = {};
  for (const k of keys) if (doc[k] !== undefined) sig[k] = doc[k];
  return JSON.stringify(sig);
}

function replicationId(doc) {
  return crypto.createHash('md5').update(signature(doc)).digest('hex');
}

// An endpoint as the document gives it, without the credentials a URL may
// carry: `_active_tasks` is read by whoever watches the server.
function publicEndpoint(endpoint) {
  const name = endpointName(endpoint);
  if (!name || !/^https?:\/\//.test(name)) return name;
  try {
    const url = new URL(name);
    url.username = '';
    url.password = '';
    return url.toString();
  } catch (e) {
    return name.replace(/\/\/[^/@]*@/, '//');
  }
}

// A document written by a client, as opposed to the server's own state and
// statistics writes: the request to (re)start its replication.
function isFresh(doc) {
  return Object.keys(doc).every((k) => !k.startsWith('_replication_'));
}

// CouchDB's form of a reason: the error's name, then its words.
function reasonOf(err) {
  if (!err) return 'unknown error';
  const words = String(err.message || err.reason || '');
  const name = typeof err.name === 'string' && /^[a-z][a-z_]*$/.test(err.name) ? err.name : '';
  if (name && words) return `${name}: ${words}`;
  return words || name || String(err);
}

function endpointName(endpoint) {
  if (typeof endpoint === 'string') return endpoint;
  if (endpoint && typeof endpoint.url === 'string') return endpoint.url;
  return null;
}

class Replicator {
  // `isLegalName` judges the name of a target that is to be created.
  // `config` is the server's configuration, for the size limits of what
  // replications write.
  constructor(PouchDB, dbName, log, isLegalName = () => true, config = null) {
    this.PouchDB = PouchDB;
    this.config = config;
    this.hub = new FeedHub(log);
    this.isLegalName = isLegalName;
    this.dbName = dbName;
    this.log = log;
    this.active = new Map(); // doc id -> {sig, replication, timer, stats, task}
    this.failed = new Map(); // doc id -> signature that ended in error
    // doc id -> the run whose state the document shows; an older run's
    // late write must not overwrite a restarted one's.
    this.current = new Map();
    this.settling = new Map(); // doc id -> the cancelled run's last checkpoint
    this.pids = 0;
    this.stopped = false;
  }

  async start() {
    this.db = await getOrCreateDB(this.PouchDB, this.dbName);
    const all = await this.db.allDocs({ include_docs: true });
    for (const row of all.rows) this.onDoc(row.doc, true);
    this.feed = this.db.changes({ since: 'now', live: true, include_docs: true, returnDocs: false });
    this.feed.on('change', (change) => {
      const doc = change.doc || { _id: change.id, _deleted: !!change.deleted };
      if (change.deleted) doc._deleted = true;
      this.onDoc(doc, false);
    });
    this.feed.on('error', (err) => this.log(`replicator feed error: ${err && err.message}`));
  }

  stop() {
    this.stopped = true;
    if (this.feed) this.feed.cancel();
    for (const id of [...this.active.keys()]) this.cancel(id);
    this.hub.stop();
  }

  cancel(id) {
    const entry = this.active.get(id);
    if (!entry) return;
    this.active.delete(id);
    clearTimeout(entry.timer);
    entry.replication.cancel();
    if (entry.replication.checkpointing) {
      const settled = entry.replication.checkpointing.then(() => {
        if (this.settling.get(id) === settled) this.settling.delete(id);
      });
      this.settling.set(id, settled);
    }
  }

  onDoc(doc, atStartup) {
    if (this.stopped || doc._id.startsWith('_design/')) return;
    if (doc._deleted) {
      this.failed.delete(doc._id);
      this.current.delete(doc._id);
      if (this.active.has(doc._id)) this.log(`replication ${doc._id} stopped: document deleted`);
      return this.cancel(doc._id);
    }
    const sig = signature(doc);
    const running = this.active.get(doc._id);
    const fresh = isFresh(doc);
    if (running && running.sig === sig && !fresh) return;
    if (running) this.cancel(doc._id);
    if (!fresh) {
      if (doc._replication_state === 'completed' && !running) return;
      if (doc._replication_state === 'error' && !atStartup && this.failed.get(doc._id) === sig) return;
    }
    if (running && fresh) this.log(`replication ${doc._id} restarted: document written anew`);
    this.launch(doc, sig).catch((err) => this.log(`replication ${doc._id}: ${err.message}`));
  }

  // One entry per running replication, built from what each keeps anyway:
  // polled every few seconds with thousands of replications.
  activeTasks() {
    const tasks = [];
    for (const [id, entry] of this.active) {
      if (!entry.task) continue;
      const live = entry.replication instanceof Replication ? entry.replication.task() : remoteTask(entry);
      tasks.push({ ...entry.task, doc_id: id, ...live });
    }
    return tasks;
  }

  async openEndpoint(endpoint, create) {
    const name = endpointName(endpoint);
    if (!name) throw Object.assign(new Error('invalid endpoint'), { name: 'bad_request' });
    if (/^https?:\/\//.test(name)) return name;
    const db = await openExisting(this.PouchDB, name, { create, mayCreate: () => this.isLegalName(name) });
    if (db) return db;
    if (!create) throw Object.assign(new Error(`could not open ${name}`), { name: 'db_not_found' });
    throw Object.assign(new Error(`illegal database name ${name}`), { name: 'illegal_database_name' });
  }

  async launch(doc, sig) {
    const id = doc._id;
    const entry = { sig, replication: { cancel() {} }, timer: null, stats: {}, task: null };
    this.active.set(id, entry);
    this.current.set(id, entry);
    this.failed.delete(id);
    const repId = replicationId(doc);
    // What a cancelled run of it checkpointed is where this one starts.
    const settling = this.settling.get(id);
    if (settling) await settling;
    if (this.active.get(id) !== entry) return undefined;
    let source, target;
    try {
      source = await this.openEndpoint(doc.source, false);
      target = await this.openEndpoint(doc.target, !!doc.create_target);
    } catch (err) {
      if (this.active.get(id) !== entry) return undefined;
      return this.finish(id, sig, 'error', err, null, repId);
    }
    if (this.active.get(id) !== entry) return undefined;
    if (doc._replication_state !== 'triggered' || doc._replication_id !== repId ||
        doc._replication_state_reason !== undefined) {
      await this.update(id, sig, (d) => {
        d._replication_id = repId;
        d._replication_state = 'triggered';
        d._replication_state_time = new Date().toISOString();
        delete d._replication_state_reason;
      }, entry);
    }
    if (this.active.get(id) !== entry) return undefined;
    entry.task = {
      type: 'replication',
      pid: `<0.${++this.pids}.0>`,
      replication_id: repId + (doc.continuous ? '+continuous' : ''),
      source: publicEndpoint(doc.source),
      target: publicEndpoint(doc.target),
      continuous: !!doc.continuous,
    };
    entry.startedOn = Math.floor(Date.now() / 1000);
    this.log(`replication ${id} started: ${endpointName(doc.source)} -> ${endpointName(doc.target)}` +
      (doc.continuous ? ' (continuous)' : ''));
    // The first statistics after a quiet while go out within a second.
    let lastStats = 0;
    const onChange = (info) => {
      entry.stats = info;
      if (!entry.timer) {
        const interval = doc.continuous ? CONTINUOUS_STATS_INTERVAL_MS : STATS_INTERVAL_MS;
        const delay = Math.max(STATS_INTERVAL_MS, lastStats + interval - Date.now());
        entry.timer = setTimeout(() => {
          entry.timer = null;
          lastStats = Date.now();
          if (this.active.get(id) === entry) this.writeStats(id, sig, entry.stats, entry);
        }, delay);
      }
    };
    if (typeof source === 'string' || typeof target === 'string') {
      return this.launchRemote(id, sig, doc, entry, source, target, onChange);
    }
    const replication = new Replication({
      id, repId, doc, source, target, sourceName: endpointName(doc.source),
      targetName: endpointName(doc.target), config: this.config,
      log: this.log, onChange,
      onComplete: (info) => {
        if (this.active.get(id) === entry) this.finish(id, sig, 'completed', null, info);
      },
      onError: (err, info) => {
        if (this.active.get(id) === entry) this.finish(id, sig, 'error', err, info);
      },
    });
    entry.replication = replication;
    try {
      await replication.start(this.hub);
    } catch (err) {
      if (this.active.get(id) === entry) this.finish(id, sig, 'error', err, replication.statsNow());
    }
  }

  // A replication with an end outside this server goes through the package's
  // own replication, one change listener of its own.
  launchRemote(id, sig, doc, entry, source, target, onChange) {
    const opts = { live: !!doc.continuous, retry: !!doc.continuous };
    if (doc.filter) opts.filter = doc.filter;
    if (doc.query_params) opts.query_params = doc.query_params;
    if (Array.isArray(doc.doc_ids)) opts.doc_ids = doc.doc_ids;
    const replication = this.PouchDB.replicate(source, target, opts);
    entry.replication = replication;
    replication.on('change', (info) => {
      entry.updatedOn = Math.floor(Date.now() / 1000);
      onChange(info);
    });
    replication.on('complete', (info) => {
      if (this.active.get(id) !== entry) return; // cancelled by us
      if (doc.continuous) return;
      this.finish(id, sig, 'completed', null, info);
    });
    replication.on('error', (err) => {
      if (this.active.get(id) !== entry) return;
      this.finish(id, sig, 'error', err, entry.stats);
    });
  }

  finish(id, sig, state, err, info, repId) {
    const entry = this.active.get(id);
    if (!entry) return undefined;
    clearTimeout(entry.timer);
    this.active.delete(id);
    const reason = state === 'error' ? reasonOf(err) : null;
    if (state === 'error') {
      this.failed.set(id, sig);
      this.log(`replication ${id} failed: ${reason}`);
    } else {
      this.log(`replication ${id} completed`);
    }
    return this.update(id, sig, (d) => {
      if (repId) d._replication_id = repId;
      d._replication_state = state;
      d._replication_state_time = new Date().toISOString();
      if (reason) d._replication_state_reason = reason;
      else delete d._replication_state_reason;
      if (info) d._replication_stats = stats(info);
    }, entry).catch((e) => this.log(`replication ${id}: ${e.message}`));
  }

  writeStats(id, sig, info, entry) {
    return this.update(id, sig, (d) => {
      d._replication_stats = stats(info);
    }, entry).catch((e) => this.log(`replication ${id}: ${e.message}`));
  }

  // Read-modify-write of the replication document, retried on conflicts.
  // A document that is gone or now describes another replication is left
  // alone: writing to it would resurrect or corrupt a client's change. So
  // is one whose replication was started again since `entry` ran.
  async update(id, sig, mutate, entry) {
    for (let attempt = 0; attempt < 10 && !this.stopped; attempt++) {
      if (this.current.get(id) !== entry) return;
      let doc;
      try {
        doc = await this.db.get(id);
      } catch (err) {
        if (err.status === 404) return;
        throw err;
      }
      if (signature(doc) !== sig || this.current.get(id) !== entry) return;
      mutate(doc);
      try {
        await this.db.put(doc);
        return;
      } catch (err) {
        if (err.status !== 409) throw err;
      }
    }
  }
}

// A replication with a remote end knows only what its events told.
function remoteTask(entry) {
  const info = entry.stats || {};
  return {
    docs_read: info.docs_read || 0,
    docs_written: info.docs_written || 0,
    doc_write_failures: info.doc_write_failures || 0,
    missing_revisions_found: info.docs_read || 0,
    revisions_checked: info.docs_read || 0,
    changes_pending: 0,
    source_seq: info.last_seq || 0,
    checkpointed_source_seq: info.last_seq || 0,
    started_on: entry.startedOn,
    updated_on: entry.updatedOn || entry.startedOn,
  };
}

function stats(info) {
  info = info || {};
  return {
    docs_read: info.docs_read || 0,
    docs_written: info.docs_written || 0,
    doc_write_failures: info.doc_write_failures || 0,
    checkpointed_source_seq: info.last_seq !== undefined ? info.last_seq : 0,
    start_time: info.start_time,
    end_time: info.end_time,
  };
}

module.exports = { Replicator, signature, publicEndpoint, reasonOf };
