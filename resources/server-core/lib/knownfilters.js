'use strict';
// The console saves four replication filters whose texts never change but
// for a project's id. Each change of the master database is offered to the
// filter of every project, and a call into the sandbox costs tens of
// microseconds where reading a field costs nothing: these texts, recognised
// byte for byte, are evaluated here with the same result. Any other text,
// however close, runs in the sandbox as before.
//
// Loose equality (`==`) against a string literal is exact for a field
// holding a string, a number, a boolean, null or nothing; an object or array
// would go through its conversion to text, so such a document is handed to
// the sandbox instead (`undefined` below means "not decided here").

const USER_TO_MASTER =
  "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if (doc._deleted) { " +
  "return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { return true; }}}";
// The same, refusing the console's own records as well: they travel only
// from the project databases.
const USER_TO_MASTER_GUARDED =
  "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if (doc._id === 'trevokMasterID' || " +
  "doc.type == 'ProjectInfoDoc' || doc.type == 'SecretProjectInfoDoc') { return false; }}{if (doc._deleted) { " +
  "return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { return true; }}}";
const PROJECT_TO_MASTER =
  "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if (doc._deleted) { " +
  "return true; }};{if (doc.type == 'ProjectInfoDoc') { return true; } else { return true; }}}";
const PROJECT_TO_USER =
  "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if (doc._deleted) { " +
  "return true }}; {if (doc.type == 'SecretProjectInfoDoc') { return false; } else { return true; }}}";
const MASTER_TO_PROJECT_HEAD = 'function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.projectID == "';
const MASTER_TO_PROJECT_TAIL = '") { return true; } else { return false }}}';

// A string literal's content that means exactly itself: no quote, no
// escape, no line break.
const PLAIN_LITERAL = /^[^"\\\n\r\u2028\u2029]*$/;

// `value == text` for a string `text`, or undefined where that needs the
// value's conversion to text.
function looselyEquals(value, text) {
  switch (typeof value) {
  case 'string': return value === text;
  // Number() converts text exactly as the comparison does ("" is 0).
  case 'number': return value === Number(text);
  case 'boolean': return Number(value) === Number(text);
  case 'undefined': return false;
  default: return value === null ? false : undefined;
  }
}

function isDesign(doc) {
  return typeof doc._id === 'string' && doc._id.indexOf('_design/') === 0;
}

// The filter's verdict for `doc`, or undefined when the sandbox must judge.
function typeRefusing(refused) {
  return (doc) => {
    if (typeof doc._id !== 'string') return undefined;
    if (isDesign(doc)) return false;
    if (doc._deleted) return true;
    const eq = looselyEquals(doc.type, refused);
    return eq === undefined ? undefined : !eq;
  };
}

const refusingUserInfo = typeRefusing('UserInfoDoc');

// USER_TO_MASTER_GUARDED's verdict.
function guardedUserToMaster(doc) {
  if (typeof doc._id !== 'string') return undefined;
  if (isDesign(doc) || doc._id === 'trevokMasterID') return false;
  const record = looselyEquals(doc.type, 'ProjectInfoDoc');
  const secret = looselyEquals(doc.type, 'SecretProjectInfoDoc');
  if (record === undefined || secret === undefined) return undefined;
  if (record || secret) return false;
  return refusingUserInfo(doc);
}

function recognise(source) {
  if (typeof source !== 'string') return null;
  if (source === USER_TO_MASTER) return { kind: 'user-to-master', decide: typeRefusing('UserInfoDoc') };
  if (source === USER_TO_MASTER_GUARDED) return { kind: 'user-to-master-guarded', decide: guardedUserToMaster };
  if (source === PROJECT_TO_USER) return { kind: 'project-to-user', decide: typeRefusing('SecretProjectInfoDoc') };
  if (source === PROJECT_TO_MASTER) {
    // Both branches pass, but the comparison itself may throw.
    return {
      kind: 'project-to-master',
      decide: (doc) => {
        if (typeof doc._id !== 'string') return undefined;
        if (isDesign(doc)) return false;
        if (doc._deleted) return true;
        return looselyEquals(doc.type, 'ProjectInfoDoc') === undefined ? undefined : true;
      },
    };
  }
  if (source.startsWith(MASTER_TO_PROJECT_HEAD) && source.endsWith(MASTER_TO_PROJECT_TAIL) &&
      source.length >= MASTER_TO_PROJECT_HEAD.length + MASTER_TO_PROJECT_TAIL.length) {
    const projectID = source.slice(MASTER_TO_PROJECT_HEAD.length, source.length - MASTER_TO_PROJECT_TAIL.length);
    if (!PLAIN_LITERAL.test(projectID)) return null;
    return {
      kind: 'master-to-project',
      projectID,
      decide: (doc) => {
        if (doc._deleted) return true;
        return looselyEquals(doc.projectID, projectID);
      },
    };
  }
  return null;
}

// A filter for `source`: the native verdict where there is one, the
// sandboxed function (`slow`, made on first need) otherwise.
function filterFor(source, compileSlow) {
  const known = recognise(source);
  if (!known) return { fn: compileSlow(source), known: null };
  let slow = null;
  const fn = (doc, req) => {
    const verdict = known.decide(doc);
    if (verdict !== undefined) return verdict;
    if (!slow) slow = compileSlow(source);
    return slow(doc, req);
  };
  return { fn, known };
}

module.exports = { recognise, filterFor, looselyEquals, texts: {
  USER_TO_MASTER, USER_TO_MASTER_GUARDED, PROJECT_TO_MASTER, PROJECT_TO_USER, MASTER_TO_PROJECT_HEAD, MASTER_TO_PROJECT_TAIL,
} };
