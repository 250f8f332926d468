'use strict';
// The console writes one validation function into every user database,
// whose text differs only in the list of the user's projects. Each document
// that a member replication brings into a user database, and each one the
// user writes, is judged by it: here, without the sandbox, with the verdict
// and the reason the sandbox gives. A text that differs in any way, or a
// document whose judgement would convert a value to text, goes to the
// sandbox as before (`undefined` below: not decided here).

const { looselyEquals } = require('./knownfilters');

const HEAD = 'function(newDoc, oldDoc, userCtx) { var projects = ';
const TAIL = "; if (userCtx && userCtx.roles && userCtx.roles.indexOf('_admin') !== -1) { return; } " +
  'var id = newDoc._id; ' +
  "if (id.indexOf('_design/') === 0) { throw({forbidden: 'design documents are written by the server only'}); } " +
  "if (id === 'trevokMasterID' || projects.indexOf(id) !== -1) { throw({forbidden: 'the document ' + id + ' is written by the server only'}); } " +
  'var docs = [newDoc, oldDoc]; ' +
  'for (var i = 0; i < docs.length; i++) { var doc = docs[i]; if (!doc) { continue; } ' +
  "if (doc.type == 'ProjectInfoDoc' || doc.type == 'SecretProjectInfoDoc') { throw({forbidden: 'project records are written by the server only'}); } " +
  'var p = doc.projectID; if (p === undefined || p === null) { continue; } ' +
  "if (typeof p !== 'string') { throw({forbidden: 'projectID must be the text of a project id'}); } " +
  "if (projects.indexOf(p) === -1) { throw({forbidden: 'not a member of project ' + p}); } } " +
  "if (newDoc._deleted) { for (var key in newDoc) { if (key !== '_id' && key !== '_rev' && key !== '_deleted' && key !== '_revisions') { throw({forbidden: 'a deletion carries no data, but this one has ' + key}); } } } }";

const ALLOWED_IN_DELETION = new Set(['_id', '_rev', '_deleted', '_revisions']);

// The projects of a text the console wrote, or null.
function projectsOf(source) {
  if (typeof source !== 'string' || !source.startsWith(HEAD) || !source.endsWith(TAIL)) return null;
  const list = source.slice(HEAD.length, source.length - TAIL.length);
  // Only the form the console writes: a JSON array of strings, which means
  // the same as JavaScript. Anything else (a comment, an expression) is not ours.
  if (!/^\[("([^"\\\u2028\u2029]|\\.)*"(,"([^"\\\u2028\u2029]|\\.)*")*)?\]$/.test(list)) return null;
  let projects;
  try {
    projects = JSON.parse(list);
  } catch (e) {
    return null;
  }
  return Array.isArray(projects) && projects.every((p) => typeof p === 'string') ? projects : null;
}

const forbid = (reason) => ({ forbidden: reason });

// Whether judge() admits this caller before it looks at any document.
function isAdministrator(userCtx) {
  return !!userCtx && Array.isArray(userCtx.roles) && userCtx.roles.indexOf('_admin') !== -1;
}

// null: admitted; { forbidden }: refused; undefined: the sandbox decides.
function judge(projects, newDoc, oldDoc, userCtx) {
  if (userCtx && userCtx.roles) {
    if (!Array.isArray(userCtx.roles)) return undefined;
    if (isAdministrator(userCtx)) return null;
  }
  if (!newDoc || typeof newDoc !== 'object') return undefined;
  const id = newDoc._id;
  if (typeof id !== 'string') return undefined;
  if (id.indexOf('_design/') === 0) return forbid('design documents are written by the server only');
  if (id === 'trevokMasterID' || projects.indexOf(id) !== -1) {
    return forbid(`the document ${id} is written by the server only`);
  }
  for (const doc of [newDoc, oldDoc]) {
    if (!doc) continue;
    if (typeof doc !== 'object') return undefined;
    const record = looselyEquals(doc.type, 'ProjectInfoDoc');
    const secret = looselyEquals(doc.type, 'SecretProjectInfoDoc');
    if (record === undefined || secret === undefined) return undefined;
    if (record || secret) return forbid('project records are written by the server only');
    const p = doc.projectID;
    if (p === undefined || p === null) continue;
    if (typeof p !== 'string') return forbid('projectID must be the text of a project id');
    if (projects.indexOf(p) === -1) return forbid(`not a member of project ${p}`);
  }
  if (newDoc._deleted) {
    for (const key of Object.keys(newDoc)) {
      // A key the server set to nothing is not in the text the sandbox sees.
      if (newDoc[key] === undefined) continue;
      if (!ALLOWED_IN_DELETION.has(key)) return forbid(`a deletion carries no data, but this one has ${key}`);
    }
  }
  return null;
}

const known = new Map();
const KNOWN_SIZE = 4096;

// A validation function for `source`: judged here where it can be, by
// `slow()` (the sandboxed function, made on first need) otherwise; null
// when the text is not the console's.
function validatorFor(source, compileSlow) {
  let projects = known.get(source);
  if (projects === undefined) {
    projects = projectsOf(source);
    if (known.size >= KNOWN_SIZE) known.delete(known.keys().next().value);
    known.set(source, projects);
  }
  if (!projects) return null;
  let slow = null;
  const validator = function (newDoc, oldDoc, userCtx) {
    const verdict = judge(projects, newDoc, oldDoc, userCtx);
    if (verdict === null) return undefined;
    if (verdict !== undefined) throw verdict;
    if (!slow) slow = compileSlow();
    return slow.apply(this, arguments);
  };
  // Its first words admit administrators, whatever the documents are: the
  // server's own replicated writes need not read the stored one for it.
  validator.admitsAdministrators = true;
  return validator;
}


module.exports = { validatorFor, projectsOf, judge, isAdministrator, texts: { HEAD, TAIL } };
