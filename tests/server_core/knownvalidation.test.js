'use strict';
// The access rule of a user database, judged without the sandbox, must give
// the sandbox's verdict and reason on every write, and must be recognised in
// exactly the text the console writes (read here from its own sources).

const { test, before } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { SERVER_CORE } = require('./harness');

const sandbox = require(path.join(SERVER_CORE, 'lib/sandbox'));
const known = require(path.join(SERVER_CORE, 'lib/knownvalidation'));

const REPO = path.resolve(__dirname, '../..');

// The C++ string literals from `start` up to the next `;` at a line's end.
function cppText(file, start) {
  const text = fs.readFileSync(path.join(REPO, file), 'utf8');
  const from = text.indexOf(start);
  assert.ok(from >= 0, `${start} in ${file}`);
  const body = text.slice(from + start.length, text.indexOf(');\n', from));
  const parts = [];
  for (const m of body.matchAll(/"((?:[^"\\]|\\.)*)"/g)) parts.push(m[1].replace(/\\(.)/g, '$1'));
  return parts.join('');
}

const head = cppText('records/UserNames.cpp', 'const QString kAccessValidationHead =');
const tail = cppText('records/UserNames.cpp', 'const QString kAccessValidationTail =');
const rule = (projects) => head + JSON.stringify(projects) + tail;

before(() => sandbox.ready());

test('the console\'s text is the one recognised, and nothing else is', () => {
  assert.deepEqual(known.projectsOf(rule(['P1', 'P2'])), ['P1', 'P2']);
  assert.deepEqual(known.projectsOf(rule([])), []);
  for (const text of [rule(['P1']) + ' ', ' ' + rule(['P1']), head + '["P1"].concat(["x"])' + tail,
    head + '["P1"] /* */' + tail, head + '{"a":1}' + tail, head + '[1]' + tail,
    rule(['P1']).replace('not a member', 'not  a member'), null, 7]) {
    assert.equal(known.projectsOf(text), null, JSON.stringify(text));
  }
});

const user = { db: 'trevok_user_db_ann', name: 'ann', roles: [] };
const admin = { db: 'trevok_user_db_ann', name: null, roles: ['_admin'] };
const mine = 'AAAA-1';
const other = 'BBBB-2';

// [what, newDoc, oldDoc, userCtx]
const writes = [
  ['a document of no project', { _id: 'n', text: 'x' }, null, user],
  ['into his project', { _id: 'd', projectID: mine }, null, user],
  ['into another project', { _id: 'd', projectID: other }, null, user],
  ['out of another project', { _id: 'd', projectID: mine }, { _id: 'd', projectID: other }, user],
  ['between his projects', { _id: 'd', projectID: mine }, { _id: 'd', projectID: mine }, user],
  ['projectID as a list', { _id: 'd', projectID: [other] }, null, user],
  ['projectID as a number', { _id: 'd', projectID: 42 }, null, user],
  ['projectID null', { _id: 'd', projectID: null }, null, user],
  ['projectID a near miss', { _id: 'd', projectID: mine + ' ' }, null, user],
  ['projectID of a prototype name', { _id: 'd', projectID: 'constructor' }, null, user],
  ['a project record', { _id: 'r', type: 'ProjectInfoDoc', projectID: mine }, null, user],
  ['a record as a list', { _id: 'r', type: ['ProjectInfoDoc'] }, null, user],
  ['a record as an object', { _id: 'r', type: { a: 'ProjectInfoDoc' } }, null, user],
  ['a secret record', { _id: 'r', type: 'SecretProjectInfoDoc' }, null, user],
  ['changing a record', { _id: 'r', title: 'x' }, { _id: 'r', type: 'ProjectInfoDoc' }, user],
  ['deleting a record', { _id: 'r', _rev: '2-a', _deleted: true }, { _id: 'r', type: 'ProjectInfoDoc' }, user],
  ['over his project\'s record id', { _id: mine, text: 'x' }, null, user],
  ['the master record', { _id: 'trevokMasterID', masterID: 'x' }, null, user],
  ['a design document', { _id: '_design/x', views: {} }, null, user],
  ['an ordinary deletion', { _id: 'd', _rev: '2-a', _deleted: true }, { _id: 'd', projectID: mine }, user],
  ['a replicated deletion', { _id: 'd', _rev: '3-a', _deleted: true, _revisions: { start: 3, ids: ['a'] } }, null, user],
  ['a deletion with data', { _id: 'd', _deleted: true, body: 'x'.repeat(100) }, null, user],
  ['a deletion with a project', { _id: 'd', _deleted: true, projectID: mine }, null, user],
  ['a deletion in another project', { _id: 'd', _deleted: true }, { _id: 'd', projectID: other }, user],
  ['a deletion marked by text', { _id: 'd', _deleted: 'yes', type: 'x' }, null, user],
  ['an undeletion with data', { _id: 'd', _deleted: false, type: 'x' }, null, user],
  ['the administrator into any project', { _id: 'd', projectID: other }, null, admin],
  ['the server\'s replication: a record', { _id: 'r', type: 'ProjectInfoDoc' }, null, { name: null, roles: ['_admin'] }],
  ['roles as text', { _id: 'd', projectID: other }, null, { name: 'ann', roles: '_admin' }],
  ['no roles', { _id: 'd', projectID: other }, null, { name: 'ann' }],
  ['no user context', { _id: 'd', projectID: other }, null, null],
];

function outcome(fn, args) {
  try {
    fn(...args);
    return 'admitted';
  } catch (e) {
    const thrown = e && e.thrown !== undefined ? e.thrown : e;
    return thrown && thrown.forbidden !== undefined ? `forbidden: ${thrown.forbidden}` : `error: ${e.message}`;
  }
}

test('every write gets the sandbox\'s verdict and reason', () => {
  const text = rule([mine, 'CCCC-3']);
  const slow = sandbox.compile(text, { kind: 'validate' });
  let compiled = 0;
  const fast = known.validatorFor(text, () => { compiled++; return slow; });
  for (const [what, newDoc, oldDoc, userCtx] of writes) {
    const args = [newDoc, oldDoc, userCtx, {}];
    assert.equal(outcome(fast, args), outcome(slow, args), what);
  }
  // Only the documents whose judgement converts a value to text need it.
  assert.ok(compiled <= 1);
});

test('what a client is told', () => {
  const fast = known.validatorFor(rule([mine]), () => assert.fail('sandbox'));
  const told = (newDoc, oldDoc = null) => outcome(fast, [newDoc, oldDoc, user, {}]);
  assert.equal(told({ _id: 'd', projectID: other }), `forbidden: not a member of project ${other}`);
  assert.equal(told({ _id: 'd', projectID: mine }), 'admitted');
  assert.equal(told({ _id: 'd', _deleted: true, x: 1 }), 'forbidden: a deletion carries no data, but this one has x');
});
