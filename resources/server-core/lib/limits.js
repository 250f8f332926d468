'use strict';
// Size limits of documents and attachments, with CouchDB 3's settings and
// errors: [couchdb] max_document_size (the JSON body without attachments)
// and [couchdb] max_attachment_size (each attachment, decoded). Shared by
// every HTTP write path and by the replicator, so that a document too large
// to be written directly cannot arrive through a replication either.

const DEFAULT_MAX_DOCUMENT_SIZE = 8000000; // 8 MB, CouchDB 3's default
const DEFAULT_MAX_ATTACHMENT_SIZE = 64 * 1024 * 1024;

function positive(value, fallback) {
  const n = Number(value);
  return Number.isFinite(n) && n > 0 ? Math.floor(n) : fallback;
}

// `config` is anything with get(section, key): the server's configuration
// chain or express-pouchdb's couchConfig.
function limitsFrom(config) {
  const maxDocumentSize = positive(config && config.get('couchdb', 'max_document_size'), DEFAULT_MAX_DOCUMENT_SIZE);
  const maxAttachmentSize = positive(config && config.get('couchdb', 'max_attachment_size'), DEFAULT_MAX_ATTACHMENT_SIZE);
  // A request carries at most one largest document with one largest
  // attachment in base64, unless [httpd] max_http_request_size says more.
  const fallbackRequest = maxDocumentSize + Math.ceil(maxAttachmentSize / 3) * 4 + 64 * 1024;
  const maxRequestSize = positive(config && config.get('httpd', 'max_http_request_size'), fallbackRequest);
  return { maxDocumentSize, maxAttachmentSize, maxRequestSize };
}

// Decoded size of an inline attachment: a Buffer, or base64 text.
function attachmentSize(att) {
  if (!att || typeof att !== 'object' || att.stub) return 0;
  const data = att.data;
  if (Buffer.isBuffer(data) || data instanceof Uint8Array) return data.length;
  if (typeof data === 'string') {
    const len = data.replace(/\s+/g, '').length;
    const padding = data.endsWith('==') ? 2 : data.endsWith('=') ? 1 : 0;
    return Math.max(0, Math.floor(len * 3 / 4) - padding);
  }
  if (data && typeof data.size === 'number') return data.size; // a Blob
  return 0;
}

function bodySize(doc) {
  let size = 0;
  for (const key of Object.keys(doc)) {
    if (key === '_attachments' || key === '_revisions') continue;
    size += Buffer.byteLength(JSON.stringify(key)) + Buffer.byteLength(JSON.stringify(doc[key]) || '') + 1;
  }
  return size + 1;
}

// null when the document is within the limits, else the error to answer
// with: {status: 413, error, reason}. `limits` may be a configuration or
// what limitsFrom() returned.
function checkDocument(doc, limits) {
  if (!doc || typeof doc !== 'object') return null;
  const l = limits && typeof limits.get === 'function' ? limitsFrom(limits) : (limits || limitsFrom(null));
  if (bodySize(doc) > l.maxDocumentSize) {
    return { status: 413, error: 'document_too_large', reason: String(doc._id || '') };
  }
  const atts = doc._attachments;
  if (atts && typeof atts === 'object') {
    for (const name of Object.keys(atts)) {
      if (attachmentSize(atts[name]) > l.maxAttachmentSize) {
        return { status: 413, error: 'attachment_too_large', reason: name };
      }
    }
  }
  return null;
}

module.exports = { limitsFrom, checkDocument, attachmentSize, DEFAULT_MAX_DOCUMENT_SIZE, DEFAULT_MAX_ATTACHMENT_SIZE };
