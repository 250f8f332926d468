'use strict';
// Behaviour of the bundled server that the console relies on, each checked
// against the real launcher started from a temporary data folder.

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const { makeInstance, Server, eventually, sleep, SERVER_CORE } = require('./harness');
const ini = require(`${SERVER_CORE}/lib/ini.js`);

const AUTH_REQUIRED = { error: 'unauthorized', reason: 'Authentication required.' };
const alice = ['alice', 'alicepw'];
const bob = ['bob', 'bobpw'];

let server;
let instance;

async function createUser(name, password, roles = []) {
  const r = await server.req('PUT', `/_users/org.couchdb.user:${name}`,
    { body: { _id: `org.couchdb.user:${name}`, name, password, roles, type: 'user' } });
  assert.equal(r.status, 201, r.text);
}

async function replicationDoc(id) {
  return (await server.req('GET', `/_replicator/${id}`)).json;
}

async function docIds(db) {
  const r = await server.req('GET', `/${db}/_all_docs`);
  return r.json.rows.map((row) => row.id).filter((id) => !id.startsWith('_design/'));
}

async function restart() {
  await server.stop();
  await server.start();
}

function rawRequest(urlPath, headers) {
  return http.request(`${server.base}${urlPath}`, {
    headers: { Authorization: 'Basic ' + Buffer.from('admin:trevok').toString('base64'), ...headers },
  });
}

// GET with exactly the headers given (fetch would add and undo its own
// Accept-Encoding).
function rawGet(urlPath, headers) {
  return new Promise((resolve, reject) => {
    const req = rawRequest(urlPath, headers);
    req.on('response', (res) => {
      let body = '';
      res.setEncoding('latin1');
      res.on('data', (d) => { body += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

// A streaming response read line by line as it arrives.
function openFeed(urlPath, headers) {
  return new Promise((resolve, reject) => {
    const req = rawRequest(urlPath, headers);
    req.on('error', reject);
    req.on('response', (res) => {
      let buffered = '';
      let waiter = null;
      res.setEncoding('latin1');
      const poke = () => { if (waiter) waiter(); };
      res.on('data', (d) => { buffered += d; poke(); });
      resolve({
        res,
        close: () => req.destroy(),
        nextLine(timeoutMs) {
          const end = Date.now() + timeoutMs;
          return new Promise((done, fail) => {
            const check = () => {
              for (let i; (i = buffered.indexOf('\n')) !== -1;) {
                const line = buffered.slice(0, i);
                buffered = buffered.slice(i + 1);
                if (line.trim()) { waiter = null; clearTimeout(timer); return done(line); }
              }
              return undefined;
            };
            const timer = setTimeout(() => {
              waiter = null;
              fail(new Error(`no line within ${timeoutMs} ms; got ${JSON.stringify(buffered)}`));
            }, Math.max(0, end - Date.now()));
            waiter = check;
            check();
          });
        },
      });
    });
    req.end();
  });
}

before(async () => {
  instance = await makeInstance();
  server = new Server(instance);
  await server.start();
  await createUser(...alice);
  await createUser(...bob);
});

after(async () => {
  if (server) await server.stop();
  if (instance) fs.rmSync(instance.dir, { recursive: true, force: true });
});

describe('authentication', () => {
  test('every unauthenticated request is refused with CouchDB\'s exact error', async () => {
    for (const [method, path] of [['GET', '/'], ['GET', '/_all_dbs'], ['PUT', '/somedb'],
      ['DELETE', '/_users'], ['GET', '/_session'], ['POST', '/_replicator'],
      ['GET', '/nosuchdb/doc'], ['GET', '/_config']]) {
      const r = await server.req(method, path, { auth: null, body: method === 'POST' ? {} : undefined });
      assert.equal(r.status, 401, `${method} ${path}`);
      assert.deepEqual(r.json, AUTH_REQUIRED, `${method} ${path}`);
      assert.equal(r.headers.get('www-authenticate'), null);
    }
  });

  test('a wrong password is refused, the admin and _users users are let in', async () => {
    assert.equal((await server.req('GET', '/_all_dbs', { auth: ['admin', 'wrong'] })).status, 401);
    assert.equal((await server.req('GET', '/_all_dbs', { auth: ['alice', 'bobpw'] })).status, 401);
    const asAdmin = await server.req('GET', '/_session');
    assert.ok(asAdmin.json.userCtx.roles.includes('_admin'));
    const asAlice = await server.req('GET', '/_session', { auth: alice });
    assert.equal(asAlice.json.userCtx.name, 'alice');
    assert.ok(!asAlice.json.userCtx.roles.includes('_admin'));
  });

  test('POST /_session logs in without credentials and its cookie authenticates', async () => {
    const login = await server.req('POST', '/_session', { auth: null, body: { name: 'alice', password: 'alicepw' } });
    assert.equal(login.status, 200, login.text);
    const cookie = login.headers.get('set-cookie').split(';')[0];
    assert.match(cookie, /^AuthSession=/);
    const session = await server.req('GET', '/_session', { auth: null, cookie });
    assert.equal(session.json.userCtx.name, 'alice');
    const bad = await server.req('POST', '/_session', { auth: null, body: { name: 'alice', password: 'x' } });
    assert.equal(bad.status, 401);
  });

  test('a _users password is stored hashed and its owner can read the document', async () => {
    const own = await server.req('GET', '/_users/org.couchdb.user:alice', { auth: alice });
    assert.equal(own.status, 200, own.text);
    assert.equal(own.json.password, undefined);
    assert.ok(own.json.derived_key && own.json.salt);
    const raw = await server.req('GET', '/_users/org.couchdb.user:alice');
    assert.equal(raw.json.password, undefined);
  });

  test('a user changes its own password and sees no other user document', async () => {
    await createUser('dave', 'davepw');
    const dave = ['dave', 'davepw'];
    const own = (await server.req('GET', '/_users/org.couchdb.user:dave', { auth: dave })).json;
    const changed = await server.req('PUT', '/_users/org.couchdb.user:dave', { auth: dave, body: { ...own, password: 'dave2' } });
    assert.equal(changed.status, 201, changed.text);
    assert.equal((await server.req('GET', '/_session', { auth: dave })).status, 401);
    const dave2 = ['dave', 'dave2'];
    assert.equal((await server.req('GET', '/_session', { auth: dave2 })).json.userCtx.name, 'dave');
    for (const path of ['/_users/org.couchdb.user:alice', '/_users/_all_docs', '/_users/_changes']) {
      const r = await server.req('GET', path, { auth: dave2 });
      assert.equal(r.status, 403, path);
      assert.equal(r.json.error, 'forbidden', path);
    }
    const other = await server.req('PUT', '/_users/org.couchdb.user:alice', { auth: dave2, body: { name: 'alice', password: 'x', roles: [], type: 'user' } });
    assert.notEqual(other.status, 201, 'cannot overwrite another user');
    const escalate = await server.req('PUT', '/_users/org.couchdb.user:dave', { auth: dave2,
      body: { ...(await server.req('GET', '/_users/org.couchdb.user:dave', { auth: dave2 })).json, roles: ['_admin'] } });
    assert.equal(escalate.status, 403);
  });

  test('only server admins create and delete databases', async () => {
    const r = await server.req('PUT', '/alicedb', { auth: alice });
    assert.equal(r.status, 401);
    assert.equal(r.json.error, 'unauthorized');
    assert.equal((await server.req('PUT', '/alicedb')).status, 201);
    assert.equal((await server.req('DELETE', '/alicedb', { auth: alice })).status, 401);
    assert.equal((await server.req('DELETE', '/alicedb')).status, 200);
  });
});

describe('database security', () => {
  before(async () => {
    await server.req('PUT', '/guarded');
    await server.req('PUT', '/guarded/_security', { body: { admins: { names: [], roles: [] }, readers: { names: ['alice'], roles: [] } } });
    await server.req('PUT', '/byrole');
    await server.req('PUT', '/byrole/_security', { body: { members: { names: [], roles: ['editors'] } } });
  });

  test('readers without members keep everyone else out, as members would', async () => {
    const put = await server.req('PUT', '/guarded/d1', { auth: alice, body: { v: 1 } });
    assert.equal(put.status, 201, put.text);
    assert.equal((await server.req('GET', '/guarded/d1', { auth: alice })).status, 200);
    assert.equal((await server.req('GET', '/guarded/_all_docs', { auth: alice })).status, 200);
    for (const [method, path, body] of [['GET', '/guarded/d1'], ['GET', '/guarded'],
      ['GET', '/guarded/_all_docs'], ['GET', '/guarded/_changes'], ['PUT', '/guarded/d2', { v: 2 }]]) {
      const r = await server.req(method, path, { auth: bob, body });
      assert.equal(r.status, 403, `${method} ${path}`);
      assert.equal(r.json.error, 'forbidden');
    }
    assert.equal((await server.req('GET', '/guarded/d1')).status, 200, 'admin');
    const sec = await server.req('GET', '/guarded/_security');
    assert.deepEqual(sec.json.readers, { names: ['alice'], roles: [] });
    assert.equal(sec.json.members, undefined, 'the stored object is not rewritten');
  });

  test('member roles admit users holding them and nobody else', async () => {
    await createUser('carol', 'carolpw', ['editors']);
    assert.equal((await server.req('PUT', '/byrole/x', { auth: ['carol', 'carolpw'], body: {} })).status, 201);
    assert.equal((await server.req('GET', '/byrole/x', { auth: alice })).status, 403);
  });

  test('validate_doc_update is honoured for non-admin writes', async () => {
    await server.req('PUT', '/validated');
    await server.req('PUT', '/validated/_security', { body: { members: { names: [], roles: [] } } });
    await server.req('PUT', '/validated/_design/rules', { body: {
      validate_doc_update: "function(newDoc, oldDoc, userCtx){ if (!newDoc.title && !newDoc._deleted) throw({forbidden: 'title required'}); }",
    } });
    const rejected = await server.req('PUT', '/validated/a', { auth: alice, body: { x: 1 } });
    assert.equal(rejected.status, 403);
    assert.deepEqual(rejected.json, { error: 'forbidden', reason: 'title required' });
    assert.equal((await server.req('PUT', '/validated/b', { auth: alice, body: { title: 't' } })).status, 201);
  });
});

describe('documents, views and changes', () => {
  before(async () => { await server.req('PUT', '/projects'); });

  test('a design-doc view with a typed map function and sorted _all_docs', async () => {
    await server.req('PUT', '/projects/_design/p', { body: { views: { byTitle: {
      map: "function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.title,doc);};",
    } } } });
    const bulk = await server.req('POST', '/projects/_bulk_docs', { body: { docs: [
      { _id: 'p1', type: 'ProjectInfoDoc', title: 'Beta' },
      { _id: 'p2', type: 'ProjectInfoDoc', title: 'Alpha' },
      { _id: 'n1', type: 'Note', title: 'Zeta' },
    ] } });
    assert.equal(bulk.status, 201);
    const view = await server.req('GET', '/projects/_design/p/_view/byTitle');
    assert.deepEqual(view.json.rows.map((r) => r.key), ['Alpha', 'Beta']);
    assert.equal(view.json.rows[0].value.type, 'ProjectInfoDoc');
    const all = await server.req('GET', '/projects/_all_docs?include_docs=true&descending=true');
    assert.deepEqual(all.json.rows.map((r) => r.id), ['p2', 'p1', 'n1', '_design/p']);
    assert.equal(all.json.rows[0].doc.title, 'Alpha');
  });

  test('a longpoll _changes request waits for the next change after since', async () => {
    const now = (await server.req('GET', '/projects/_changes')).json.last_seq;
    const pending = server.req('GET', `/projects/_changes?feed=longpoll&since=${now}&include_docs=true`);
    await sleep(300);
    await server.req('PUT', '/projects/late', { body: { type: 'Note' } });
    const r = await pending;
    assert.deepEqual(r.json.results.map((c) => c.id), ['late']);
    assert.equal(r.json.results[0].doc.type, 'Note');
  });

  // Qt and many sync clients ask for gzip by default; a compressor holding
  // the feed back starved them of every change.
  test('a continuous _changes feed asked for with gzip streams each change at once, uncompressed', async () => {
    const now = (await server.req('GET', '/projects/_changes')).json.last_seq;
    const feed = await openFeed(`/projects/_changes?feed=continuous&since=${now}&heartbeat=10000`,
      { 'Accept-Encoding': 'gzip, deflate' });
    try {
      assert.equal(feed.res.statusCode, 200);
      assert.equal(feed.res.headers['content-encoding'], undefined);
      await sleep(200);
      await server.req('PUT', '/projects/streamed', { body: { type: 'Note' } });
      const line = await feed.nextLine(1000);
      assert.equal(JSON.parse(line).id, 'streamed');
    } finally {
      feed.close();
    }
    const plain = await rawGet('/projects/_all_docs', { 'Accept-Encoding': 'gzip' });
    assert.equal(plain.headers['content-encoding'], undefined);
    assert.ok(JSON.parse(plain.body).rows.length > 0);
  });

  test('_uuids hands out distinct ids and databases live in database_dir', async () => {
    const r = await server.req('GET', '/_uuids?count=3');
    assert.equal(new Set(r.json.uuids).size, 3);
    const files = fs.readdirSync(instance.dataDir);
    for (const db of ['projects', '_users', '_replicator']) assert.ok(files.includes(db), db);
  });
});

describe('database names', () => {
  const illegal = (name) => ({
    error: 'illegal_database_name',
    reason: `Name: '${name}'. Only lowercase characters (a-z), digits (0-9), and any of the characters _, $, (, ), +, -, and / are allowed. Must begin with a letter.`,
  });
  const at = (name) => '/' + encodeURIComponent(name);

  test('a "/" in a name makes a database of its own, in one escaped folder', async () => {
    for (const name of ['a/b', 'ab', 'x/_security', 'x_security', 'x']) {
      const r = await server.req('PUT', at(name));
      assert.equal(r.status, 201, `${name}: ${r.text}`);
    }
    await server.req('PUT', '/a%2Fb/d', { body: { v: 'slash' } });
    await server.req('PUT', '/ab/d', { body: { v: 'plain' } });
    assert.equal((await server.req('GET', '/a%2Fb/d')).json.v, 'slash');
    assert.equal((await server.req('GET', '/ab/d')).json.v, 'plain');
    const info = (await server.req('GET', '/a%2Fb')).json;
    assert.equal(info.db_name, 'a/b');
    assert.equal(info.doc_count, 1);
    assert.ok(info.disk_size > 0);
    const dbs = (await server.req('GET', '/_all_dbs')).json;
    for (const name of ['a/b', 'ab', 'x/_security', 'x_security']) assert.ok(dbs.includes(name), name);
    const files = fs.readdirSync(instance.dataDir);
    assert.ok(files.includes('a%2Fb') && files.includes('ab') && !files.includes('a'), files.join());

    // The security object of `x/_security` is not the database `x/_security`
    // seen from `x`, nor `x`'s own.
    const sec = { admins: { names: [], roles: [] }, readers: { names: ['alice'], roles: [] } };
    assert.equal((await server.req('PUT', '/x%2F_security/_security', { body: sec })).status, 200);
    assert.deepEqual((await server.req('GET', '/x%2F_security/_security')).json, sec);
    assert.deepEqual((await server.req('GET', '/x/_security')).json, {});
    assert.equal((await server.req('GET', '/x%2F_security', { auth: bob })).status, 403);

    await server.req('PUT', '/a%2Fb/_design/v', { body: { views: { all: { map: 'function(doc){ emit(doc.v); }' } } } });
    assert.deepEqual((await server.req('GET', '/a%2Fb/_design/v/_view/all')).json.rows.map((r) => r.key), ['slash']);
    assert.deepEqual((await server.req('GET', '/a%2Fb/_all_docs')).json.rows.map((r) => r.id), ['_design/v', 'd']);
    assert.deepEqual((await server.req('GET', '/a%2Fb/_changes')).json.results.map((c) => c.id).sort(), ['_design/v', 'd']);

    await server.req('PUT', '/_replicator/slashed', { body: { source: 'a/b', target: 'a/b/copy', create_target: true } });
    await eventually(async () => (await replicationDoc('slashed'))._replication_state === 'completed', 10000, 'completed');
    assert.equal((await server.req('GET', '/a%2Fb%2Fcopy/d')).json.v, 'slash');
    assert.ok((await server.req('GET', '/_all_dbs')).json.includes('a/b/copy'));

    assert.equal((await server.req('DELETE', '/x%2F_security')).status, 200);
    assert.equal((await server.req('GET', '/x_security')).status, 200, 'its namesake without "/" stays');
  });

  test('Location headers escape "/" in database names and document ids', async () => {
    const made = await server.req('PUT', at('loc/db'));
    assert.equal(made.status, 201);
    const base = `${server.base}/loc%2Fdb`;
    assert.equal(made.headers.get('location'), base);
    const put = await server.req('PUT', '/loc%2Fdb/d1', { body: {} });
    assert.equal(put.headers.get('location'), `${base}/d1`);
    const posted = await server.req('POST', '/loc%2Fdb', { body: { _id: 'x/y' } });
    assert.equal(posted.status, 201);
    assert.equal(posted.headers.get('location'), `${base}/x%2Fy`);
    const ddoc = await server.req('PUT', '/loc%2Fdb/_design/v', { body: {} });
    assert.equal(ddoc.headers.get('location'), `${base}/_design%2Fv`);
    const att = await server.req('PUT', `/loc%2Fdb/d1/a%20b.txt?rev=${put.json.rev}`,
      { body: 'text', raw: true });
    assert.equal(att.status, 201, att.text);
    assert.equal(att.headers.get('location'), `${base}/d1/a%20b.txt`);
    // Each of them leads back to what was written.
    for (const r of [put, posted, ddoc]) {
      const url = r.headers.get('location').slice(server.base.length);
      assert.equal((await server.req('GET', url)).json._id, r.json.id, url);
    }
    assert.equal((await server.req('GET', att.headers.get('location').slice(server.base.length))).text, 'text');
  });

  test('names CouchDB refuses are refused with its error, its own databases are not', async () => {
    for (const name of ['A', 'aB', '1a', '_foo', 'a?b', 'a b', 'a.b', 'a%b', 'a\u00e9', 'é']) {
      const r = await server.req('PUT', at(name));
      assert.equal(r.status, 400, name);
      assert.deepEqual(r.json, illegal(name), name);
    }
    // `ab` exists: a name that used to be cut down to it is still illegal.
    assert.deepEqual((await server.req('PUT', '/a%3Fb')).json, illegal('a?b'));
    assert.ok(!(await server.req('GET', '/_all_dbs')).json.some((n) => /[A-Z?. %]/.test(n)));
    for (const name of ['_users', '_replicator']) {
      assert.equal((await server.req('PUT', at(name))).json.error, 'file_exists', name);
    }
    const odd = 'z0_$()+-/q';
    assert.equal((await server.req('PUT', at(odd))).status, 201);
    assert.equal((await server.req('PUT', at(odd))).status, 412);
    await server.req('PUT', '/_replicator/badtarget', { body: { source: 'ab', target: 'Bad', create_target: true } });
    const doc = await eventually(async () => {
      const d = await replicationDoc('badtarget');
      return d._replication_state === 'error' && d;
    }, 10000, 'error');
    assert.match(doc._replication_state_reason, /illegal/);
    assert.ok(!(await server.req('GET', '/_all_dbs')).json.includes('Bad'));
  });

  test('deleting a missing database is a 404, as is deleting it twice', async () => {
    assert.deepEqual((await server.req('DELETE', '/nosuchdb')).json, { error: 'not_found', reason: 'missing' });
    await server.req('PUT', '/short_lived');
    assert.equal((await server.req('DELETE', '/short_lived')).status, 200);
    const again = await server.req('DELETE', '/short_lived');
    assert.equal(again.status, 404);
    assert.deepEqual(again.json, { error: 'not_found', reason: 'missing' });
    assert.equal((await server.req('DELETE', '/Bad')).status, 400);
  });

  // A client still writing, or a replication starting, while its database
  // is deleted must not bring the database back.
  test('a database deleted amid writes and a starting replication stays deleted', async () => {
    await server.req('PUT', '/amid_target');
    for (let round = 0; round < 8; round++) {
      const db = `amid_${round}`;
      await server.req('PUT', `/${db}`);
      const writes = Array.from({ length: 24 }, (_, i) => server.req('POST', `/${db}`, { body: { i } }));
      const started = server.req('PUT', `/_replicator/amid_${round}`,
        { body: { source: db, target: 'amid_target', continuous: true } });
      await sleep(round * 3);
      const dropped = await server.req('DELETE', `/${db}`);
      assert.equal(dropped.status, 200, dropped.text);
      await Promise.all([...writes, started]);
      await sleep(300);
      const left = await server.req('GET', `/${db}`);
      assert.equal(left.status, 404, `round ${round}: ${db} is back: ${left.text}`);
    }
  });

  test('a conflict gives CouchDB\'s reason, alone and in a bulk update', async () => {
    const expected = { error: 'conflict', reason: 'Document update conflict.' };
    await server.req('PUT', '/conflicts');
    await server.req('PUT', '/conflicts/c', { body: {} });
    const r = await server.req('PUT', '/conflicts/c', { body: {} });
    assert.equal(r.status, 409);
    assert.deepEqual(r.json, expected);
    const bulk = await server.req('POST', '/conflicts/_bulk_docs', { body: { docs: [{ _id: 'c' }] } });
    assert.equal(bulk.json[0].reason, expected.reason);
  });

  test('user databases with "/" and other allowed characters, end to end', async () => {
    const from = 'trevok_user_db_a/b';
    const into = 'trevok_user_db_x(1)+y$';
    for (const name of [from, into]) assert.equal((await server.req('PUT', at(name))).status, 201, name);
    assert.equal((await server.req('PUT', `${at(from)}/_security`, { body: {
      admins: { names: [], roles: [] }, readers: { names: ['alice'], roles: [] } } })).status, 200);
    await server.req('PUT', `${at(from)}/_design/sync`, { body: { filters: {
      mine: 'function(doc, req){ return doc.owner === req.query.owner; }' } } });
    await server.req('PUT', `${at(from)}/n1`, { body: { owner: 'alice' } });
    await server.req('PUT', `${at(from)}/n2`, { body: { owner: 'bob' } });
    assert.equal((await server.req('GET', `${at(from)}/n1`, { auth: alice })).json.owner, 'alice');
    // The characters as a client may leave them in the path.
    assert.equal((await server.req('GET', '/trevok_user_db_a%2Fb/n1', { auth: alice })).status, 200);
    assert.equal((await server.req('GET', `${at(from)}/n1`, { auth: bob })).status, 403);
    assert.equal((await server.req('GET', '/trevok_user_db_x(1)+y$')).json.db_name, into);

    await server.req('PUT', '/_replicator/userdb', { body: {
      source: from, target: into, filter: 'sync/mine', query_params: { owner: 'alice' }, continuous: true } });
    await eventually(async () => (await docIds(encodeURIComponent(into))).includes('n1'), 10000, 'n1 replicated');
    await server.req('PUT', `${at(from)}/n3`, { body: { owner: 'alice' } });
    await eventually(async () => (await docIds(encodeURIComponent(into))).includes('n3'), 10000, 'n3 replicated');
    assert.deepEqual((await docIds(encodeURIComponent(into))).sort(), ['n1', 'n3']);
    assert.equal((await replicationDoc('userdb'))._replication_state, 'triggered');
  });
});

describe('configuration', () => {
  test('GET /_config gives every section as strings, for admins only', async () => {
    const all = (await server.req('GET', '/_config')).json;
    assert.equal(all.httpd.bind_address, '127.0.0.1');
    assert.equal(all.httpd.port, String(instance.port));
    assert.equal(all.couch_httpd_auth.require_valid_user, 'true');
    for (const sec of Object.values(all)) {
      for (const v of Object.values(sec)) assert.equal(typeof v, 'string');
    }
    assert.deepEqual((await server.req('GET', '/_config/couch_httpd_auth/require_valid_user')).json, 'true');
    assert.equal((await server.req('GET', '/_config/httpd')).json.bind_address, '127.0.0.1');
    assert.equal((await server.req('GET', '/_config', { auth: alice })).status, 401);
    assert.equal((await server.req('PUT', '/_config/x/y', { auth: alice, body: 'z' })).status, 401);
  });

  test('a deleted key is gone and stays gone after writing the last INI file', async () => {
    await server.req('PUT', '/_config/trevok/flag', { body: 'on' });
    assert.deepEqual((await server.req('DELETE', '/_config/trevok/flag')).json, 'on');
    assert.equal((await server.req('GET', '/_config/trevok/flag')).status, 404);
    assert.equal(ini.merge([fs.readFileSync(instance.ini, 'utf8')]).trevok.flag, undefined);
  });

  test('a configured WWW-Authenticate challenge accompanies the 401', async () => {
    await server.req('PUT', '/_config/httpd/WWW-Authenticate', { body: 'Basic realm="server"' });
    try {
      const r = await server.req('GET', '/', { auth: null });
      assert.equal(r.headers.get('www-authenticate'), 'Basic realm="server"');
    } finally {
      await server.req('DELETE', '/_config/httpd/WWW-Authenticate');
    }
  });

  test('a stored admin password is a salted hash, in memory and in the INI file', async () => {
    const hash = (await server.req('GET', '/_config/admins/admin')).json;
    assert.match(hash, /^-pbkdf2-[0-9a-f]+,[0-9a-f]+,\d+$/);
    assert.ok(fs.readFileSync(instance.ini, 'utf8').includes(`admin = ${hash}`));
  });
});

describe('INI files', () => {
  test('a repeated section merges, later values win, comments are skipped', () => {
    const merged = ini.merge([
      '[couchdb]\nuuid = a\n; database_dir = /commented\n[httpd]\nport = 1 ; note\n[couchdb]\ndatabase_dir = /d\n',
      '[httpd]\nport = 2\nbind_address =\n',
    ]);
    assert.deepEqual(merged, { couchdb: { uuid: 'a', database_dir: '/d' }, httpd: { port: '2' } });
  });

  test('writing a key keeps the rest of the file and lands in the right section', () => {
    const text = '; top\n[a]\nx = 1\n\n[b]\ny = 2\n[a]\nz = 3\n';
    assert.equal(ini.setKey(text, 'a', 'x', '9'), '; top\n[a]\nx = 9\n\n[b]\ny = 2\n[a]\nz = 3\n');
    assert.equal(ini.setKey(text, 'b', 'w', '5'), '; top\n[a]\nx = 1\n\n[b]\ny = 2\nw = 5\n[a]\nz = 3\n');
    assert.deepEqual(ini.merge([ini.setKey(text, 'c', 'k', 'v')]).c, { k: 'v' });
  });

  test('a written file keeps its permissions; a new one is private', () => {
    const dir = fs.mkdtempSync(require('path').join(require('os').tmpdir(), 'ini-mode-'));
    try {
      const kept = `${dir}/kept.ini`;
      fs.writeFileSync(kept, '[admins]\n');
      for (const mode of [0o600, 0o640]) {
        fs.chmodSync(kept, mode);
        ini.setKeyInFile(kept, 'admins', 'admin', '-pbkdf2-x,y,10');
        assert.equal(fs.statSync(kept).mode & 0o777, mode);
      }
      ini.setKeyInFile(`${dir}/new.ini`, 'couchdb', 'uuid', 'u');
      assert.equal(fs.statSync(`${dir}/new.ini`).mode & 0o777, 0o600);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('persistent replications', () => {
  before(async () => {
    await server.req('PUT', '/src');
    await server.req('PUT', '/dst');
    await server.req('PUT', '/src/_design/sync', { body: { filters: {
      keep: 'function(doc, req){ return doc.keep === true; }',
    } } });
    await server.req('POST', '/src/_bulk_docs', { body: { docs: [
      { _id: 'k1', keep: true }, { _id: 'd1', keep: false },
    ] } });
  });

  test('a continuous filtered replication carries only matching documents', async () => {
    const put = await server.req('PUT', '/_replicator/cont', { body: {
      source: 'src', target: 'dst', filter: 'sync/keep', continuous: true,
    } });
    assert.equal(put.status, 201);
    await eventually(async () => (await docIds('dst')).includes('k1'), 10000, 'k1 replicated');
    await server.req('PUT', '/src/k2', { body: { keep: true } });
    await server.req('PUT', '/src/d2', { body: { keep: false } });
    await eventually(async () => (await docIds('dst')).includes('k2'), 10000, 'k2 replicated');
    assert.deepEqual((await docIds('dst')).sort(), ['k1', 'k2']);
    assert.equal((await replicationDoc('cont'))._replication_state, 'triggered');
    const stats = await eventually(async () => {
      const s = (await replicationDoc('cont'))._replication_stats;
      return s && s.docs_written >= 2 && s;
    }, 5000, 'stats');
    assert.ok(stats.docs_read >= 2);
  });

  test('a one-shot replication ends "completed" with its statistics', async () => {
    await server.req('PUT', '/_replicator/once', { body: { source: 'src', target: 'copy', create_target: true } });
    const doc = await eventually(async () => {
      const d = await replicationDoc('once');
      return d._replication_state === 'completed' && d;
    }, 10000, 'completed');
    assert.equal(doc._replication_stats.docs_written, 5);
    assert.deepEqual((await docIds('copy')).sort(), ['d1', 'd2', 'k1', 'k2']);
  });

  test('a replication whose source is missing ends "error"', async () => {
    await server.req('PUT', '/_replicator/broken', { body: { source: 'nosuchdb', target: 'dst' } });
    const doc = await eventually(async () => {
      const d = await replicationDoc('broken');
      return d._replication_state === 'error' && d;
    }, 10000, 'error');
    assert.ok(doc._replication_state_reason);
  });

  test('deleting the document by writing back a deleted copy stops the replication', async () => {
    await server.req('PUT', '/_replicator/doomed', { body: { source: 'src', target: 'doomed_dst', create_target: true, continuous: true } });
    await eventually(async () => (await server.req('GET', '/doomed_dst/k1')).status === 200, 10000, 'first copy');
    const current = await replicationDoc('doomed');
    assert.equal(current._replication_state, 'triggered');
    const del = await server.req('PUT', `/_replicator/doomed?rev=${current._rev}`, { body: { ...current, _deleted: true } });
    assert.equal(del.status, 201, del.text);
    await sleep(300);
    await server.req('PUT', '/src/after_delete', { body: { keep: true } });
    await sleep(1500);
    assert.equal((await server.req('GET', '/doomed_dst/after_delete')).status, 404);
    assert.equal((await server.req('GET', '/_replicator/doomed')).status, 404, 'not resurrected');
    assert.doesNotMatch(server.output, /unhandled|uncaught/);
  });
});

describe('robustness', () => {
  test('a non-admin PUT /db with require_valid_user off does not crash the server', async () => {
    const prev = await server.req('PUT', '/_config/couch_httpd_auth/require_valid_user', { body: 'false' });
    assert.deepEqual(prev.json, 'true');
    try {
      const r = await server.req('PUT', '/anon_db', { auth: null });
      assert.equal(r.status, 401);
      assert.equal((await server.req('GET', '/', { auth: null })).status, 200);
    } finally {
      await server.req('PUT', '/_config/couch_httpd_auth/require_valid_user', { body: 'true' });
    }
    assert.equal((await server.req('GET', '/', { auth: null })).status, 401);
    assert.doesNotMatch(server.output, /died/);
  });

  test('a killed server process is started again on the same port and data', async () => {
    const pid = server.childPid();
    assert.ok(pid && pid !== server.proc.pid);
    process.kill(pid, 'SIGKILL');
    await eventually(() => server.childPid() !== pid, 10000, 'new server process');
    await server.waitUntilAnswering();
    assert.match(server.output, /server process died/);
    assert.equal((await server.req('GET', '/projects/p1')).json.title, 'Beta');
    // The console follows replications after a crash too.
    await server.req('PUT', '/src/k3', { body: { keep: true } });
    await eventually(async () => (await docIds('dst')).includes('k3'), 10000, 'k3 replicated');
  });
});

describe('after a restart', () => {
  let onceRev;
  before(async () => {
    onceRev = (await replicationDoc('once'))._rev;
    const prev = await server.req('PUT', '/_config/admins/admin', { body: 'newsecret' });
    assert.match(prev.json, /^-pbkdf2-/, 'the old value comes back');
    await restart();
  });

  test('the changed admin password holds and the old one is refused', async () => {
    assert.equal((await server.req('GET', '/_all_dbs', { auth: ['admin', 'trevok'] })).status, 401);
    assert.equal((await server.req('GET', '/_all_dbs', { auth: ['admin', 'newsecret'] })).status, 200);
    assert.doesNotMatch(fs.readFileSync(instance.ini, 'utf8'), /newsecret/);
    const back = await server.req('PUT', '/_config/admins/admin', { auth: ['admin', 'newsecret'], body: 'trevok' });
    assert.equal(back.status, 200);
    assert.equal((await server.req('GET', '/_all_dbs', { auth: ['admin', 'newsecret'] })).status, 401,
      'the old password stops working at once');
    assert.equal((await server.req('GET', '/_all_dbs')).status, 200);
  });

  test('a continuous replication runs again', async () => {
    await server.req('PUT', '/src/k4', { body: { keep: true } });
    await eventually(async () => (await docIds('dst')).includes('k4'), 10000, 'k4 replicated');
  });

  test('a completed one-shot replication is not run again', async () => {
    await sleep(1000);
    const doc = await replicationDoc('once');
    assert.equal(doc._rev, onceRev);
    assert.equal(doc._replication_state, 'completed');
    assert.equal((await server.req('GET', '/copy/k4')).status, 404);
  });

  test('databases with escaped folders are found again', async () => {
    assert.equal((await server.req('GET', '/a%2Fb/d')).json.v, 'slash');
    assert.equal((await server.req('GET', '/ab/d')).json.v, 'plain');
    assert.ok((await server.req('GET', '/_all_dbs')).json.includes('a/b'));
  });

  test('a deleted replication stays stopped', async () => {
    await sleep(500);
    assert.equal((await server.req('GET', '/doomed_dst/k4')).status, 404);
    assert.equal((await server.req('GET', '/doomed_dst/after_delete')).status, 404);
  });
});
