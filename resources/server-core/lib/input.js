'use strict';
// Request bodies as CouchDB takes them: read up to the size limits and no
// further, parsed, and every document checked before PouchDB sees it. A
// body PouchDB cannot digest (an attachment whose `data` is not base64 text,
// a malformed `_rev`, thousands of nested arrays) used to fail inside the
// adapter's write queue and leave the database, or `_users` and with it
// every login, waiting for ever; here it is a 400 with CouchDB's words.

const getRawBody = require('raw-body');
const typeis = require('type-is');
const epUtils = require('express-pouchdb/lib/utils');
const wrappers = require('pouchdb-wrappers');
const createBulkDocsWrapper = require('pouchdb-bulkdocs-wrapper');
const PouchPluginError = require('pouchdb-plugin-error');
const limits = require('./limits');
const { sendJSON } = require('./guards');

const MAX_DEPTH = 500;
// A revision as CouchDB reads it: a number, a dash, and whatever follows.
const REV_RE = /^\d+-/;
const BASE64_RE = /^[A-Za-z0-9+/\s]*={0,2}\s*$/;

function badRequest(reason) {
  return { status: 400, error: 'bad_request', reason };
}

// Depth of nested objects and arrays, measured without recursion.
function tooDeep(value) {
  const stack = [[value, 1]];
  while (stack.length) {
    const [v, depth] = stack.pop();
    if (v === null || typeof v !== 'object') continue;
    if (depth > MAX_DEPTH) return true;
    for (const k in v) {
      const child = v[k];
      if (child !== null && typeof child === 'object') stack.push([child, depth + 1]);
    }
  }
  return false;
}

function checkAttachments(atts) {
  if (atts === undefined) return null;
  if (atts === null || typeof atts !== 'object' || Array.isArray(atts)) {
    return badRequest('_attachments must be a JSON object');
  }
  for (const name of Object.keys(atts)) {
    const att = atts[name];
    if (att === null || typeof att !== 'object' || Array.isArray(att)) {
      return badRequest(`Invalid attachment stub in ${name}`);
    }
    if (att.content_type !== undefined && typeof att.content_type !== 'string') {
      return badRequest(`Invalid content_type of attachment ${name}`);
    }
    if (att.stub === true || att.follows === true) continue;
    if (Buffer.isBuffer(att.data)) continue; // read from a multipart body
    if (typeof att.data !== 'string' || !BASE64_RE.test(att.data)) {
      return badRequest(`Invalid attachment data for ${name}`);
    }
  }
  return null;
}

function checkRevisions(revs) {
  if (revs === undefined) return null;
  if (!revs || typeof revs !== 'object' || !Number.isInteger(revs.start) || revs.start < 0 ||
    !Array.isArray(revs.ids) || !revs.ids.every((id) => typeof id === 'string')) {
    return badRequest('_revisions must be an object with a numeric start and a list of ids');
  }
  return null;
}

function conflict() {
  return { status: 409, error: 'conflict', reason: 'Document update conflict.' };
}

// What CouchDB would take but this server cannot store, refused for the
// one document. Revision numbers are JavaScript numbers here: one beyond
// 2^53 was stored rounded, under a revision that no read could name again,
// and the database's feed failed on it from then on. A revision without an
// id after its dash ("1-") is stored when a replication brings it, as
// CouchDB stores it; as the parent of a new edit it names nothing held here,
// so it is a conflict, as CouchDB answers for any revision it does not hold.
function documentRefusal(doc, newEdits) {
  if (!doc || typeof doc !== 'object') return null;
  if (typeof doc._id === 'string' && doc._id.startsWith('_local/') &&
    doc._attachments && typeof doc._attachments === 'object' && Object.keys(doc._attachments).length) {
    return badRequest('Local documents may not have attachments.');
  }
  const revs = doc._revisions;
  if (!newEdits && revs && typeof revs === 'object') {
    if (!Number.isSafeInteger(revs.start) || !Array.isArray(revs.ids) || revs.ids.length === 0 ||
      revs.ids.length > revs.start || revs.ids.some((id) => typeof id !== 'string')) {
      return badRequest('Invalid rev format');
    }
    return null;
  }
  if (typeof doc._rev !== 'string') return null;
  return revisionRefusal(doc._rev, newEdits);
}

// A revision in CouchDB's form (REV_RE) that this server cannot use.
function revisionRefusal(rev, newEdits) {
  const dash = rev.indexOf('-');
  if (!Number.isSafeInteger(Number(rev.slice(0, dash)))) return badRequest('Invalid rev format');
  if (dash === rev.length - 1 && newEdits) return conflict();
  return null;
}

// null, or the error a document in a write request deserves.
function checkDocument(doc, lim) {
  if (doc === null || typeof doc !== 'object' || Array.isArray(doc)) {
    return badRequest('Document must be a JSON object');
  }
  if (doc._id !== undefined && doc._id !== null && typeof doc._id !== 'string') {
    return badRequest('Document id must be a string');
  }
  if (doc._rev !== undefined && doc._rev !== null && (typeof doc._rev !== 'string' || !REV_RE.test(doc._rev))) {
    return badRequest('Invalid rev format');
  }
  if (doc._deleted !== undefined && typeof doc._deleted !== 'boolean') {
    return badRequest('_deleted must be a boolean');
  }
  return checkAttachments(doc._attachments) || checkRevisions(doc._revisions) || limits.checkDocument(doc, lim);
}

// Whether a Mango selector anywhere uses `$regex`: the package runs it on
// JavaScript's backtracking engine, where one pattern can hold the server's
// thread for as long as it likes.
function usesRegex(value, depth = 0) {
  if (value === null || typeof value !== 'object' || depth > MAX_DEPTH) return false;
  for (const k of Object.keys(value)) {
    if (k === '$regex' || usesRegex(value[k], depth + 1)) return true;
  }
  return false;
}

function isServerAdmin(req) {
  const ctx = req.couchSession && req.couchSession.userCtx;
  return !!ctx && Array.isArray(ctx.roles) && ctx.roles.indexOf('_admin') !== -1;
}

function regexRefusal(req) {
  if (isServerAdmin(req)) return null;
  const selectors = [req.body && req.body.selector, req.query && req.query.selector];
  if (!selectors.some((s) => usesRegex(s) || (typeof s === 'string' && s.indexOf('$regex') !== -1))) return null;
  return badRequest('The $regex operator is available to server administrators only.');
}

// What a write route's body must look like, by route.
function checkBody(req, lim, config) {
  const route = req.route && req.route.path;
  if (req.method === 'POST' && route === '/:db/_bulk_docs') {
    const body = req.body;
    if (!body || typeof body !== 'object' || Array.isArray(body)) return badRequest('Request body must be a JSON object');
    if (!Array.isArray(body.docs)) return badRequest('`docs` parameter must be an array.');
    if (body.new_edits !== undefined && typeof body.new_edits !== 'boolean') {
      return badRequest('`new_edits` parameter must be a boolean.');
    }
    for (const doc of body.docs) {
      const err = checkDocument(doc, lim);
      // Too large a document fails the whole request, as in CouchDB; what
      // only this server cannot store is refused per document (bulkwork.js).
      if (err) return err;
    }
    return null;
  }
  const isDocWrite = (req.method === 'PUT' && route === '/:db/:id(*)') || (req.method === 'POST' && route === '/:db');
  if (isDocWrite) {
    const newEdits = String(req.query && req.query.new_edits) !== 'false';
    return checkDocument(req.body, lim) || documentRefusal(req.body, newEdits);
  }
  if (route === '/:db/_design/:id/_view/:view' && req.body && Array.isArray(req.body.keys) &&
    req.body.keys.length > maxKeys(config)) {
    return badRequest(`Too many keys in one request: at most ${maxKeys(config)} are accepted.`);
  }
  return null;
}

function maxKeys(config) {
  // Required here: bulkwork.js requires this module.
  return require('./bulkwork').boundsFrom(config).maxBulkGet;
}

// `?rev=` of a PUT or DELETE: null, or the error it deserves.
function queryRevRefusal(req) {
  const rev = req.query && req.query.rev;
  if (rev === undefined || (req.method !== 'PUT' && req.method !== 'DELETE')) return null;
  if (typeof rev !== 'string' || !REV_RE.test(rev)) return badRequest('Invalid rev format');
  return revisionRefusal(rev, true);
}

function readBody(req, limit, onError, done) {
  getRawBody(req, { length: req.headers['content-length'], limit }, (err, buf) => {
    if (err) return onError(err);
    return done(buf);
  });
}

function tooLarge(res, req) {
  if (typeof req.params.attachment === 'string') {
    return sendJSON(res, 413, { error: 'attachment_too_large', reason: req.params.attachment });
  }
  return sendJSON(res, 413, { error: 'too_large', reason: 'the request entity is too large' });
}

// In place of the package's JSON body parser (body-parser with
// max_document_size as its only limit).
function jsonParser(config) {
  return function (req, res, next) {
    const lim = limits.limitsFrom(config);
    const revErr = queryRevRefusal(req);
    if (revErr) return sendJSON(res, revErr.status, { error: revErr.error, reason: revErr.reason });
    if (!typeis.hasBody(req) || !typeis(req, ['application/json', '+json'])) {
      if (req.body === undefined) req.body = {};
      return next();
    }
    return readBody(req, lim.maxRequestSize, (err) => {
      if (err.type === 'entity.too.large') return tooLarge(res, req);
      return sendJSON(res, 400, badRequest(err.message || 'invalid request body'));
    }, (buf) => {
      let body;
      const text = buf.toString('utf8');
      try {
        body = text.trim() === '' ? {} : JSON.parse(text);
      } catch (e) {
        return sendJSON(res, 400, badRequest('invalid_json'));
      }
      if (body === null || typeof body !== 'object') return sendJSON(res, 400, badRequest('invalid_json'));
      if (tooDeep(body)) return sendJSON(res, 400, badRequest('Document nested too deeply'));
      req.body = body;
      const err = checkBody(req, lim, config);
      if (err) return sendJSON(res, err.status, { error: err.error, reason: err.reason });
      return next();
    });
  };
}

// The package reads attachment bodies (and the bodies of show, list and
// update requests) whole, without a limit, and goes on with an empty body
// when reading fails.
function parseRawBody(config) {
  return function (req, res, next) {
    if (req.rawBody !== undefined) return next();
    const lim = limits.limitsFrom(config);
    const isAttachment = typeof (req.params || {}).attachment === 'string';
    const revErr = queryRevRefusal(req);
    if (revErr) return sendJSON(res, revErr.status, { error: revErr.error, reason: revErr.reason });
    const id = String((req.params || {}).id || '');
    if (isAttachment && (id === '_local' || id.startsWith('_local/'))) {
      return sendJSON(res, 400, badRequest('Local documents may not have attachments.'));
    }
    return readBody(req, isAttachment ? lim.maxAttachmentSize : lim.maxRequestSize, (err) => {
      if (err.type === 'entity.too.large') return tooLarge(res, req);
      return sendJSON(res, 400, badRequest(err.message || 'invalid request body'));
    }, (buf) => {
      req.rawBody = buf;
      next();
    });
  };
}

// The parts of a multipart body: [{headers, body}], or null if malformed.
function splitMultipart(buf, boundary) {
  const delim = Buffer.from(`--${boundary}`);
  const next = Buffer.from(`\r\n--${boundary}`);
  const parts = [];
  let pos = buf.indexOf(delim);
  if (pos === -1) return null;
  pos += delim.length;
  for (;;) {
    if (buf.slice(pos, pos + 2).toString() === '--') return parts;
    if (buf.slice(pos, pos + 2).toString() !== '\r\n') return null;
    pos += 2;
    const end = buf.indexOf(next, pos);
    if (end === -1) return null;
    const part = buf.slice(pos, end);
    const headers = {};
    let body = part;
    if (part.slice(0, 2).toString() === '\r\n') {
      body = part.slice(2);
    } else {
      const headEnd = part.indexOf('\r\n\r\n');
      if (headEnd === -1) return null;
      for (const line of part.slice(0, headEnd).toString('latin1').split('\r\n')) {
        const colon = line.indexOf(':');
        if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
      }
      body = part.slice(headEnd + 4);
    }
    parts.push({ headers, body });
    pos = end + next.length;
  }
}

// A document with its attachments as multipart/related, as CouchDB takes
// it: the JSON document first, then one part per attachment marked
// `follows`, in order (or named by the part's file name). The package's
// parser threw out of its event handler on a bad JSON part and hung on an
// oversized one.
function multipartDocument(req, lim) {
  const type = req.headers['content-type'] || '';
  const m = /boundary=(?:"([^"]+)"|([^;\s]+))/i.exec(type);
  if (!m) return { err: badRequest('Multipart request without boundary') };
  const parts = splitMultipart(req.rawBody, m[1] || m[2]);
  if (!parts || parts.length === 0) return { err: badRequest('Malformed multipart body') };
  let doc;
  try {
    doc = JSON.parse(parts[0].body.toString('utf8'));
  } catch (e) {
    return { err: badRequest('invalid_json') };
  }
  if (doc === null || typeof doc !== 'object' || Array.isArray(doc)) return { err: badRequest('Document must be a JSON object') };
  if (tooDeep(doc)) return { err: badRequest('Document nested too deeply') };
  if (doc._attachments !== undefined && (doc._attachments === null || typeof doc._attachments !== 'object')) {
    return { err: badRequest('_attachments must be a JSON object') };
  }
  const atts = doc._attachments || {};
  const following = Object.keys(atts).filter((n) => atts[n] && atts[n].follows === true);
  for (const part of parts.slice(1)) {
    const disposition = part.headers['content-disposition'] || '';
    const named = /filename="([^"]*)"/i.exec(disposition);
    const name = named ? named[1] : following.shift();
    if (name === undefined) return { err: badRequest('Attachment part without a matching attachment') };
    const prev = atts[name] && typeof atts[name] === 'object' ? atts[name] : {};
    atts[name] = {
      content_type: prev.content_type || part.headers['content-type'] || 'application/octet-stream',
      data: part.body,
    };
  }
  for (const name of Object.keys(atts)) {
    if (atts[name] && atts[name].follows === true) return { err: badRequest(`Attachment ${name} did not follow`) };
  }
  if (Object.keys(atts).length) doc._attachments = atts;
  if (!doc._id) doc._id = req.params.id;
  if (!doc._rev && typeof req.query.rev === 'string') doc._rev = req.query.rev;
  const err = checkDocument(doc, lim) || documentRefusal(doc, String(req.query.new_edits) !== 'false');
  return err ? { err } : { doc };
}

// Multipart document writes: multipart/related is parsed here, whole and
// within the limits; any other multipart body (a form upload) is refused
// before it is read when it is larger than the limits allow.
function multipartWrite(config, original) {
  return function (req, res, next) {
    const type = req.headers['content-type'] || '';
    if (!/^multipart\//i.test(type)) return original(req, res, next);
    const lim = limits.limitsFrom(config);
    if (req.method === 'PUT' && /^multipart\/related/i.test(type)) {
      return readBody(req, lim.maxRequestSize, (err) => {
        if (err.type === 'entity.too.large') return tooLarge(res, req);
        return sendJSON(res, 400, badRequest(err.message || 'invalid request body'));
      }, (buf) => {
        req.rawBody = buf;
        const { doc, err } = multipartDocument(req, lim);
        if (err) return sendJSON(res, err.status, { error: err.error, reason: err.reason });
        return req.db.put(doc, epUtils.makeOpts(req, Object.assign({}, req.query))).then((response) => {
          res.set('ETag', `"${response.rev}"`);
          epUtils.setLocation(res, `${req.params.db}/${response.id}`);
          sendJSON(res, 201, response);
        }).catch((e) => epUtils.sendError(res, e));
      });
    }
    const length = Number(req.headers['content-length']);
    if (!Number.isFinite(length)) {
      return sendJSON(res, 411, { error: 'bad_request', reason: 'Multipart requests need a Content-Length.' });
    }
    if (length > lim.maxRequestSize) return tooLarge(res, req);
    return original(req, res, next);
  };
}

// The same checks on the database itself, for whatever a route hands over
// after its own parsing (form uploads, COPY). Only requests carry a userCtx:
// the server's own writes (the replicator) make their own check.
function checkWrite(config) {
  const check = (doc, options) => {
    if (!options || !options.userCtx) return;
    const err = checkDocument(doc, limits.limitsFrom(config)) || documentRefusal(doc, options.new_edits !== false);
    if (err) throw new PouchPluginError({ status: err.status, name: err.error, message: err.reason });
  };
  return {
    put: (orig, args) => Promise.resolve().then(() => check(args.doc, args.options)).then(orig),
    post: (orig, args) => Promise.resolve().then(() => check(args.doc, args.options)).then(orig),
    bulkDocs: createBulkDocsWrapper((doc, args) => Promise.resolve().then(() => check(doc, args.options))),
  };
}

function install(app, config) {
  const parser = jsonParser(config);
  // First in the chain: the package's users-database wrapper ends it.
  app.dbWrapper._wrappers.unshift((name, db, next) => {
    wrappers.installWrapperMethods(db, checkWrite(config));
    return next();
  });
  for (const layer of app._router.stack) {
    if (!layer.route) continue;
    const stack = layer.route.stack;
    for (let i = 0; i < stack.length; i++) {
      if (stack[i].handle === epUtils.jsonParser) {
        stack[i].handle = parser;
        // Put before the route's handler: the size of a multipart body.
        if (/^\/:db\/:id\(\*\)$/.test(layer.route.path)) {
          const original = stack[i + 1] && stack[i + 1].handle;
          if (original) stack[i + 1].handle = multipartWrite(config, original);
        }
      }
    }
  }
  epUtils.parseRawBody = parseRawBody(config);
  // Selectors, by every route that takes one from a request.
  for (const layer of app._router.stack) {
    if (!layer.route || ['/:db/_find', '/:db/_explain', '/:db/_changes'].indexOf(layer.route.path) === -1) continue;
    const last = layer.route.stack[layer.route.stack.length - 1];
    const handle = last.handle;
    last.handle = (req, res, next) => {
      const err = regexRefusal(req);
      if (err) return sendJSON(res, err.status, { error: err.error, reason: err.reason });
      return handle(req, res, next);
    };
  }
}

module.exports = { install, checkDocument, documentRefusal, tooDeep };
