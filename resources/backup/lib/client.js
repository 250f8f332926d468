'use strict';
// A small JSON client for the server's HTTP API: Basic authentication on
// every request, kept-alive connections, and the failures that mean "cannot
// reach the server" or "not allowed" turned into their causes here, so that
// callers only see answers they can reason about.

const http = require('http');
const https = require('https');
const { BackupError, quote } = require('./errors');

const NETWORK_CODES = new Set(['ECONNREFUSED', 'ECONNRESET', 'EPIPE', 'ENOTFOUND', 'EAI_AGAIN',
  'ETIMEDOUT', 'EHOSTUNREACH', 'ENETUNREACH', 'ECONNABORTED', 'EPROTO']);
// A kept-alive socket may be closed by the server just as it is reused; every
// request made here is safe to repeat (reads, and writes with new_edits:false).
const RETRIES = 2;
// Not worth repeating: the server is there but its identity is not trusted
// (a private authority can be added with NODE_EXTRA_CA_CERTS).
const CERT_CODES = new Set(['DEPTH_ZERO_SELF_SIGNED_CERT', 'SELF_SIGNED_CERT_IN_CHAIN',
  'UNABLE_TO_VERIFY_LEAF_SIGNATURE', 'UNABLE_TO_GET_ISSUER_CERT_LOCALLY', 'CERT_HAS_EXPIRED',
  'ERR_TLS_CERT_ALTNAME_INVALID']);
const IDLE_TIMEOUT_MS = 120000;
const MAX_PAUSE_MS = 500;

// One request in flight by default: the bundled server answers one request
// at a time, and a backup that asks for more crowds out the sync clients it
// runs beside (measured: half their reads per second with four, four fifths
// with one). The reading ahead still overlaps the tool's own work with the
// server's.
class Client {
  constructor({ url, user, password, maxSockets = 1 }) {
    this.base = new URL(url);
    if (this.base.protocol !== 'http:' && this.base.protocol !== 'https:') {
      throw new BackupError('other', `The server address ${quote(url)} is not an http or https address.`);
    }
    this.url = url;
    this.user = user;
    this.lib = this.base.protocol === 'https:' ? https : http;
    this.agent = new this.lib.Agent({ keepAlive: true, maxSockets });
    this.auth = 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64');
    this.prefix = this.base.pathname.replace(/\/+$/, '');
    this.fastest = new Map();
  }

  close() { this.agent.destroy(); }

  async request(method, path, body) {
    for (let attempt = 0; ; attempt++) {
      try {
        const started = Date.now();
        const res = await this.once(method, path, body);
        await this.yieldToOthers(method, path, Date.now() - started);
        return res;
      } catch (err) {
        if (err instanceof BackupError || !NETWORK_CODES.has(err.code) || attempt >= RETRIES) {
          throw this.translate(err);
        }
      }
    }
  }

  // A request that took much longer than the fastest of its kind waited
  // behind other clients' requests: the server is busy serving them. The
  // backup then pauses for twice as long as it was held up, so that it
  // takes a small share of a busy server instead of one turn in every
  // queue; on an idle server it never pauses.
  async yieldToOthers(method, path, ms) {
    const kind = method + ' ' + (path.split('?')[0].split('/').filter(Boolean).slice(1).find((p) => p.startsWith('_')) || 'doc');
    const fastest = Math.min(ms, this.fastest.get(kind) ?? ms);
    this.fastest.set(kind, fastest);
    if (ms <= 2 * fastest + 2) return;
    const held = ms - fastest;
    await new Promise((resolve) => setTimeout(resolve, Math.min(2 * held, MAX_PAUSE_MS)));
  }

  // The answer of a request that must succeed; `what` names it in the error.
  async json(method, path, body) {
    const res = await this.request(method, path, body);
    if (res.status >= 200 && res.status < 300) return res.json;
    const err = new Error(reasonOf(res));
    err.status = res.status;
    throw err;
  }

  translate(err) {
    if (err instanceof BackupError) return err;
    if (CERT_CODES.has(err.code)) {
      return new BackupError('server-unreachable',
        `The server at ${quote(this.url)} did not show a certificate this computer trusts (${err.code}).`);
    }
    if (NETWORK_CODES.has(err.code)) {
      return new BackupError('server-unreachable',
        `The server at ${quote(this.url)} could not be reached (${err.code}).`);
    }
    return new BackupError('other', `The request to the server at ${quote(this.url)} failed: ${err.message}.`);
  }

  once(method, path, body) {
    const payload = body === undefined ? null : Buffer.from(JSON.stringify(body));
    const headers = { Accept: 'application/json', Authorization: this.auth };
    if (payload) {
      headers['Content-Type'] = 'application/json';
      headers['Content-Length'] = payload.length;
    }
    return new Promise((resolve, reject) => {
      const req = this.lib.request({
        protocol: this.base.protocol, hostname: this.base.hostname, port: this.base.port,
        path: this.prefix + path, method, headers, agent: this.agent,
      }, (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('error', reject);
        res.on('end', () => {
          const text = Buffer.concat(chunks).toString('utf8');
          let json;
          try { json = JSON.parse(text); } catch (e) { json = undefined; }
          if (res.statusCode === 401 || res.statusCode === 403) {
            reject(new BackupError('unauthorized',
              `The server at ${quote(this.url)} refused the account ${quote(this.user)}: ${reasonOf({ status: res.statusCode, json, text })}.`));
            return;
          }
          resolve({ status: res.statusCode, json, text });
        });
      });
      req.setTimeout(IDLE_TIMEOUT_MS, () => {
        const err = new Error('no answer in time');
        err.code = 'ETIMEDOUT';
        req.destroy(err);
      });
      req.on('error', reject);
      req.end(payload);
    });
  }
}

function reasonOf(res) {
  const j = res.json;
  const why = j && (j.reason || j.error);
  return String(why || `HTTP status ${res.status}`).replace(/[.\s]+$/, '');
}

// Database names may hold "/", which the API wants escaped; design document
// ids keep their slash so that servers that route them literally agree.
function dbPath(name) { return '/' + encodeURIComponent(name); }
function docPath(db, id) {
  const m = /^_design\/(.*)$/.exec(id);
  return dbPath(db) + '/' + (m ? '_design/' + encodeURIComponent(m[1]) : encodeURIComponent(id));
}

module.exports = { Client, dbPath, docPath, reasonOf };
