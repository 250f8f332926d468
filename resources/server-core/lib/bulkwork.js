'use strict';
// Requests that name many documents at once, done in pieces. The server
// answers every account from one thread: the package handed a whole key
// list or batch to the adapter in one go, which then held that thread (and
// the memory of every intermediate result) until it was done, so one
// account's 40,000 keys kept every other account waiting for seconds. Here
// each request is bounded in size ([couchdb] max_bulk_docs_count for
// `_bulk_docs`, [couchdb] max_bulk_get_count for key lists, `_bulk_get` and
// `_revs_diff`) and worked through a piece at a time, with a turn of the
// event loop between pieces for everyone else.

const extend = require('extend');
const utils = require('express-pouchdb/lib/utils');
const { sendJSON } = require('./guards');
const input = require('./input');

// Small enough that a piece costs a few milliseconds of the thread.
const PIECE = 100;
const DEFAULT_MAX_BULK_DOCS = 10000;
const DEFAULT_MAX_BULK_GET = 10000;

function positive(value, fallback) {
  const n = Number(value);
  return Number.isFinite(n) && n > 0 ? Math.floor(n) : fallback;
}

function boundsFrom(config) {
  return {
    maxBulkDocs: positive(config.get('couchdb', 'max_bulk_docs_count'), DEFAULT_MAX_BULK_DOCS),
    maxBulkGet: positive(config.get('couchdb', 'max_bulk_get_count'), DEFAULT_MAX_BULK_GET),
  };
}

function tooMany(res, what, max) {
  sendJSON(res, 400, { error: 'bad_request', reason: `Too many ${what} in one request: at most ${max} are accepted.` });
}

const nextTurn = () => new Promise((resolve) => setImmediate(resolve));

function fail(res, err) {
  if (res.headersSent) return; // answered by the request time limit
  sendJSON(res, err.status || 500, { error: err.name || 'unknown_error', reason: err.message || String(err) });
}

function answer(res, status, body) {
  if (!res.headersSent) sendJSON(res, status, body);
}

function resultOf(info) {
  return info && info.error ? { id: info.id, error: info.name, reason: info.message } : info;
}

// The adapter's answers (one per document, or with new_edits=false one per
// failed document) in the order of `docs`: the validation step lets them
// come back in the order they were judged. No id appears twice in a piece;
// documents without an id take the answers naming no id of the piece, in
// order.
function inOrderOf(docs, results) {
  const byId = new Map();
  const rest = [];
  const named = new Set(docs.map((d) => d._id).filter((id) => typeof id === 'string'));
  for (const info of results) {
    if (info && named.has(info.id) && !byId.has(info.id)) byId.set(info.id, info);
    else rest.push(info);
  }
  const ordered = [];
  for (const doc of docs) {
    if (typeof doc._id === 'string') {
      if (byId.has(doc._id)) ordered.push(byId.get(doc._id));
    } else if (rest.length) {
      ordered.push(rest.shift());
    }
  }
  return ordered.concat(rest);
}

// `_bulk_docs`: pieces of at most PIECE documents in which no id appears
// twice (the adapter matched the answers of a repeated id to the wrong
// places), answered in request order. What this server cannot store (see
// input.documentRefusal) is refused for that document alone, as CouchDB
// refuses per document, so that one odd revision does not fail a whole
// replication batch on every retry.
function bulkDocs(config) {
  return async (req, res) => {
    const body = req.body;
    const { maxBulkDocs } = boundsFrom(config);
    if (body.docs.length > maxBulkDocs) return tooMany(res, 'documents', maxBulkDocs);
    const newEdits = body.new_edits !== false;
    const out = [];
    let piece = [];
    let ids = new Set();
    let pieces = 0;
    const flush = async () => {
      if (!piece.length) return;
      const docs = piece;
      piece = [];
      ids = new Set();
      if (pieces++) await nextTurn();
      const opts = utils.makeOpts(req, newEdits ? {} : { new_edits: false });
      try {
        const results = await req.db.bulkDocs({ docs }, opts);
        for (const info of inOrderOf(docs, results)) out.push(resultOf(info));
      } catch (err) {
        // One piece failing leaves the others written; its documents say why.
        for (const doc of docs) out.push({ id: doc._id, error: err.name || 'unknown_error', reason: err.message || String(err) });
      }
    };
    try {
      for (const doc of body.docs) {
        const refusal = input.documentRefusal(doc, newEdits);
        if (refusal) {
          await flush();
          out.push({ id: doc._id, error: refusal.error, reason: refusal.reason });
          continue;
        }
        if (piece.length >= PIECE || (typeof doc._id === 'string' && ids.has(doc._id))) await flush();
        piece.push(doc);
        if (typeof doc._id === 'string') ids.add(doc._id);
      }
      await flush();
    } catch (err) {
      return fail(res, err);
    }
    answer(res, 201, out);
  };
}

// The rows of `ask` for each piece of `keys` in turn, and its last answer.
async function inPieces(keys, ask) {
  const rows = [];
  let last = null;
  for (let i = 0; i < keys.length; i += PIECE) {
    if (i) await nextTurn();
    last = await ask(keys.slice(i, i + PIECE));
    rows.push(...last.rows);
  }
  return { rows, last };
}

// `_all_docs` with `keys`: the adapter looks up every key at once.
function allDocs(config) {
  return (req, res, next) => {
    if (['GET', 'HEAD', 'POST'].indexOf(req.method) === -1) return next();
    if (req.body && (typeof req.body !== 'object' || Array.isArray(req.body))) {
      return sendJSON(res, 400, { error: 'bad_request', reason: 'Request body must be a JSON object' });
    }
    const opts = utils.makeOpts(req, extend({}, req.body, req.query));
    const conflicting = ['startkey', 'endkey', 'key'].some((k) => k in opts);
    if (!Array.isArray(opts.keys) || opts.keys.length <= PIECE || conflicting) {
      if (Array.isArray(opts.keys) && opts.keys.length > boundsFrom(config).maxBulkGet) {
        return tooMany(res, 'keys', boundsFrom(config).maxBulkGet);
      }
      return req.db.allDocs(opts, utils.sendCallback(res, 400));
    }
    const { maxBulkGet } = boundsFrom(config);
    if (opts.keys.length > maxBulkGet) return tooMany(res, 'keys', maxBulkGet);
    // skip, limit and descending as the package applies them to a key list.
    const skip = Number(opts.skip) || 0;
    let keys = 'limit' in opts ? opts.keys.slice(skip, Number(opts.limit) + skip) : opts.keys.slice(skip);
    if (opts.descending) keys = keys.reverse();
    const base = extend({}, opts);
    for (const k of ['keys', 'skip', 'limit', 'descending']) delete base[k];
    (async () => {
      const { rows, last } = await inPieces(keys, (piece) => req.db.allDocs(extend({}, base, { keys: piece })));
      const result = { total_rows: last ? last.total_rows : 0, offset: 0, rows };
      if (last && last.update_seq !== undefined) result.update_seq = last.update_seq;
      answer(res, 200, result);
    })().catch((err) => fail(res, err));
  };
}

function bulkGet(config) {
  return (req, res) => {
    const body = req.body;
    if (!body || typeof body !== 'object' || Array.isArray(body)) {
      return sendJSON(res, 400, { error: 'bad_request', reason: 'Request body must be a JSON object' });
    }
    if (!Array.isArray(body.docs)) return sendJSON(res, 400, { error: 'bad_request', reason: "Missing JSON list of 'docs'" });
    const { maxBulkGet } = boundsFrom(config);
    if (body.docs.length > maxBulkGet) return tooMany(res, 'documents', maxBulkGet);
    const opts = extend({}, body, req.query);
    (async () => {
      const results = [];
      for (let i = 0; i < body.docs.length || i === 0; i += PIECE) {
        if (i) await nextTurn();
        const got = await req.db.bulkGet(extend({}, opts, { docs: body.docs.slice(i, i + PIECE) }));
        results.push(...got.results);
      }
      answer(res, 200, {
        results: results.map((r) => ({
          id: r.id,
          docs: r.docs.map((info) => (info.error ? { error: info.name, reason: info.message } : info)),
        })),
      });
    })().catch((err) => fail(res, err));
  };
}

// `_revs_diff`: {id: [revs]}, bounded by the number of revisions named.
function revsDiff(config) {
  return (req, res) => {
    const body = req.body || {};
    if (typeof body !== 'object' || Array.isArray(body)) {
      return sendJSON(res, 400, { error: 'bad_request', reason: 'Request body must be a JSON object' });
    }
    const ids = Object.keys(body);
    let count = 0;
    for (const id of ids) count += Array.isArray(body[id]) ? body[id].length : 1;
    const { maxBulkGet } = boundsFrom(config);
    if (count > maxBulkGet) return tooMany(res, 'revisions', maxBulkGet);
    (async () => {
      const diff = {};
      let taken = 0;
      let piece = {};
      const flush = async () => {
        if (!Object.keys(piece).length) return;
        if (taken) await nextTurn();
        taken++;
        Object.assign(diff, await req.db.revsDiff(piece, utils.makeOpts(req)));
        piece = {};
      };
      let inPiece = 0;
      for (const id of ids) {
        piece[id] = body[id];
        inPiece += Array.isArray(body[id]) ? body[id].length : 1;
        if (inPiece >= PIECE) {
          await flush();
          inPiece = 0;
        }
      }
      await flush();
      answer(res, 200, diff);
    })().catch((err) => fail(res, err));
  };
}

// The document a view row stands for: an emitted `{_id}` links another.
function rowDocId(row) {
  return (row.value && typeof row.value === 'object' && typeof row.value._id === 'string') ? row.value._id : row.id;
}

async function attachDocuments(db, rows, opts) {
  const ids = [...new Set(rows.map(rowDocId))];
  const docs = new Map();
  for (let i = 0; i < ids.length; i += PIECE) {
    await nextTurn();
    const got = await db.allDocs({ keys: ids.slice(i, i + PIECE), include_docs: true,
      conflicts: opts.conflicts, attachments: opts.attachments, binary: opts.binary });
    for (const row of got.rows) if (row.doc) docs.set(row.id, row.doc);
  }
  for (const row of rows) {
    const doc = docs.get(rowDocId(row));
    if (doc) row.doc = doc;
  }
}

// A view query's `keys`, and its `include_docs`: the engine looks up every
// key at once, and then fetches the document of every row at once, both in
// one turn of the thread however many there are. Keys are looked up, and
// documents fetched, a piece at a time; rows come out as the engine gives
// them (in the order of the keys, skip and limit over the whole list).
function viewQuery() {
  return (req, res, next) => {
    if (['GET', 'HEAD', 'POST'].indexOf(req.method) === -1) return next();
    if (req.body && (typeof req.body !== 'object' || Array.isArray(req.body))) {
      return sendJSON(res, 400, { error: 'bad_request', reason: 'Request body must be a JSON object' });
    }
    const name = `${req.params.id}/${req.params.view}`;
    const opts = utils.makeOpts(req, extend({}, req.body, req.query));
    const manyKeys = Array.isArray(opts.keys) && opts.keys.length > PIECE;
    const withDocs = opts.include_docs === true || opts.include_docs === 'true';
    if (!manyKeys && !withDocs) return req.db.query(name, opts, utils.sendCallback(res));
    const base = extend({}, opts);
    delete base.include_docs;
    (async () => {
      let result;
      if (manyKeys) {
        for (const k of ['keys', 'skip', 'limit']) delete base[k];
        const { rows, last } = await inPieces(opts.keys, (piece) => req.db.query(name, extend({}, base, { keys: piece })));
        const skip = Number(opts.skip) || 0;
        const end = 'limit' in opts ? skip + Number(opts.limit) : undefined;
        result = extend({}, last, { rows: rows.slice(skip, end) });
        if ('offset' in last) result.offset = skip;
      } else {
        result = await req.db.query(name, base);
      }
      if (withDocs) {
        // Reduced rows stand for no document: the engine's own refusal of
        // include_docs for them is the answer.
        if (result.rows.some((row) => !('id' in row))) return req.db.query(name, opts, utils.sendCallback(res));
        await attachDocuments(req.db, result.rows, opts);
      }
      answer(res, 200, result);
    })().catch((err) => fail(res, err));
  };
}

// The package's route that `routePath`/`method` names keeps its body
// parser; its handler is swapped for `handler`.
function replaceRoute(app, routePath, method, handler) {
  const layer = app._router.stack.find((l) => {
    if (!l.route || l.route.path !== routePath) return false;
    const methods = Object.keys(l.route.methods);
    return method === '*' ? methods.length > 1 : methods.join() === method;
  });
  if (!layer) throw new Error('express-pouchdb layout not recognised');
  const stack = layer.route.stack;
  const original = stack[stack.length - 1].handle;
  for (const l of stack) if (l.handle === original) l.handle = handler;
}

function install(app, config) {
  replaceRoute(app, '/:db/_bulk_docs', 'post', bulkDocs(config));
  replaceRoute(app, '/:db/_all_docs', '*', allDocs(config));
  replaceRoute(app, '/:db/_bulk_get', 'post', bulkGet(config));
  replaceRoute(app, '/:db/_revs_diff', 'post', revsDiff(config));
  replaceRoute(app, '/:db/_design/:id/_view/:view', '*', viewQuery());
}

module.exports = { install, boundsFrom, PIECE };
