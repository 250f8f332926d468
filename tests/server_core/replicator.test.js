'use strict';
// The bundled server's replicator against the real launcher: shared change
// feeds, positions that move past refused changes, checkpoints that survive
// a restart, and documents arriving with their whole revision tree.

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { makeInstance, Server, eventually, sleep } = require('./harness');

let server;

const KEEP = 'function(doc, req){ return doc.keep === true; }';
const BY_OWNER = 'function(doc, req){ if (doc._deleted) { return true; } return doc.owner === req.query.owner; }';

async function ok(method, path, body) {
  const r = await server.req(method, path, { body });
  assert.ok(r.status >= 200 && r.status < 300, `${method} ${path}: ${r.status} ${r.text}`);
  return r.json;
}

async function ids(db) {
  const r = await server.req('GET', `/${encodeURIComponent(db)}/_all_docs`);
  return r.json.rows.map((row) => row.id).filter((id) => !id.startsWith('_design/')).sort();
}

async function replicate(id, body) {
  await ok('PUT', `/_replicator/${id}`, body);
  return eventually(async () => {
    const d = (await server.req('GET', `/_replicator/${id}`)).json;
    return d && d._replication_id && d;
  }, 10000, `${id} triggered`);
}

async function checkpoint(db, repId) {
  const r = await server.req('GET', `/${db}/_local/trevok-replication-${repId}`);
  return r.status === 200 ? r.json.last_seq : -1;
}

async function updateSeq(db) {
  return Number((await server.req('GET', `/${db}`)).json.update_seq);
}

function count(text, pattern) {
  return (text.match(pattern) || []).length;
}

before(async () => {
  // Checkpoints every two seconds, so that the tests need not wait long.
  server = new Server(await makeInstance('[replicator]\ncheckpoint_interval = 2000\n'));
  await server.start();
});

after(async () => {
  if (server) await server.stop();
});

describe('shared change feeds', () => {
  let keepRep;

  before(async () => {
    for (const db of ['feed_src', 'feed_keep', 'feed_ann', 'feed_ben']) await ok('PUT', `/${db}`);
    await ok('PUT', '/feed_src/_design/f', { filters: { keep: KEEP, owner: BY_OWNER } });
  });

  test('two replications from one source share one feed and each gets exactly its documents', async () => {
    await replicate('to_ann', { source: 'feed_src', target: 'feed_ann', filter: 'f/owner', query_params: { owner: 'ann' }, continuous: true });
    await replicate('to_ben', { source: 'feed_src', target: 'feed_ben', filter: 'f/owner', query_params: { owner: 'ben' }, continuous: true });
    const docs = [];
    for (let i = 0; i < 30; i++) docs.push({ _id: `d${i}`, owner: i % 3 === 0 ? 'ann' : (i % 3 === 1 ? 'ben' : 'cy') });
    await ok('POST', '/feed_src/_bulk_docs', { docs });
    const want = (owner) => docs.filter((d) => d.owner === owner).map((d) => d._id).sort();
    await eventually(async () => (await ids('feed_ann')).length === 10 && (await ids('feed_ben')).length === 10,
      10000, 'both targets filled');
    assert.deepEqual(await ids('feed_ann'), want('ann'));
    assert.deepEqual(await ids('feed_ben'), want('ben'));
    assert.equal(count(server.output, /change feed of feed_src opened/g), 1, server.output);
  });

  test('a filtered replication\'s checkpoint moves past the changes its filter refuses', async () => {
    keepRep = (await replicate('keep', { source: 'feed_src', target: 'feed_keep', filter: 'f/keep', continuous: true }))._replication_id;
    await ok('PUT', '/feed_src/k1', { keep: true });
    await eventually(async () => (await ids('feed_keep')).includes('k1'), 10000, 'k1 copied');
    // A long stretch that the filter refuses, then nothing more to copy.
    const refused = [];
    for (let i = 0; i < 200; i++) refused.push({ _id: `r${i}`, keep: false });
    await ok('POST', '/feed_src/_bulk_docs', { docs: refused });
    const seq = await updateSeq('feed_src');
    await eventually(async () => (await checkpoint('feed_src', keepRep)) >= seq, 15000, 'checkpoint in the source');
    await eventually(async () => (await checkpoint('feed_keep', keepRep)) >= seq, 15000, 'checkpoint in the target');
    assert.deepEqual(await ids('feed_keep'), ['k1']);
  });

  test('a filter that throws refuses its document and the replication goes on', async () => {
    await ok('PUT', '/feed_throw_dst');
    await ok('PUT', '/feed_src/_design/t', { filters: {
      picky: 'function(doc){ if (doc.bad) { throw new Error("bad doc"); } return doc.owner === "cy"; }',
    } });
    await replicate('picky', { source: 'feed_src', target: 'feed_throw_dst', filter: 't/picky', continuous: true });
    await ok('PUT', '/feed_src/bad1', { bad: true, owner: 'cy' });
    await ok('PUT', '/feed_src/good1', { owner: 'cy' });
    await eventually(async () => (await ids('feed_throw_dst')).includes('good1'), 10000, 'good1 copied');
    assert.ok(!(await ids('feed_throw_dst')).includes('bad1'));
    const stats = await eventually(async () => {
      const d = (await server.req('GET', '/_replicator/picky')).json;
      return d._replication_stats && d._replication_stats.doc_write_failures >= 1 && d;
    }, 5000, 'the failure counted');
    assert.equal(stats._replication_state, 'triggered');
  });

  test('a restart resumes every replication from its checkpoint', async () => {
    const before = await checkpoint('feed_src', keepRep);
    assert.ok(before > 0);
    await server.stop();
    await server.start();
    await eventually(() => /replication keep resumes after sequence/.test(server.output), 10000, 'resumed');
    const resumed = Number(/replication keep resumes after sequence (\d+)/.exec(server.output)[1]);
    assert.ok(resumed >= before, `resumed after ${resumed}, checkpoint was ${before}`);
    await ok('PUT', '/feed_src/k2', { keep: true });
    await ok('PUT', '/feed_src/d99', { owner: 'ann' });
    await eventually(async () => (await ids('feed_keep')).includes('k2'), 10000, 'k2 copied after the restart');
    await eventually(async () => (await ids('feed_ann')).includes('d99'), 10000, 'd99 copied after the restart');
    assert.deepEqual(await ids('feed_keep'), ['k1', 'k2']);
    assert.equal(count(server.output, /change feed of feed_src opened/g), 1, 'one feed after the restart too');
  });
});

describe('what a replication carries', () => {
  before(async () => {
    await ok('PUT', '/tree_src');
    await ok('PUT', '/tree_dst');
    await replicate('tree', { source: 'tree_src', target: 'tree_dst', continuous: true });
  });

  test('every leaf revision of a conflict arrives with its history', async () => {
    const first = await ok('PUT', '/tree_src/c', { v: 1 });
    const second = await ok('PUT', '/tree_src/c', { v: 2, _rev: first.rev });
    // A branch from another replica, written as a replicator writes it.
    await ok('POST', '/tree_src/_bulk_docs', { new_edits: false, docs: [
      { _id: 'c', _rev: '2-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', v: 'other',
        _revisions: { start: 2, ids: ['aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', first.rev.split('-')[1]] } },
    ] });
    const leaves = async (db) => {
      const r = await server.req('GET', `/${db}/c?open_revs=all&revs=true`);
      return r.json.map((x) => x.ok).filter(Boolean)
        .map((d) => ({ rev: d._rev, history: d._revisions.ids.length, v: d.v }))
        .sort((a, b) => a.rev.localeCompare(b.rev));
    };
    const want = await leaves('tree_src');
    assert.equal(want.length, 2);
    await eventually(async () => JSON.stringify(await leaves('tree_dst')) === JSON.stringify(want),
      10000, 'both leaves copied');
    const winner = (await server.req('GET', '/tree_dst/c?conflicts=true')).json;
    assert.equal(winner._conflicts.length, 1);
    assert.ok([second.rev, '2-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'].includes(winner._rev));
  });

  test('a deletion arrives as a deletion', async () => {
    const made = await ok('PUT', '/tree_src/gone', { v: 1 });
    await eventually(async () => (await server.req('GET', '/tree_dst/gone')).status === 200, 10000, 'copied');
    await ok('DELETE', `/tree_src/gone?rev=${made.rev}`);
    await eventually(async () => (await server.req('GET', '/tree_dst/gone')).status === 404, 10000, 'deleted');
    const r = await server.req('GET', '/tree_dst/gone?open_revs=all');
    assert.equal(r.json[0].ok._deleted, true);
    assert.equal(r.json[0].ok._rev.split('-')[0], '2');
  });

  test('a one-shot replication of a busy source ends "completed" with everything up to its start', async () => {
    const docs = [];
    for (let i = 0; i < 1200; i++) docs.push({ _id: `many${i}` });
    await ok('POST', '/tree_src/_bulk_docs', { docs });
    await replicate('once', { source: 'tree_src', target: 'tree_once', create_target: true });
    const done = await eventually(async () => {
      const d = (await server.req('GET', '/_replicator/once')).json;
      return d._replication_state === 'completed' && d;
    }, 20000, 'completed');
    assert.equal((await ids('tree_once')).length, (await ids('tree_src')).length);
    assert.ok(done._replication_stats.docs_written >= 1200);
  });
});

describe('the console\'s own filters', () => {
  test('a project\'s replication from the master database gets its documents and deletions, natively judged or not', async () => {
    const { texts } = require(require('path').join(require('./harness').SERVER_CORE, 'lib/knownfilters'));
    const filter = (id) => texts.MASTER_TO_PROJECT_HEAD + id + texts.MASTER_TO_PROJECT_TAIL;
    for (const db of ['kf_master', 'kf_p1', 'kf_p2']) await ok('PUT', `/${db}`);
    await ok('PUT', '/kf_master/_design/p1', { filters: { master_to_project_filter: filter('p1') } });
    await ok('PUT', '/kf_master/_design/p2', { filters: { master_to_project_filter: filter('p2') } });
    await replicate('kf1', { source: 'kf_master', target: 'kf_p1', filter: 'p1/master_to_project_filter', continuous: true });
    await replicate('kf2', { source: 'kf_master', target: 'kf_p2', filter: 'p2/master_to_project_filter', continuous: true });
    const made = await ok('PUT', '/kf_master/a1', { projectID: 'p1' });
    // A value only the sandbox judges: an array compares as its text.
    await ok('POST', '/kf_master/_bulk_docs', { docs: [
      { _id: 'b1', projectID: 'p2' }, { _id: 'arr', projectID: ['p1'] }, { _id: 'none' }] });
    await eventually(async () => (await ids('kf_p1')).length === 2 && (await ids('kf_p2')).length === 1,
      10000, 'both projects filled');
    assert.deepEqual(await ids('kf_p1'), ['a1', 'arr']);
    assert.deepEqual(await ids('kf_p2'), ['b1']);
    // A deletion passes every project's filter.
    await ok('DELETE', `/kf_master/a1?rev=${made.rev}`);
    await eventually(async () => (await server.req('GET', '/kf_p1/a1')).status === 404, 10000, 'a1 deleted');
    await eventually(async () => (await server.req('GET', '/kf_p2/a1?open_revs=all')).json.length === 1,
      10000, 'the deletion in the other project');
  });
});

describe('databases that come and go', () => {
  test('a database made while the server runs is followed, and one made again is read from its start', async () => {
    await ok('PUT', '/later_src');
    await ok('PUT', '/later_dst');
    await ok('PUT', '/later_src/a', { v: 1 });
    await replicate('later', { source: 'later_src', target: 'later_dst', continuous: true });
    await eventually(async () => (await ids('later_dst')).includes('a'), 10000, 'a copied');
    await sleep(3000); // a checkpoint is written
    // The replication goes first, as the console removes a project.
    const rep = (await server.req('GET', '/_replicator/later')).json;
    await ok('DELETE', `/_replicator/later?rev=${rep._rev}`);
    await ok('DELETE', '/later_src');
    await ok('PUT', '/later_src');
    await ok('PUT', '/later_src/b', { v: 2 });
    await replicate('later2', { source: 'later_src', target: 'later_dst', continuous: true });
    await eventually(async () => (await ids('later_dst')).includes('b'), 10000, 'b from the new database');
    await ok('PUT', '/later_src/c', { v: 3 });
    await eventually(async () => (await ids('later_dst')).includes('c'), 10000, 'c, live');
    assert.doesNotMatch(server.output, /unhandled|uncaught/);
  });
});

describe('validation while design documents change', () => {
  const refusing = (field) => ({
    validate_doc_update: `function(newDoc){ if (newDoc.${field}) { throw({forbidden: '${field} refused'}); } }`,
  });
  const status = async (db, id, body) => (await server.req('PUT', `/${db}/${id}`, { body })).status;

  test('each write is judged by the design documents as they are at that moment', async () => {
    await ok('PUT', '/val_db');
    assert.equal(await status('val_db', 'a', { bad: true }), 201);
    const v1 = await ok('PUT', '/val_db/_design/v', refusing('bad'));
    assert.equal(await status('val_db', 'b', { bad: true }), 403);
    assert.equal(await status('val_db', 'c', { worse: true }), 201);
    const v2 = await ok('PUT', '/val_db/_design/v', { ...refusing('worse'), _rev: v1.rev });
    assert.equal(await status('val_db', 'd', { bad: true }), 201);
    assert.equal(await status('val_db', 'e', { worse: true }), 403);
    // A second design document adds its rule.
    await ok('PUT', '/val_db/_design/w', refusing('bad'));
    assert.equal(await status('val_db', 'f', { bad: true }), 403);
    assert.equal(await status('val_db', 'g', { worse: true }), 403);
    await ok('DELETE', `/val_db/_design/v?rev=${v2.rev}`);
    assert.equal(await status('val_db', 'h', { worse: true }), 201);
    assert.equal(await status('val_db', 'i', { bad: true }), 403);
    // One arriving as a replicated revision counts at once too.
    await ok('POST', '/val_db/_bulk_docs', { new_edits: false, docs: [
      { _id: '_design/x', _rev: '1-0123456789abcdef0123456789abcdef', ...refusing('odd') }] });
    assert.equal(await status('val_db', 'j', { odd: true }), 403);
    // A client's own read of that range sees the database as it is.
    const all = (await server.req('GET', '/val_db/_all_docs?startkey=%22_design%2F%22&endkey=%22_design0%22&include_docs=true')).json;
    assert.deepEqual(all.rows.map((r) => r.id), ['_design/w', '_design/x']);
    assert.equal(all.total_rows, (await server.req('GET', '/val_db')).json.doc_count);
  });

  test('documents replicated into a database meet its validation', async () => {
    await ok('PUT', '/val_src');
    await ok('PUT', '/val_dst');
    await ok('PUT', '/val_dst/_design/v', refusing('bad'));
    await replicate('val', { source: 'val_src', target: 'val_dst', continuous: true });
    await ok('POST', '/val_src/_bulk_docs', { docs: [{ _id: 'fine' }, { _id: 'nope', bad: true }] });
    await eventually(async () => (await ids('val_dst')).includes('fine'), 10000, 'fine copied');
    const failures = await eventually(async () => {
      const d = (await server.req('GET', '/_replicator/val')).json;
      return d._replication_stats && d._replication_stats.doc_write_failures;
    }, 5000, 'the refusal counted');
    assert.equal(failures, 1);
    assert.ok(!(await ids('val_dst')).includes('nope'));
  });
});
