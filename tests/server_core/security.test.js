'use strict';
// What each account may do on the bundled server, and what no request may
// do to it, against the real launcher.

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const { makeInstance, Server, eventually, sleep, SERVER_CORE } = require('./harness');

const alice = ['alice', 'alicepw'];
const bob = ['bob', 'bobpw'];
const ADMIN_ONLY = { admins: { names: [], roles: [] }, members: { names: [], roles: ['_admin'] } };

let server;
let instance;

async function createUser(name, password, extra = {}) {
  const r = await server.req('PUT', `/_users/org.couchdb.user:${name}`, { body: {
    _id: `org.couchdb.user:${name}`, name, password, roles: [], type: 'user', owner: name,
    firstName: 'F', lastName: 'L', ...extra } });
  assert.equal(r.status, 201, r.text);
}

async function ownDoc(user) {
  return (await server.req('GET', `/_users/org.couchdb.user:${user[0]}`, { auth: user })).json;
}

// Login and _users still answer, promptly: nothing was left hung.
async function assertStillUsable(db) {
  const ctl = AbortSignal.timeout(5000);
  const session = await fetch(`${server.base}/_session`, { signal: ctl, headers: {
    Authorization: 'Basic ' + Buffer.from(alice.join(':')).toString('base64') } });
  assert.equal((await session.json()).userCtx.name, 'alice');
  assert.equal((await server.req('GET', '/_users/_all_docs')).status, 200);
  if (db) {
    const put = await server.req('PUT', `/${db}/probe-${crypto.randomUUID()}`, { body: { ok: true } });
    assert.equal(put.status, 201, put.text);
  }
}

before(async () => {
  instance = await makeInstance('[couchdb]\nos_process_timeout = 1000\n');
  server = new Server(instance);
  await server.start();
  await createUser(...alice);
  await createUser(...bob);
});

after(async () => {
  if (server) await server.stop();
  if (instance) fs.rmSync(instance.dir, { recursive: true, force: true });
});

describe('_users', () => {
  test('a user changes his password and profile, not what decides his rights', async () => {
    const cases = [
      ['roles', (d) => ({ ...d, roles: ['editors'] }), 'Only _admin may edit roles'],
      ['name', (d) => ({ ...d, name: 'alice2' }), null],
      ['type', (d) => ({ ...d, type: 'admin' }), null],
      ['owner', (d) => ({ ...d, owner: 'bob' }), null],
      ['derived_key', (d) => ({ ...d, derived_key: 'ab'.repeat(20) }), null],
      ['salt', (d) => ({ ...d, salt: 'cd'.repeat(16) }), null],
      ['iterations', (d) => ({ ...d, iterations: 1 }), null],
      ['password_scheme', (d) => ({ ...d, password_scheme: 'simple' }), null],
      ['password_sha', (d) => ({ ...d, password_sha: 'ab'.repeat(20) }), null],
      ['new field', (d) => ({ ...d, isAdmin: true }), null],
    ];
    for (const [what, change, reason] of cases) {
      const r = await server.req('PUT', '/_users/org.couchdb.user:alice', { auth: alice, body: change(await ownDoc(alice)) });
      assert.equal(r.status, 403, `${what}: ${r.text}`);
      assert.equal(r.json.error, 'forbidden', what);
      if (reason) assert.equal(r.json.reason, reason, what);
    }
    const doc = await ownDoc(alice);
    assert.deepEqual(doc.roles, []);
    const profile = await server.req('PUT', '/_users/org.couchdb.user:alice', { auth: alice,
      body: { ...doc, lastConnected: new Date().toISOString(), firstName: 'Alice' } });
    assert.equal(profile.status, 201, profile.text);
    // A new password alone, without the stored hash fields, is accepted.
    const { derived_key: _k, salt: _s, iterations: _i, password_scheme: _p, ...bare } = await ownDoc(alice);
    const pw = await server.req('PUT', '/_users/org.couchdb.user:alice', { auth: alice, body: { ...bare, password: 'alicepw2' } });
    assert.equal(pw.status, 201, pw.text);
    const changed = await ownDoc(['alice', 'alicepw2']);
    assert.equal(changed.password, undefined);
    assert.ok(changed.iterations >= 10000, `iterations ${changed.iterations}`);
    const back = await server.req('PUT', '/_users/org.couchdb.user:alice', { auth: ['alice', 'alicepw2'], body: { ...changed, password: 'alicepw' } });
    assert.equal(back.status, 201);
    assert.equal((await server.req('GET', '/_session', { auth: ['alice', 'alicepw2'] })).status, 401, 'old password cached no longer');
    // Another user's document stays out of reach, as before.
    const other = await server.req('PUT', '/_users/org.couchdb.user:bob', { auth: alice, body: { ...(await ownDoc(bob)), password: 'x' } });
    assert.equal(other.status, 403);
  });

  test('a deleted user document keeps no password hash, whoever deletes it', async () => {
    await createUser('carol', 'carolpw');
    await createUser('dave', 'davepw');
    // The console's way: a copy of the current body with _deleted set.
    const carol = (await server.req('GET', '/_users/org.couchdb.user:carol')).json;
    const del = await server.req('PUT', '/_users/org.couchdb.user:carol', { body: { ...carol, _deleted: true, password: 'sneaky' } });
    assert.equal(del.status, 201, del.text);
    // The user himself, with DELETE.
    const dave = await ownDoc(['dave', 'davepw']);
    const own = await server.req('DELETE', `/_users/org.couchdb.user:dave?rev=${dave._rev}`, { auth: ['dave', 'davepw'] });
    assert.equal(own.status, 200, own.text);
    for (const [id, rev] of [['carol', del.json.rev], ['dave', own.json.rev]]) {
      const gone = (await server.req('GET', `/_users/org.couchdb.user:${id}?rev=${rev}`)).json;
      assert.equal(gone._deleted, true, id);
      for (const k of ['derived_key', 'salt', 'password', 'password_sha']) assert.equal(gone[k], undefined, `${id} ${k}`);
    }
    assert.equal((await server.req('GET', '/_session', { auth: ['carol', 'carolpw'] })).status, 401);
  });

  test('new hashes use at least 10,000 iterations; older hashes still verify', async () => {
    const hash = (await server.req('GET', '/_config/admins/admin')).json;
    assert.ok(Number(hash.split(',')[2]) >= 10000, hash);
    const raw = (await server.req('GET', '/_users/org.couchdb.user:bob')).json;
    assert.ok(raw.iterations >= 10000);
    // A document from an older installation, hashed with 10 iterations.
    const salt = crypto.randomBytes(16).toString('hex');
    const key = crypto.pbkdf2Sync('oldpw', salt, 10, 20, 'sha1').toString('hex');
    const put = await server.req('PUT', '/_users/org.couchdb.user:olduser', { body: { name: 'olduser', type: 'user', roles: [],
      password_scheme: 'pbkdf2', iterations: 10, salt, derived_key: key } });
    assert.equal(put.status, 201, put.text);
    assert.equal((await server.req('GET', '/_session', { auth: ['olduser', 'oldpw'] })).json.userCtx.name, 'olduser');
    assert.equal((await server.req('GET', '/_session', { auth: ['olduser', 'wrong'] })).status, 401);
    // Setting fewer iterations does not weaken new hashes.
    await server.req('PUT', '/_config/couch_httpd_auth/iterations', { body: '5' });
    assert.ok(Number((await server.req('GET', '/_config/couch_httpd_auth/iterations')).json) >= 10000);
  });
});

describe('replications are for administrators', () => {
  test('a user gets 403 on every _replicator path and on _replicate', async () => {
    await server.req('PUT', '/_replicator/r1', { body: { source: 'a', target: 'b' } });
    const paths = [['GET', '/_replicator'], ['GET', '/_replicator/r1'], ['GET', '/_replicator/_all_docs'],
      ['GET', '/_replicator/_changes'], ['GET', '/_replicator/_changes?feed=longpoll'],
      ['PUT', '/_replicator/mine', { source: '_users', target: 'stolen', create_target: true }],
      ['POST', '/_replicator', { source: '_users', target: 'stolen' }],
      ['POST', '/_replicator/_bulk_docs', { docs: [{ source: '_users', target: 'stolen' }] }],
      ['GET', '/_replicator/_design/x/_view/y'],
      ['POST', '/_replicate', { source: '_users', target: 'stolen', create_target: true }],
      ['POST', '/_replicate', { source: 'trevok_user_db_bob', target: 'trevok_user_db_alice' }]];
    for (const [method, path, body] of paths) {
      const r = await server.req(method, path, { auth: alice, body });
      assert.equal(r.status, 403, `${method} ${path}: ${r.text}`);
      assert.equal(r.json.error, 'forbidden');
    }
    assert.equal((await server.req('GET', '/_replicator/_all_docs')).status, 200, 'admin');
    assert.ok(!(await server.req('GET', '/_all_dbs')).json.includes('stolen'));
  });
});

describe('a database for administrators only', () => {
  before(async () => {
    await server.req('PUT', '/trevok_master');
    await server.req('PUT', '/trevok_master/_design/meta', { body: {
      views: { all: { map: "function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.title,doc);};" } },
      filters: { all: 'function(doc, req) { return true; }' } } });
    const d = await server.req('PUT', '/trevok_master/p1', { body: { type: 'ProjectInfoDoc', title: 'T' } });
    await server.req('PUT', `/trevok_master/p1/a.txt?rev=${d.json.rev}`, { body: 'hello', raw: true });
    assert.equal((await server.req('PUT', '/trevok_master/_security', { body: ADMIN_ONLY })).status, 200);
  });

  test('no path lets a user in, and the administrator keeps every one', async () => {
    const paths = [['GET', '/trevok_master'], ['GET', '/trevok_master/p1'], ['GET', '/trevok_master/p1/a.txt'],
      ['GET', '/trevok_master/_all_docs'], ['GET', '/trevok_master/_changes'],
      ['GET', '/trevok_master/_changes?filter=meta/all'], ['GET', '/trevok_master/_design/meta'],
      ['GET', '/trevok_master/_design/meta/_view/all'], ['PUT', '/trevok_master/x', {}], ['POST', '/trevok_master', {}],
      ['POST', '/trevok_master/_bulk_docs', { docs: [{ _id: 'y' }] }], ['POST', '/trevok_master/_bulk_get', { docs: [{ id: 'p1' }] }],
      ['POST', '/trevok_master/_revs_diff', { p1: ['1-x'] }], ['POST', '/trevok_master/_find', { selector: {} }],
      ['POST', '/trevok_master/_temp_view', { map: 'function(doc){emit(doc._id)}' }],
      ['PUT', '/trevok_master/_design/evil', { views: {} }], ['GET', '/trevok_master/_security'],
      ['PUT', '/trevok_master/_security', {}]];
    for (const [method, path, body] of paths) {
      const r = await server.req(method, path, { auth: alice, body });
      assert.ok(r.status === 401 || r.status === 403, `${method} ${path}: ${r.status} ${r.text}`);
    }
    for (const path of ['/trevok_master/p1', '/trevok_master/_all_docs', '/trevok_master/_design/meta/_view/all',
      '/trevok_master/_changes?filter=meta/all', '/trevok_master/p1/a.txt']) {
      assert.equal((await server.req('GET', path)).status, 200, path);
    }
  });

  test('the server\'s own replications read and write it as before', async () => {
    await server.req('PUT', '/trevok_user_db_alice');
    await server.req('PUT', '/trevok_user_db_alice/n1', { body: { type: 'Note', projectID: 'P' } });
    await server.req('PUT', '/_replicator/in', { body: { source: 'trevok_user_db_alice', target: 'trevok_master', continuous: true } });
    await server.req('PUT', '/_replicator/out', { body: { source: 'trevok_master', target: 'master_copy', create_target: true, filter: 'meta/all' } });
    await eventually(async () => (await server.req('GET', '/trevok_master/n1')).status === 200, 10000, 'n1 in master');
    await eventually(async () => (await server.req('GET', '/_replicator/out')).json._replication_state === 'completed', 10000, 'out completed');
    assert.equal((await server.req('GET', '/master_copy/p1')).json.title, 'T');
  });
});

describe('bad input', () => {
  // Each a member of a document's JSON text, so that no client-side
  // serialiser gets in the way of the nesting.
  const bad = {
    'attachment data a number': '"_attachments":{"a.txt":{"content_type":"text/plain","data":12345}}',
    'attachment data an object': '"_attachments":{"a.txt":{"content_type":"text/plain","data":{"x":1}}}',
    'attachment data not base64': '"_attachments":{"a.txt":{"content_type":"text/plain","data":"not base64 !!!"}}',
    'attachment not an object': '"_attachments":{"a.txt":"aGVsbG8="}',
    'attachments an array': '"_attachments":[1,2]',
    'rev malformed': '"_rev":"abc"',
    'rev a number': '"_rev":12',
    'revisions malformed': '"_revisions":{"start":"x","ids":3}',
    'nested 5000 deep': `"a":${'['.repeat(5000)}${']'.repeat(5000)}`,
  };
  const withMember = (doc, member) => `${JSON.stringify(doc).slice(0, -1)}${Object.keys(doc).length ? ',' : ''}${member}}`;

  test('each bad document gets 400 and leaves the database usable', async () => {
    await server.req('PUT', '/plain');
    for (const [what, member] of Object.entries(bad)) {
      const direct = await server.req('PUT', `/plain/doc-${what.replace(/ /g, '-')}`, { body: `{${member}}`, raw: true });
      assert.equal(direct.status, 400, `${what}: ${direct.text}`);
      assert.equal(direct.json.error, 'bad_request', what);
      const bulk = await server.req('POST', '/plain/_bulk_docs', { body: `{"docs":[{"_id":"fine"},${withMember({ _id: 'b' }, member)}]}`, raw: true });
      assert.equal(bulk.status, 400, `bulk ${what}: ${bulk.text}`);
      await assertStillUsable('plain');
    }
    const id = await server.req('PUT', '/plain/numeric-id', { body: '{"_id":12}', raw: true });
    assert.equal(id.status, 400, id.text);
    assert.equal((await server.req('GET', '/plain/fine')).status, 404, 'a refused bulk request writes nothing');
  });

  test('a user\'s own _users document with bad attachments or revs does not hang logins', async () => {
    for (const [what, member] of Object.entries(bad)) {
      const doc = await ownDoc(bob);
      if (what.startsWith('rev')) delete doc._rev;
      const r = await server.req('PUT', '/_users/org.couchdb.user:bob', { auth: bob, body: withMember(doc, member), raw: true });
      assert.equal(r.status, 400, `${what}: ${r.text}`);
      await assertStillUsable();
      assert.equal((await server.req('GET', '/_session', { auth: bob })).json.userCtx.name, 'bob');
    }
  });

  test('malformed bodies of _bulk_docs and documents get CouchDB\'s errors', async () => {
    const cases = [
      ['POST', '/plain/_bulk_docs', '{"docs": "x"}', 'bad_request'],
      ['POST', '/plain/_bulk_docs', '{"docs": [1, 2]}', 'bad_request'],
      ['POST', '/plain/_bulk_docs', '{"docs": [null]}', 'bad_request'],
      ['POST', '/plain/_bulk_docs', '{"docs": [], "new_edits": "no"}', 'bad_request'],
      ['POST', '/plain/_bulk_docs', '[]', 'bad_request'],
      ['POST', '/plain/_bulk_docs', '{"docs": [', 'bad_request'],
      ['PUT', '/plain/x', '[1]', 'bad_request'],
      ['PUT', '/plain/x', '"text"', 'bad_request'],
      ['PUT', '/plain/x?rev=notarev', '{}', 'bad_request'],
      ['POST', '/plain', '{"a":', 'bad_request'],
    ];
    for (const [method, path, body, error] of cases) {
      const r = await server.req(method, path, { body, raw: true });
      assert.equal(r.status, 400, `${method} ${path} ${body}: ${r.text}`);
      assert.equal(r.json.error, error);
    }
    await assertStillUsable('plain');
  });
});

describe('multipart documents', () => {
  const put = (path, body) => fetch(`${server.base}${path}`, { method: 'PUT', headers: {
    Authorization: 'Basic ' + Buffer.from('admin:trevok').toString('base64'),
    'Content-Type': 'multipart/related; boundary="xyz"' }, body }).then(async (r) => ({ status: r.status, json: await r.json() }));
  const part = (headers, body) => `--xyz\r\n${headers}\r\n\r\n${body}\r\n`;

  test('a document with a following attachment is stored; a broken one gets 400', async () => {
    const doc = JSON.stringify({ title: 'm', _attachments: { 'n.txt': { follows: true, content_type: 'text/plain', length: 5 } } });
    const ok = await put('/plain/multi', `${part('Content-Type: application/json', doc)}${part('Content-Type: text/plain', 'hello')}--xyz--`);
    assert.equal(ok.status, 201, JSON.stringify(ok.json));
    assert.equal((await server.req('GET', '/plain/multi/n.txt')).text, 'hello');
    const broken = [
      `${part('Content-Type: application/json', '{"title": ')}--xyz--`,
      `${part('Content-Type: application/json', '{"_rev": "bad"}')}--xyz--`,
      `${part('Content-Type: application/json', doc)}--xyz--`,
      'no parts at all',
    ];
    for (const body of broken) {
      const r = await put('/plain/multi2', body);
      assert.equal(r.status, 400, `${body}: ${JSON.stringify(r.json)}`);
      assert.equal(r.json.error, 'bad_request');
    }
    await assertStillUsable('plain');
  });
});

describe('design-document functions run in a sandbox', () => {
  before(async () => {
    await server.req('PUT', '/sandboxed');
    // Open to every account on purpose: a database without a security
    // object is the administrators' alone.
    await server.req('PUT', '/sandboxed/_security', { body: { members: { names: [], roles: [] } } });
  });

  test('functions reaching for Node.js fail cleanly and the project texts work', async () => {
    const escapes = {
      req: "function(doc){ emit(typeof require('fs')); }",
      proc: 'function(doc){ emit(typeof process); }',
      ctor: "function(doc){ emit(this.constructor.constructor('return typeof process')()); }",
      glob: 'function(doc){ emit(typeof globalThis.process + typeof globalThis.Buffer + typeof setTimeout); }',
      fn: "function(doc){ emit(Function('return typeof process')()); }",
    };
    const views = {};
    for (const [k, map] of Object.entries(escapes)) views[k] = { map };
    views.project = { map: "function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.title,doc);};" };
    views.stats = { map: 'function(doc){ if (doc.n) emit(doc.n, doc.n); }', reduce: 'function(k, v, re){ return sum(v) + (isArray(v) ? 0 : 1); }' };
    await server.req('PUT', '/sandboxed/_design/d', { body: { views, filters: {
      user_to_master: "function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { return true; }}}",
      byProject: 'function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.projectID == req.query.p) { return true; } else { return false }}}',
      sneaky: "function(doc, req) { return require('child_process') ? true : false; }",
      json: 'function(doc, req) { return toJSON(doc).length > 0; }',
    } } });
    await server.req('POST', '/sandboxed/_bulk_docs', { body: { docs: [
      { _id: 'a', type: 'ProjectInfoDoc', title: 'A', projectID: 'P', n: 2 },
      { _id: 'b', type: 'UserInfoDoc', n: 3 }] } });
    for (const k of Object.keys(escapes)) {
      const r = await server.req('GET', `/sandboxed/_design/d/_view/${k}`);
      assert.equal(r.status, 200, `${k}: ${r.text}`);
      for (const row of r.json.rows) assert.match(String(row.key), /^(undefined)+$/, k);
    }
    assert.deepEqual((await server.req('GET', '/sandboxed/_design/d/_view/project')).json.rows.map((r) => r.key), ['A']);
    assert.equal((await server.req('GET', '/sandboxed/_design/d/_view/stats')).json.rows[0].value, 5);
    const ids = async (q) => (await server.req('GET', `/sandboxed/_changes?${q}`)).json.results.map((c) => c.id);
    assert.deepEqual((await ids('filter=d/user_to_master')).sort(), ['_design/d', 'a']);
    assert.deepEqual(await ids('filter=d/byProject&p=P'), ['a']);
    assert.deepEqual((await ids('filter=d/json')).sort(), ['_design/d', 'a', 'b']);
    assert.deepEqual(await ids('filter=_view&view=d/project'), ['a']);
    const sneaky = await server.req('GET', '/sandboxed/_changes?filter=d/sneaky');
    assert.equal(sneaky.status, 400, sneaky.text);
  });

  test('a runaway function fails its own call and the server keeps answering', async () => {
    await server.req('PUT', '/sandboxed/_design/loop', { body: {
      views: { spin: { map: 'function(doc){ while (true) {} }' } },
      filters: { spin: 'function(doc, req){ for (;;) {} }' },
      validate_doc_update: "function(newDoc){ if (newDoc.spin) { while (true) {} } if (newDoc.forbid) throw({forbidden: 'no'}); }",
    } });
    const started = Date.now();
    const pending = [
      server.req('GET', '/sandboxed/_design/loop/_view/spin'),
      server.req('GET', '/sandboxed/_changes?filter=loop/spin'),
      server.req('PUT', '/sandboxed/spinning', { auth: alice, body: { spin: true } }),
    ];
    const root = await server.req('GET', '/');
    assert.equal(root.status, 200);
    const [view, changes, write] = await Promise.all(pending);
    assert.equal(view.status, 200, view.text);
    assert.deepEqual(view.json.rows, [], 'no document got through the spinning map');
    assert.equal(changes.status, 400, changes.text);
    assert.ok(write.status >= 400, write.text);
    assert.ok(Date.now() - started < 30000);
    // A function that timed out fails at once for a few seconds.
    await sleep(5500);
    const forbid = await server.req('PUT', '/sandboxed/f', { auth: alice, body: { forbid: true } });
    assert.deepEqual(forbid.json, { error: 'forbidden', reason: 'no' });
    await assertStillUsable('sandboxed');
    assert.doesNotMatch(server.output, /server process died/);
  });
});

describe('the sandbox as the replicator calls it', () => {
  const sandbox = require(`${SERVER_CORE}/lib/sandbox.js`);
  before(() => sandbox.ready());

  test('results, errors and time-outs come back as the API promises', () => {
    const filter = sandbox.compile("function(doc, req) { return doc.type == req.query.t; }", { kind: 'filter' });
    assert.equal(filter({ type: 'a', big: 'x'.repeat(1000) }, { query: { t: 'a' } }), true);
    assert.equal(filter({ type: 'b' }, { query: { t: 'a' } }), false);
    const map = sandbox.compile('function(doc){ if (doc.n) emit(doc.n, [doc.n]); emit(null); };', { kind: 'map' });
    assert.deepEqual(map({ n: 2 }), [[2, [2]], [null, null]]);
    assert.equal(sandbox.compile('function(k, v, re){ return sum(v); }', { kind: 'reduce' })([], [1, 2, 3], false), 6);
    assert.throws(() => sandbox.compile('function( {', { kind: 'filter' }), /Expression does not eval to a function/);
    assert.throws(() => sandbox.compile('42', { kind: 'filter' }), /does not eval to a function/);
    const forbid = sandbox.compile("function(n, o, u){ throw({forbidden: 'no ' + u.name}); }", { kind: 'validate' });
    assert.throws(() => forbid({}, null, { name: 'bob' }), (e) => e.thrown.forbidden === 'no bob');
    assert.throws(() => sandbox.compile('function(){ return null.x; }')(), /TypeError/);
    assert.throws(() => sandbox.compile('function(){ for(;;){} }', { timeoutMs: 100 })(), /timed out/);
  });

  test('copying only the fields a filter reads changes no answer', () => {
    const doc = { _id: 'x', _deleted: false, type: 'UserInfoDoc', projectID: 'P', nested: { a: 1 } };
    const texts = [
      "function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { return true; }}}",
      "function(doc, req) { return Object.keys(doc).length; }",
      "function(doc) { return doc['projectID'] + doc.nested.a; }",
      "function(doc) { var d = 'doc'; return doc.type + d; }",
      "function(doc) { return toJSON(doc).length; }",
      "function(doc) { return arguments[0].projectID; }",
      "function(doc) { return doc.hasOwnProperty('projectID'); }",
    ];
    for (const text of texts) {
      const plain = new Function(`var toJSON = JSON.stringify; return (${text});`)();
      assert.deepEqual(sandbox.compile(text, { kind: 'filter' })(doc, { query: {} }), plain(doc, { query: {} }), text);
    }
    assert.deepEqual(sandbox.fieldsRead(texts[0]), ['_deleted', 'type']);
    assert.equal(sandbox.fieldsRead(texts[1]), null);
  });
});

describe('identity', () => {
  test('GET /_session names whoever every other request is served as', async () => {
    const login = await server.req('POST', '/_session', { auth: null, body: { name: 'admin', password: 'trevok' } });
    const cookie = login.headers.get('set-cookie').split(';')[0];
    const value = cookie.slice('AuthSession='.length);
    const b64 = (s) => Buffer.from(s).toString('base64');
    const variants = [
      { Authorization: `Basic ${b64('admin:trevok')}` },
      { Authorization: `Basic ${b64('admin:trevok')}.` },
      { Authorization: `Basic ${b64('admin:trevok')}=` },
      { Authorization: `Basic ${b64('admin:trevok').slice(0, 5)}-${b64('admin:trevok').slice(5)}` },
      { Authorization: `basic   ${b64('admin:trevok')}` },
      { Authorization: `Basic ${b64('alice:alicepw')}` },
      { Authorization: `Basic ${b64('alice:alicepw')}~` },
      { Authorization: 'Basic !!!!' },
      { Authorization: 'Bearer x' },
      { Cookie: cookie },
      { Cookie: `AuthSession =${value}` },
      { Cookie: `AuthSession\t=${value}` },
      { Cookie: ` AuthSession=${value} ` },
      { Cookie: `other=1; AuthSession=${value}` },
      { Cookie: `AuthSession=${value}; AuthSession=garbage` },
      { Cookie: 'AuthSession=garbage', Authorization: `Basic ${b64('admin:trevok')}` },
      { Cookie: `AuthSession=${value}`, Authorization: `Basic ${b64('alice:alicepw')}` },
    ];
    for (const headers of variants) {
      const get = (path) => fetch(server.base + path, { headers }).then(async (r) => ({ status: r.status, json: await r.json() }));
      const session = await get('/_session');
      const config = await get('/_config/httpd/port');
      const isAdmin = session.status === 200 && session.json.userCtx.roles.includes('_admin');
      assert.equal(config.status === 200, isAdmin, `${JSON.stringify(headers)}: session ${JSON.stringify(session.json)}, config ${config.status}`);
      const name = session.status === 200 ? session.json.userCtx.name : null;
      const users = await get('/_users/org.couchdb.user:alice');
      assert.equal(users.status === 200, name === 'alice' || isAdmin, JSON.stringify(headers));
    }
  });
});

describe('size limits', () => {
  let small;
  let smallInstance;
  before(async () => {
    smallInstance = await makeInstance('[couchdb]\nmax_document_size = 20000\nmax_attachment_size = 30000\n');
    small = new Server(smallInstance);
    await small.start();
    await small.req('PUT', '/db');
  });
  after(async () => {
    await small.stop();
    fs.rmSync(smallInstance.dir, { recursive: true, force: true });
  });

  test('every write path refuses what is too large, with CouchDB\'s errors', async () => {
    const big = 'x'.repeat(25000);
    const bigAtt = Buffer.alloc(40000, 1).toString('base64');
    const fine = small.req('PUT', '/db/ok', { body: { v: 'x'.repeat(15000), _attachments: { 'a.bin': { content_type: 'application/octet-stream', data: Buffer.alloc(25000, 1).toString('base64') } } } });
    assert.equal((await fine).status, 201, (await fine).text);
    const cases = [
      ['PUT', '/db/big', { body: { v: big } }, 'document_too_large'],
      ['POST', '/db', { body: { v: big } }, 'document_too_large'],
      ['POST', '/db/_bulk_docs', { body: { docs: [{ _id: 'small' }, { _id: 'b', v: big }] } }, 'document_too_large'],
      ['PUT', '/db/inline', { body: { _attachments: { 'a.bin': { content_type: 'x/y', data: bigAtt } } } }, 'attachment_too_large'],
      ['PUT', '/db/standalone/a.bin', { body: 'y'.repeat(40000), raw: true }, 'attachment_too_large'],
      ['PUT', '/db/huge', { body: { v: 'z'.repeat(200000) } }, 'too_large'],
    ];
    for (const [method, path, opts, error] of cases) {
      const r = await small.req(method, path, opts);
      assert.equal(r.status, 413, `${method} ${path}: ${r.text}`);
      assert.equal(r.json.error, error, `${method} ${path}`);
    }
    const multipart = await fetch(`${small.base}/db/mp`, { method: 'PUT', headers: {
      Authorization: 'Basic ' + Buffer.from('admin:trevok').toString('base64'),
      'Content-Type': 'multipart/related; boundary=abc' }, body: `--abc\r\nContent-Type: application/json\r\n\r\n{}\r\n--abc\r\n${'q'.repeat(200000)}\r\n--abc--` });
    assert.equal(multipart.status, 413);
    const mpAtt = await fetch(`${small.base}/db/mpatt`, { method: 'PUT', headers: {
      Authorization: 'Basic ' + Buffer.from('admin:trevok').toString('base64'),
      'Content-Type': 'multipart/related; boundary=abc' },
    body: `--abc\r\nContent-Type: application/json\r\n\r\n{"_attachments":{"b":{"follows":true}}}\r\n--abc\r\n\r\n${'q'.repeat(35000)}\r\n--abc--` });
    assert.equal(mpAtt.status, 413);
    assert.equal((await mpAtt.json()).error, 'attachment_too_large');
    assert.equal((await small.req('GET', '/db/small')).status, 404);
    assert.equal((await small.req('GET', '/db/ok')).status, 200);
  });

  test('the replicator\'s check gives the same answers', () => {
    const limits = require(`${SERVER_CORE}/lib/limits.js`);
    const config = { get: (s, k) => ({ couchdb: { max_document_size: '100', max_attachment_size: '10' } }[s] || {})[k] };
    assert.equal(limits.checkDocument({ _id: 'a', v: 'short' }, config), null);
    assert.deepEqual(limits.checkDocument({ _id: 'a', v: 'x'.repeat(200) }, config), { status: 413, error: 'document_too_large', reason: 'a' });
    assert.deepEqual(limits.checkDocument({ _id: 'a', _attachments: { f: { data: Buffer.alloc(11).toString('base64') } } }, config),
      { status: 413, error: 'attachment_too_large', reason: 'f' });
    assert.equal(limits.checkDocument({ _id: 'a', _attachments: { f: { stub: true, length: 1e9 } } }, config), null);
    assert.equal(limits.limitsFrom({ get: () => undefined }).maxDocumentSize, 8000000);
  });
});

describe('time limit of a request', () => {
  test('a request left unanswered gets 500 timeout and is logged; waiting feeds are left alone', async () => {
    await server.req('PUT', '/_config/httpd/request_timeout', { body: '1500' });
    try {
      // A body announced and never sent keeps the request open.
      const net = require('net');
      const answer = await new Promise((resolve, reject) => {
        const sock = net.connect(instance.port, '127.0.0.1', () => {
          sock.write(`PUT /plain/slow HTTP/1.1\r\nHost: x\r\nAuthorization: Basic ${Buffer.from('admin:trevok').toString('base64')}\r\n` +
            'Content-Type: application/json\r\nContent-Length: 100\r\n\r\n{"a":');
        });
        let text = '';
        sock.on('data', (d) => { text += d; if (text.includes('\r\n\r\n') && text.includes('}')) { sock.destroy(); resolve(text); } });
        sock.on('error', reject);
        setTimeout(() => { sock.destroy(); resolve(text); }, 8000);
      });
      assert.match(answer, /^HTTP\/1\.1 500/);
      assert.match(answer, /"error":"timeout"/);
      // The log line travels through the server's output pipe, which may be
      // read after the answer has arrived over the socket.
      for (let i = 0; i < 50 && !/not answered within 1500 ms/.test(server.output); i++) await sleep(100);
      assert.match(server.output, /not answered within 1500 ms/);
      const since = (await server.req('GET', '/plain/_changes')).json.last_seq;
      const feed = server.req('GET', `/plain/_changes?feed=longpoll&since=${since}`);
      await sleep(2500);
      await server.req('PUT', '/plain/late', { body: {} });
      const r = await feed;
      assert.equal(r.status, 200);
      assert.deepEqual(r.json.results.map((c) => c.id), ['late']);
    } finally {
      await server.req('DELETE', '/_config/httpd/request_timeout');
    }
  });
});
