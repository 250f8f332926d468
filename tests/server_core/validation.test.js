'use strict';
// Writes into a database with a validation function, as sync clients and
// replications make them, against the real server.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { SERVER_CORE, makeInstance, Server } = require('./harness');

const known = require(path.join(SERVER_CORE, 'lib/knownvalidation'));

let server;
const ben = ['ben', 'pw'];

before(async () => {
  server = new Server(await makeInstance());
  await server.start();
  await server.req('PUT', '/_users/org.couchdb.user:ben', { body: { name: 'ben', password: 'pw', roles: [], type: 'user' } });
  await server.req('PUT', '/udb');
  await server.req('PUT', '/udb/_security', { body: { admins: { names: [], roles: [] }, readers: { names: ['ben'], roles: [] } } });
  const rule = known.texts.HEAD + JSON.stringify(['P']) + known.texts.TAIL;
  assert.equal((await server.req('PUT', '/udb/_design/security', { body: { validate_doc_update: rule } })).status, 201);
});

after(() => server.stop());

test('a replicated update is stored as the revision it names, by a user and by a replication', async () => {
  for (const [who, auth] of [['user', ben], ['administrator', undefined]]) {
    const id = `stand-${who}`;
    const first = await server.req('PUT', `/udb/${id}`, { body: { projectID: 'P', text: 'cakes' } });
    const parent = first.json.rev.split('-')[1];
    const written = await server.req('POST', '/udb/_bulk_docs', {
      auth,
      body: { new_edits: false, docs: [{ _id: id, _rev: '2-abc', _revisions: { start: 2, ids: ['abc', parent] }, projectID: 'P', text: 'pies' }] },
    });
    assert.equal(written.status, 201, who);
    const stored = (await server.req('GET', `/udb/${id}`)).json;
    assert.equal(stored._rev, '2-abc', who);
    assert.equal(stored.text, 'pies', who);
  }
});

test('a refused document is refused alone, with CouchDB\'s words, and nothing of it is stored', async () => {
  const res = await server.req('POST', '/udb/_bulk_docs', {
    auth: ben,
    body: { docs: [{ _id: 'mine', projectID: 'P' }, { _id: 'theirs', projectID: 'Q' }] },
  });
  assert.equal(res.status, 201);
  const refused = res.json.find((r) => r.id === 'theirs');
  assert.equal(refused.error, 'forbidden');
  assert.equal(refused.reason, 'not a member of project Q');
  assert.ok(res.json.find((r) => r.id === 'mine').ok);
  assert.equal((await server.req('GET', '/udb/theirs')).status, 404);
  const put = await server.req('PUT', '/udb/theirs2', { auth: ben, body: { projectID: 'Q' } });
  assert.equal(put.status, 403);
  assert.deepEqual(put.json, { error: 'forbidden', reason: 'not a member of project Q' });
});

test('an administrator\'s write is still judged by a validation that reads the stored document', async () => {
  await server.req('PUT', '/locked');
  const rule = known.texts.HEAD + JSON.stringify(['P']) + known.texts.TAIL;
  assert.equal((await server.req('PUT', '/locked/_design/security', { body: { validate_doc_update: rule } })).status, 201);
  const first = await server.req('PUT', '/locked/doc', { body: { locked: true } });
  assert.equal(first.status, 201);
  const lock = 'function(newDoc, oldDoc) { if (oldDoc && oldDoc.locked) { throw({forbidden: "locked"}); } }';
  assert.equal((await server.req('PUT', '/locked/_design/lock', { body: { validate_doc_update: lock } })).status, 201);
  const update = await server.req('PUT', '/locked/doc', { body: { _rev: first.json.rev, locked: false } });
  assert.equal(update.status, 403);
  assert.deepEqual(update.json, { error: 'forbidden', reason: 'locked' });
});
