'use strict';
// The console's replication filters, evaluated without the sandbox, must
// give the sandbox's verdict on every document, and must be recognised in
// exactly the texts the console saves (read here from its own sources).

const { test, before } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { SERVER_CORE } = require('./harness');

const sandbox = require(path.join(SERVER_CORE, 'lib/sandbox'));
const known = require(path.join(SERVER_CORE, 'lib/knownfilters'));

const REPO = path.resolve(__dirname, '../..');

// The C++ string literals from `start` up to the next `;`, joined, with the
// escapes the sources use undone; `arg` stands for a function's argument.
function cppText(file, start, arg = '') {
  const text = fs.readFileSync(path.join(REPO, file), 'utf8');
  const from = text.indexOf(start);
  assert.ok(from >= 0, `${start} in ${file}`);
  const end = text.indexOf(';\n', from);
  const body = text.slice(from + start.length, end);
  const parts = [];
  const re = /"((?:[^"\\]|\\.)*)"|\b([a-zA-Z]+)\s*\+/g;
  for (let m; (m = re.exec(body));) {
    if (m[1] !== undefined) parts.push(m[1].replace(/\\(.)/g, '$1'));
    else if (m[2] === arg) parts.push('\u0000');
  }
  return parts.join('');
}

const consoleTexts = {
  userToMaster: cppText('records/UserNames.cpp', 'QString userToMasterFilterSource() {'),
  projectToMaster: cppText('records/ProjectNames.cpp', 'const QString kProjectToMasterFilter ='),
  projectToUser: cppText('records/ProjectNames.cpp', 'const QString kProjectToUserFilter ='),
  masterToProject: cppText('records/ProjectNames.cpp',
    'QString masterToProjectFilter(const QString& projectID) {', 'projectID'),
};

const masterToProject = (id) => consoleTexts.masterToProject.replace('\u0000', id);

before(() => sandbox.ready());

test('the console\'s four filter texts are the ones recognised', () => {
  assert.equal(known.recognise(consoleTexts.userToMaster).kind, 'user-to-master-guarded');
  // The text of databases made before the guard, until login mends them.
  assert.equal(known.recognise(known.texts.USER_TO_MASTER).kind, 'user-to-master');
  assert.equal(known.recognise(consoleTexts.projectToMaster).kind, 'project-to-master');
  assert.equal(known.recognise(consoleTexts.projectToUser).kind, 'project-to-user');
  const m = known.recognise(masterToProject('8f1c2e'));
  assert.equal(m.kind, 'master-to-project');
  assert.equal(m.projectID, '8f1c2e');
});

test('a text that differs in any way, or an id that is not plain text, goes to the sandbox', () => {
  const base = consoleTexts.userToMaster;
  for (const text of [base + ' ', ' ' + base, base.replace('UserInfoDoc', 'UserInfoDoC'),
    base.replace('return false', 'return  false'), masterToProject('a"b'), masterToProject('a\\"'),
    masterToProject('a\nb'), masterToProject('x") { return true; } {("'),
    consoleTexts.masterToProject.replace('\u0000', '') + ';', null, 42]) {
    assert.equal(known.recognise(text), null, JSON.stringify(text));
  }
});

const docs = [
  { _id: 'plain' },
  { _id: '_design/x', projectID: 'p1', type: 'UserInfoDoc' },
  { _id: '_design/x', _deleted: true },
  { _id: 'del', _deleted: true },
  { _id: 'del0', _deleted: 0, projectID: 'p1' },
  { _id: 'delEmpty', _deleted: '', type: 'UserInfoDoc' },
  { _id: 'delText', _deleted: 'no' },
  { _id: 'delObj', _deleted: {} },
  { _id: 'a_design/x' },
  { _id: 'u1', type: 'UserInfoDoc' },
  { _id: 'u2', type: 'userinfodoc' },
  { _id: 'u3', type: ['UserInfoDoc'] },
  { _id: 'u4', type: { toString: 'UserInfoDoc' } },
  { _id: 'u5', type: null },
  { _id: 'u6', type: 0 },
  { _id: 'u7', type: true },
  { _id: 's1', type: 'SecretProjectInfoDoc' },
  { _id: 's2', type: ['SecretProjectInfoDoc'] },
  { _id: 's3', type: 'ProjectInfoDoc', projectID: 'p1' },
  { _id: 's4', type: 'ProjectInfoDoc', _deleted: true },
  { _id: 'trevokMasterID', type: 'MasterInfoDoc' },
  { _id: 'trevokMasterID', _deleted: true },
  { _id: 'p1', projectID: 'p1' },
  { _id: 'p2', projectID: 'p2' },
  { _id: 'p3', projectID: ['p1'] },
  { _id: 'p4', projectID: [['p1']] },
  { _id: 'p5', projectID: { a: 'p1' } },
  { _id: 'p6', projectID: null },
  { _id: 'n1', projectID: 42 },
  { _id: 'n2', projectID: 0 },
  { _id: 'n3', projectID: true },
  { _id: 'n4', projectID: false },
  { _id: 'n5', projectID: 16 },
  { _id: 'n6', projectID: [42] },
  { _id: 'n7', projectID: 1e21 },
  { _id: 7 },
  { _id: 7, _deleted: true },
  {},
];

const texts = [consoleTexts.userToMaster, known.texts.USER_TO_MASTER, consoleTexts.projectToMaster, consoleTexts.projectToUser,
  ...['p1', 'p2', '42', '', ' ', '0x10', '1', 'true', '1e21', 'a b', "it's", 'é'].map(masterToProject)];

test('every recognised text gives the sandbox\'s verdict on every document', () => {
  for (const text of texts) {
    assert.ok(known.recognise(text), text);
    const slow = sandbox.compile(text, { kind: 'filter' });
    const { fn } = known.filterFor(text, (s) => sandbox.compile(s, { kind: 'filter' }));
    for (const doc of docs) {
      let want;
      try { want = !!slow(doc, { query: {} }); } catch (e) { want = 'throws'; }
      let got;
      try { got = !!fn(doc, { query: {} }); } catch (e) { got = 'throws'; }
      assert.equal(got, want, `${text}\n${JSON.stringify(doc)}`);
    }
  }
});
