'use strict';
// Opening an existing database and deleting one, kept apart per name.
//
// The package opens a request's database in two steps: it asks whether the
// name exists, then opens it, creating it if it is not there. A deletion
// that lands between the two made the database anew, empty, under its old
// name: a sync client still writing while the console deleted its user, or
// a replication starting as its database went, brought the database back
// for good. And a write under way when its database was destroyed never
// answered. Here a deletion waits for the opens and the requests already
// under way (for a while, not for ever) and holds off new ones until it is
// done; opens and requests of one name still run side by side.

const { getOrCreateDB, deleteDB } = require('express-pouchdb/lib/create-or-delete-dbs');

// A request a deletion waits for is given this long to end.
const DRAIN_MS = 10000;

const gates = new Map(); // name -> { busy, drained, deleting }

function gateOf(name) {
  let gate = gates.get(name);
  if (!gate) {
    gate = { busy: 0, drained: null, deleting: null };
    gates.set(name, gate);
  }
  return gate;
}

function release(name, gate) {
  gate.busy -= 1;
  if (gate.busy > 0) return;
  if (gate.drained) gate.drained();
  else if (!gate.deleting && gates.get(name) === gate) gates.delete(name);
}

// The name's gate once no deletion of it is under way, with `take` run on
// it at that very moment: nothing else may slip in between.
async function enter(name, take = (gate) => { gate.busy += 1; }) {
  for (;;) {
    const gate = gateOf(name);
    if (!gate.deleting) {
      take(gate);
      return gate;
    }
    await gate.deleting.catch(() => {});
  }
}

async function openHeld(PouchDB, name, create, mayCreate) {
  const gate = await enter(name);
  try {
    const dbs = await PouchDB.allDbs();
    if (dbs.indexOf(name) === -1 && !(create && mayCreate())) {
      release(name, gate);
      return null;
    }
    return { db: await getOrCreateDB(PouchDB, name), done: () => release(name, gate) };
  } catch (err) {
    release(name, gate);
    throw err;
  }
}

// The database named, or null if there is none; with `create`, made when
// missing. A deletion of that name under way is waited for first.
async function openExisting(PouchDB, name, { create = false, mayCreate = () => true } = {}) {
  const held = await openHeld(PouchDB, name, create, mayCreate);
  if (!held) return null;
  held.done();
  return held.db;
}

// As openExisting(), for a request: a deletion waits for its answer. A feed
// that stays open is not waited for; it ends with its database.
async function openForRequest(PouchDB, name, req, res) {
  const held = await openHeld(PouchDB, name, false, () => false);
  if (!held) return null;
  const feed = /\/_changes$/.test(req.path) &&
    ['continuous', 'longpoll', 'eventsource'].includes(String(req.query && req.query.feed));
  // A caller already gone closed his response before it was opened for.
  if (feed || res.writableEnded || res.closed || res.destroyed) held.done();
  else res.once('close', held.done);
  return held.db;
}

// True once the database is gone, false if there was none to delete.
async function deleteExisting(PouchDB, name, opts) {
  const work = async (gate) => {
    if (gate.busy > 0) {
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, DRAIN_MS);
        gate.drained = () => { clearTimeout(timer); resolve(); };
      });
    }
    gate.drained = null;
    const dbs = await PouchDB.allDbs();
    if (dbs.indexOf(name) === -1) return false;
    await deleteDB(PouchDB, name, opts);
    return true;
  };
  const gate = await enter(name, (g) => { g.deleting = work(g); });
  try {
    return await gate.deleting;
  } finally {
    gate.deleting = null;
    if (gate.busy <= 0 && gates.get(name) === gate) gates.delete(name);
  }
}

module.exports = { openExisting, openForRequest, deleteExisting };
