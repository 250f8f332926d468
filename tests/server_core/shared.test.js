'use strict';
// What one account can do to the others on a server they share: hold its
// thread, write design documents, store revisions that break the database,
// learn which databases exist. Against the real launcher.

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { makeInstance, Server, eventually } = require('./harness');

const alice = ['alice', 'alicepw'];
const bob = ['bob', 'bobpw'];
// Above the defaults, so that a request of this size would hold the thread
// for seconds if it were done in one go.
const MAX = 20000;

let server;
let instance;

async function account(user, db) {
  const [name, password] = user;
  let r = await server.req('PUT', `/_users/org.couchdb.user:${name}`, { body: {
    _id: `org.couchdb.user:${name}`, name, password, roles: [], type: 'user' } });
  assert.equal(r.status, 201, r.text);
  r = await server.req('PUT', `/${db}`);
  assert.equal(r.status, 201, r.text);
  r = await server.req('PUT', `/${db}/_security`, { body: { members: { names: [name], roles: [] } } });
  assert.equal(r.status, 200, r.text);
}

before(async () => {
  instance = await makeInstance(`[couchdb]\nmax_bulk_docs_count = ${MAX}\nmax_bulk_get_count = ${MAX}\n`);
  server = new Server(instance);
  await server.start();
  await account(alice, 'adb');
  await account(bob, 'bdb');
  await server.req('PUT', '/bdb/seen', { body: { v: 1 } });
  const docs = Array.from({ length: 2000 }, (_, i) => ({ _id: `d${i}`, v: i }));
  assert.equal((await server.req('POST', '/adb/_bulk_docs', { body: { docs } })).status, 201);
  // A view of the administrator's, as the console's own design documents are;
  // the second row of each document links the one before it.
  const map = "function (doc) { emit(doc._id, null); if (doc.v > 0) emit([doc._id], {_id: 'd' + (doc.v - 1)}); }";
  assert.equal((await server.req('PUT', '/adb/_design/look', { body: { views: { byId: { map } } } })).status, 201);
  assert.equal((await server.req('GET', '/adb/_design/look/_view/byId?limit=1')).status, 200);
});

after(async () => {
  if (server) await server.stop();
  if (instance) fs.rmSync(instance.dir, { recursive: true, force: true });
});

describe('one account does not hold the server', () => {
  const ids = (n) => Array.from({ length: n }, (_, i) => `d${i % 3000}`);
  const cases = [
    ['_all_docs with keys', 'POST', '/adb/_all_docs', () => ({ keys: ids(MAX) }), 200],
    ['_all_docs with keys and documents', 'POST', '/adb/_all_docs?include_docs=true', () => ({ keys: ids(MAX) }), 200],
    ['_bulk_get', 'POST', '/adb/_bulk_get', () => ({ docs: ids(MAX).map((id) => ({ id })) }), 200],
    ['_revs_diff', 'POST', '/adb/_revs_diff',
      () => Object.fromEntries(Array.from({ length: MAX }, (_, i) => [`r${i}`, ['1-abc']])), 200],
    ['_bulk_docs', 'POST', '/adb/_bulk_docs',
      () => ({ docs: Array.from({ length: MAX }, (_, i) => ({ _id: `new${i}`, v: i })) }), 201],
    ['a view with keys', 'POST', '/adb/_design/look/_view/byId', () => ({ keys: ids(MAX) }), 200],
    ['a view with keys and documents', 'POST', '/adb/_design/look/_view/byId?include_docs=true', () => ({ keys: ids(MAX) }), 200],
    ['_find with $regex', 'POST', '/adb/_find', () => ({ selector: { _id: { $regex: '^(a+)+$' } } }), 400],
    ['_changes with a $regex selector', 'POST', '/adb/_changes?filter=_selector',
      () => ({ selector: { v: { $regex: '^(a+)+$' } } }), 400],
    ['_all_docs beyond the bound', 'POST', '/adb/_all_docs', () => ({ keys: ids(MAX + 1) }), 400],
    ['_bulk_docs beyond the bound', 'POST', '/adb/_bulk_docs', () => ({ docs: ids(MAX + 1).map((id) => ({ _id: `x${id}` })) }), 400],
  ];
  for (const [what, method, path, body, status] of cases) {
    test(`${what}: another account is answered within a second`, async () => {
      const heavy = server.req(method, path, { auth: alice, body: body() });
      await new Promise((r) => setTimeout(r, 100));
      const started = Date.now();
      const other = await server.req('GET', '/bdb/seen', { auth: bob });
      const waited = Date.now() - started;
      assert.equal(other.status, 200, other.text);
      const r = await heavy;
      assert.equal(r.status, status, r.text.slice(0, 300));
      if (status === 400) assert.equal(r.json.error, 'bad_request');
      assert.ok(waited < 1000, `${what}: the other account waited ${waited} ms`);
    });
  }

  test('key lists in pieces answer as one list would', async () => {
    const keys = ['d5', 'missing', ...ids(300).slice(10), 'd1'];
    const r = await server.req('POST', '/adb/_all_docs?skip=2&limit=250&descending=true', { auth: alice, body: { keys } });
    assert.equal(r.status, 200, r.text);
    assert.deepEqual(r.json.rows.map((row) => row.key), keys.slice(2, 252).reverse());
  });

  test('a view in pieces answers as one query would', async () => {
    const keys = ['d5', 'missing', ['d7'], ...ids(300).slice(10), 'd1'];
    const r = await server.req('POST', '/adb/_design/look/_view/byId?include_docs=true&skip=1&limit=250', { auth: alice, body: { keys } });
    assert.equal(r.status, 200, r.text);
    const rows = r.json.rows;
    assert.deepEqual(rows.map((row) => row.key), keys.filter((k) => k !== 'missing').slice(1, 251));
    assert.deepEqual(rows[0].key, ['d7']);
    assert.equal(rows[0].doc._id, 'd6', 'a linked document');
    assert.ok(rows.slice(1).every((row) => row.doc && row.doc._id === row.id), 'each row its document');
    const all = await server.req('GET', '/adb/_design/look/_view/byId?include_docs=true', { auth: alice });
    assert.equal(all.json.rows.length, all.json.total_rows);
    const originals = all.json.rows.filter((row) => /^d\d+$/.test(row.id));
    assert.equal(originals.length, 2 * 2000 - 1);
    assert.ok(originals.every((row) => row.doc && row.doc._id === (row.value ? row.value._id : row.id)));
  });
});

describe('design documents come from administrators only', () => {
  const ddocCount = async () => (await server.req('GET', '/adb/_all_docs?startkey="_design/"&endkey="_design0"')).json.rows;
  before(async () => {
    const r = await server.req('PUT', '/adb/_design/security', { body: { validate_doc_update: 'function(){}' } });
    assert.equal(r.status, 201, r.text);
  });
  const routes = [
    ['PUT', 'PUT', '/adb/_design/mine', { views: {} }],
    ['POST', 'POST', '/adb', { _id: '_design/mine' }],
    ['DELETE', 'DELETE', '/adb/_design/security', undefined, true],
    ['_index', 'POST', '/adb/_index', { index: { fields: ['v'] } }],
    ['_index into an existing one', 'POST', '/adb/_index', { index: { fields: ['v'] }, ddoc: 'security', name: 'x' }],
    ['a failing _index into an existing one', 'POST', '/adb/_index', { index: { fields: [{ v: 'sideways' }] }, ddoc: 'security' }],
    ['_index deletion', 'DELETE', '/adb/_index/_design/security/json/x'],
    ['an attachment', 'PUT', '/adb/_design/security/file.txt', 'text', true],
  ];
  for (const [what, method, path, body, withRev] of routes) {
    test(`${what}: refused, nothing changes`, async () => {
      const beforeRows = await ddocCount();
      const rev = beforeRows.find((row) => row.id === '_design/security').value.rev;
      const url = withRev ? `${path}?rev=${rev}` : path;
      const r = typeof body === 'string'
        ? await fetch(server.base + url, { method, body, headers: { 'Content-Type': 'text/plain',
          Authorization: 'Basic ' + Buffer.from(alice.join(':')).toString('base64') } })
        : await server.req(method, url, { auth: alice, body });
      assert.ok(r.status === 401 || r.status === 403, `${what}: ${r.status}`);
      assert.deepEqual(await ddocCount(), beforeRows, what);
    });
  }
  test('_bulk_docs refuses the design document alone', async () => {
    const r = await server.req('POST', '/adb/_bulk_docs', { auth: alice, body: { docs: [{ _id: '_design/mine' }, { _id: 'plain' }] } });
    assert.equal(r.status, 201, r.text);
    assert.equal(r.json[0].id, '_design/mine');
    assert.ok(r.json[0].error, r.text);
    assert.equal(r.json[1].ok, true);
    assert.equal((await server.req('GET', '/adb/_design/mine')).status, 404);
  });
});

describe('revisions as strict as CouchDB, and no stricter', () => {
  // [rev, PUT of a new document, per document in _bulk_docs (new_edits true,
  // then false), whether new_edits=false stores it]. 'whole' is a 400 for the
  // whole request, as CouchDB refuses an unreadable revision.
  const forms = [
    ['1-abcdef', 409, 'conflict', null, true],
    ['1-', 409, 'conflict', null, true],
    ['1-a_b', 409, 'conflict', null, true],
    ['2-a-b', 409, 'conflict', null, true],
    ['9007199254740993-aa', 400, 'bad_request', 'bad_request', false],
    ['99999999999999999999-aa', 400, 'bad_request', 'bad_request', false],
    ['abc', 400, 'whole', 'whole', false],
    ['-1-aa', 400, 'whole', 'whole', false],
    ['x-aa', 400, 'whole', 'whole', false],
  ];
  forms.forEach(([rev, put, inBulk, inReplication, stored], i) => {
    test(`revision ${JSON.stringify(rev)}`, async () => {
      const r = await server.req('PUT', `/adb/put${i}`, { auth: alice, body: { _rev: rev } });
      assert.equal(r.status, put, `PUT: ${r.text}`);
      for (const [newEdits, expected] of [[true, inBulk], [false, inReplication]]) {
        const id = `bulk${i}-${newEdits}`;
        const b = await server.req('POST', '/adb/_bulk_docs', { auth: alice,
          body: { new_edits: newEdits, docs: [{ _id: id, _rev: rev }, { _id: `${id}-next`, _rev: '1-ok' }] } });
        if (expected === 'whole') {
          assert.equal(b.status, 400, b.text);
          continue;
        }
        assert.equal(b.status, 201, b.text);
        const mine = b.json.find((row) => row.id === id);
        if (expected) assert.equal(mine && mine.error, expected, `new_edits ${newEdits}: ${b.text}`);
        else assert.equal(mine, undefined, `new_edits ${newEdits}: ${b.text}`);
        if (!newEdits) {
          assert.equal((await server.req('GET', `/adb/${id}-next`)).status, 200, 'the rest of the batch is stored');
          const read = await server.req('GET', `/adb/${id}?rev=${encodeURIComponent(rev)}`);
          assert.equal(read.status, stored ? 200 : 404, `stored: ${read.text}`);
        }
      }
    });
  });

  test('_revisions that would place revisions outside the safe range', async () => {
    const docs = [
      { _id: 'rv1', _rev: '9007199254740993-aa', _revisions: { start: 9007199254740993, ids: ['aa'] } },
      { _id: 'rv2', _rev: '1-bb', _revisions: { start: 1, ids: ['bb', 'aa'] } },
      { _id: 'rv3', _rev: '2-bb', _revisions: { start: 2, ids: ['bb', 'aa'] } },
      // What the engine itself sends on for a "1-" it holds.
      { _id: 'rv4', _rev: '1-', _revisions: { start: 1, ids: [''] } },
    ];
    const r = await server.req('POST', '/adb/_bulk_docs', { auth: alice, body: { new_edits: false, docs } });
    assert.equal(r.status, 201, r.text);
    assert.deepEqual(r.json.map((row) => [row.id, row.error]), [['rv1', 'bad_request'], ['rv2', 'bad_request']]);
    assert.equal((await server.req('GET', '/adb/rv3')).json._rev, '2-bb');
  });

  test('after every form, the feed and a replication of the database still run', async () => {
    const changes = await server.req('GET', '/adb/_changes', { auth: alice });
    assert.equal(changes.status, 200, changes.text.slice(0, 300));
    assert.ok(changes.json.results.some((c) => c.id === 'rv3'));
    const rep = await server.req('POST', '/_replicate', { body: { source: 'adb', target: 'copy', create_target: true } });
    assert.equal(rep.status, 200, rep.text);
    for (const id of ['rv3', 'rv4', 'bulk1-false']) {
      await eventually(async () => (await server.req('GET', `/copy/${id}`)).status === 200, 10000, `${id} in the copy`);
    }
    assert.doesNotMatch(server.output, /uncaught exception|unhandled rejection/);
  });

  test('_bulk_docs answers in request order, repeated ids included', async () => {
    const docs = Array.from({ length: 250 }, (_, i) => ({ _id: `ord${i % 120}`, n: i }));
    const r = await server.req('POST', '/adb/_bulk_docs', { auth: alice, body: { docs } });
    assert.equal(r.status, 201, r.text);
    assert.deepEqual(r.json.map((row) => row.id), docs.map((d) => d._id));
    assert.deepEqual(r.json.map((row) => (row.ok ? 'ok' : row.error)), docs.map((d, i) => (i < 120 ? 'ok' : 'conflict')));
  });

  test('local documents take no attachments', async () => {
    const att = { 'a.txt': { content_type: 'text/plain', data: 'aGVsbG8=' } };
    const put = await server.req('PUT', '/adb/_local/l1', { auth: alice, body: { _attachments: att } });
    assert.equal(put.status, 400, put.text);
    const bulk = await server.req('POST', '/adb/_bulk_docs', { auth: alice, body: { docs: [{ _id: '_local/l2', _attachments: att }] } });
    assert.equal(bulk.json[0].error, 'bad_request', bulk.text);
    assert.equal((await server.req('GET', '/adb/_local/l2')).status, 404);
  });
});

describe('answers tell nothing about other databases or the internals', () => {
  before(async () => {
    await server.req('PUT', '/unsecured');
    await server.req('PUT', '/bdb/_design/r', { body: { rewrites: [{ from: '/x', to: '../../seen' }] } });
  });
  // Each pair must get the same answer: another account's database, and one
  // that is not there (or not secured by anyone yet).
  const pairs = [
    ['a database', '/bdb', '/nothere'],
    ['an unsecured database', '/unsecured', '/nothere'],
    ['a document', '/bdb/seen', '/nothere/seen'],
    ['a rewrite', '/bdb/_design/r/_rewrite/x', '/nothere/_design/r/_rewrite/x'],
    ['a rewrite in the query string', '/adb/d1?q=/bdb/_design/r/_rewrite/x', '/adb/d1?q=/nothere/_design/r/_rewrite/x'],
  ];
  for (const [what, theirs, absent] of pairs) {
    test(what, async () => {
      const a = await server.req('GET', theirs, { auth: alice });
      const b = await server.req('GET', absent, { auth: alice });
      assert.deepEqual([a.status, a.json], [b.status, b.json], what);
    });
  }
  test('the list of databases is for administrators', async () => {
    assert.equal((await server.req('GET', '/_all_dbs', { auth: alice })).status, 401);
    assert.equal((await server.req('GET', '/_all_dbs')).status, 200);
  });
  test('a rewrite of his own database still works', async () => {
    await server.req('PUT', '/adb/_design/r', { body: { rewrites: [{ from: '/x', to: '../../d1' }] } });
    assert.equal((await server.req('GET', '/adb/_design/r/_rewrite/x', { auth: alice })).json._id, 'd1');
  });
  test('the server names itself without versions', async () => {
    const r = await server.req('GET', '/', { auth: alice });
    assert.equal(r.headers.get('server'), 'server-core');
    assert.equal(r.headers.get('x-powered-by'), null);
  });
});
