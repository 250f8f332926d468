'use strict';
// One change feed per source database, shared by every replication that
// reads from it. A change is read once and offered to each follower, which
// filters it and moves its own position past it whether it passed or not:
// the cost of a write grows with the number of replications, not with the
// length of the database's history behind each filter.
//
// A follower is an object with
//   pos                   the last sequence it has dealt with (a number)
//   offer(changes, to)    queues `changes` (each with seq, id, changes, doc,
//                         deleted) to be dealt with, then `pos` moves to `to`
//   process(changes, to)  deals with them now; resolves when done, never rejects
//   backlog()             the number of changes queued
//   lagging               set when the feed stopped offering it changes:
//                         it follows again (add) once its queue is done
//   sourceGone()          the source database was deleted
// Followers far behind the live ones (new replications, or ones restarted
// from an old checkpoint) catch up on reads of their own, so that a new
// replication does not hold back everybody else's next document.

const BATCH = 500;
// How often every feed compares its position with its database's newest
// sequence, for a write that reached the database some other way.
const SWEEP_MS = 1000;

// Every write to a database object ends in its adapter's `_bulkDocs`
// (put, post, remove and replicated writes alike); the feed of that
// database, if any, is kicked once the write is done.
const feedOf = new WeakMap(); // database object -> its open Feed
const WATCHED = Symbol('trevok.feedWatch');

function watchWrites(db) {
  if (db[WATCHED] || typeof db._bulkDocs !== 'function') return;
  const bulk = db._bulkDocs;
  db[WATCHED] = true;
  db._bulkDocs = function (req, opts, callback) {
    return bulk.call(this, req, opts, (err, res) => {
      try {
        callback(err, res);
      } finally {
        const feed = feedOf.get(db);
        if (feed) feed.kick();
      }
    });
  };
}

// The newest sequence of a local database, from what its adapter keeps in
// memory; null where it cannot say.
function newestSeq(db) {
  return new Promise((resolve) => {
    if (typeof db._info !== 'function') return resolve(null);
    try {
      db._info((err, info) => resolve(err || !info ? null : Number(info.update_seq)));
    } catch (e) {
      resolve(null);
    }
  });
}
const MAX_BACKLOG = 2 * BATCH;
const RETRY_MS = 1000;

function deepFreeze(value) {
  if (value && typeof value === 'object' && !Object.isFrozen(value)) {
    Object.freeze(value);
    for (const k of Object.keys(value)) deepFreeze(value[k]);
  }
  return value;
}

class Feed {
  constructor(hub, name, db) {
    this.hub = hub;
    this.name = name;
    this.db = db;
    this.seq = null; // everything up to here has been handed to the live followers
    this.live = new Set(); // followers served by the shared reads
    this.catching = new Set(); // followers reading on their own until level
    this.dirty = false;
    this.running = false;
    this.closed = false;
    this.reads = 0;
    this.head = 0; // the latest sequence seen or read
    // Told of each write by the database object itself (see watchWrites):
    // a live change listener would read every change once more just to
    // say that there is one.
    watchWrites(db);
    this.onDestroyed = () => this.gone();
    db.once('destroyed', this.onDestroyed);
    feedOf.set(db, this);
  }

  add(follower) {
    if (this.closed) return;
    if (this.seq === null) this.seq = follower.pos;
    if (follower.pos >= this.seq) {
      this.live.add(follower);
      this.kick();
    } else {
      this.catching.add(follower);
      this.catchUp(follower);
    }
  }

  remove(follower) {
    this.live.delete(follower);
    this.catching.delete(follower);
    if (this.live.size === 0 && this.catching.size === 0) this.close();
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    this.db.removeListener('destroyed', this.onDestroyed);
    if (feedOf.get(this.db) === this) feedOf.delete(this.db);
    if (this.hub.feeds.get(this.name) === this) this.hub.feeds.delete(this.name);
  }

  gone() {
    const all = [...this.live, ...this.catching];
    this.close();
    for (const f of all) f.sourceGone();
  }

  async read(since) {
    this.reads++;
    const res = await this.db.changes({
      since, limit: BATCH, include_docs: true, style: 'all_docs', return_docs: true,
    });
    // Every follower's filter sees the same objects: none may change them
    // for the others.
    for (const c of res.results) if (c.doc) deepFreeze(c.doc);
    const last = Number(res.last_seq);
    if (last > this.head) this.head = last;
    return res;
  }

  async catchUp(follower) {
    try {
      while (!this.closed && this.catching.has(follower) && follower.pos < this.seq) {
        const res = await this.read(follower.pos);
        if (!this.catching.has(follower)) return;
        await follower.process(res.results, Number(res.last_seq));
        if (res.results.length === 0) break;
      }
    } catch (err) {
      if (this.closed) return;
      this.hub.log(`reading the changes of ${this.name}: ${err && err.message}`);
      await new Promise((r) => setTimeout(r, RETRY_MS));
    }
    if (this.closed || !this.catching.has(follower)) return;
    this.catching.delete(follower);
    this.add(follower);
  }

  kick() {
    this.dirty = true;
    if (!this.running && !this.closed) this.run();
  }

  // Reads on while there is something new and hands each batch to every
  // live follower without waiting for it: a follower busy copying a long
  // stretch of its own documents does not hold back another's next one. One
  // that falls too far behind leaves the shared reads, and catches up on its
  // own once it has done what it holds.
  async run() {
    this.running = true;
    try {
      while (this.dirty && !this.closed && this.live.size) {
        this.dirty = false;
        for (;;) {
          const res = await this.read(this.seq);
          if (this.closed) return;
          const to = Number(res.last_seq);
          if (res.results.length) {
            for (const f of [...this.live]) {
              if (f.backlog() >= MAX_BACKLOG) {
                this.live.delete(f);
                f.lagging = true;
              } else {
                f.offer(res.results, to);
              }
            }
          }
          if (to > this.seq) this.seq = to;
          if (res.results.length < BATCH) break;
        }
      }
    } catch (err) {
      if (!this.closed) {
        this.hub.log(`reading the changes of ${this.name}: ${err && err.message}`);
        setTimeout(() => this.kick(), RETRY_MS);
      }
    } finally {
      this.running = false;
    }
    if (this.dirty && !this.closed) this.kick();
  }
}

class FeedHub {
  constructor(log) {
    this.log = log;
    this.feeds = new Map(); // database name -> Feed
    this.sweeper = setInterval(() => this.sweep(), SWEEP_MS);
    this.sweeper.unref();
  }

  // A write through another object of the same database is not seen by
  // watchWrites: such a change is picked up here, within a second.
  async sweep() {
    if (this.sweeping) return;
    this.sweeping = true;
    try {
      for (const feed of [...this.feeds.values()]) {
        if (feed.closed || feed.running || feed.seq === null) continue;
        const newest = await newestSeq(feed.db);
        if (newest === null) continue;
        if (newest > feed.head) feed.head = newest;
        if (newest > feed.seq) feed.kick();
      }
    } finally {
      this.sweeping = false;
    }
  }

  follow(name, db, follower) {
    let feed = this.feeds.get(name);
    if (feed && feed.db !== db) {
      // The database was deleted and made again: a new instance.
      feed.gone();
      feed = null;
    }
    if (!feed) {
      feed = new Feed(this, name, db);
      this.feeds.set(name, feed);
      this.log(`change feed of ${name} opened`);
    }
    feed.add(follower);
    return feed;
  }

  stop() {
    clearInterval(this.sweeper);
    for (const feed of [...this.feeds.values()]) feed.close();
  }
}

module.exports = { FeedHub, BATCH };
