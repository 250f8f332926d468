'use strict';
// Password hashes as CouchDB 2 and later make them: PBKDF2-HMAC-SHA1 with at
// least 10,000 iterations ([couch_httpd_auth] iterations). The package
// hashed with 10 iterations in pure JavaScript, on the main thread; here
// Node's own PBKDF2 runs in its thread pool, and a verified credential is
// remembered for a minute so that Basic authentication on every request
// does not pay for a hash each time.

const crypto = require('crypto');

const MIN_ITERATIONS = 10000;
const CACHE_TTL_MS = 60 * 1000;
const CACHE_MAX = 1000;

// key: a hash of password, salt and iterations -> { hash, expires }.
// The salt is new with every new password, so a changed user document
// never meets an entry made for its previous password.
const cache = new Map();

function cacheKey(password, salt, iterations) {
  return crypto.createHash('sha256')
    .update(`${String(password).length}:${password}\u0000${salt}\u0000${iterations}`).digest('base64');
}

function hashPassword(password, salt, iterations) {
  const key = cacheKey(password, salt, iterations);
  const hit = cache.get(key);
  const now = Date.now();
  if (hit && hit.expires > now) return Promise.resolve(hit.hash);
  if (hit) cache.delete(key);
  return new Promise((resolve, reject) => {
    crypto.pbkdf2(String(password), String(salt), Number(iterations) || 1, 20, 'sha1', (err, derived) => {
      if (err) return reject(err);
      const hash = derived.toString('hex');
      if (cache.size >= CACHE_MAX) cache.delete(cache.keys().next().value);
      cache.set(key, { hash, expires: Date.now() + CACHE_TTL_MS });
      return resolve(hash);
    });
  });
}

function iterationsFrom(config) {
  const configured = Number(config.get('couch_httpd_auth', 'iterations'));
  return Number.isFinite(configured) && configured > MIN_ITERATIONS ? Math.floor(configured) : MIN_ITERATIONS;
}

// pouchdb-auth looks its hash function up on its utils module at each call.
function install() {
  require('pouchdb-auth/lib/utils').hashPassword = hashPassword;
}

function clearCache() {
  cache.clear();
}

module.exports = { install, hashPassword, iterationsFrom, clearCache, MIN_ITERATIONS };
