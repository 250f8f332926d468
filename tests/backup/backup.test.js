'use strict';
// The backup tool against the real bundled server: what a backup holds
// comes back whole on a fresh server, a failed backup leaves the earlier
// ones alone, and pruning keeps exactly the newest.

const test = require('node:test');
const assert = require('node:assert');
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const { makeInstance, Server, eventually } = require('../server_core/harness');

const TOOL = path.resolve(__dirname, '../../resources/backup/bin/trevok-backup');
const ENV = { ...process.env, TREVOK_BACKUP_PASSWORD: 'trevok' };

async function startServer() {
  const s = new Server(await makeInstance());
  await s.start();
  return s;
}

// `onOutput` sees the tool's output as it comes.
function tool(args, onOutput = () => {}) {
  return new Promise((resolve) => {
    const p = spawn(TOOL, args, { env: ENV });
    let out = '';
    let err = '';
    p.stdout.on('data', (d) => { out += d; onOutput(out); });
    p.stderr.on('data', (d) => { err += d; });
    p.on('exit', (code) => {
      const events = out.split('\n').filter(Boolean).map((l) => JSON.parse(l));
      resolve({ code, events, last: events[events.length - 1], stderr: err });
    });
  });
}

const backup = (s, folder, ...more) => tool(['backup', '--url', s.base, '--user', 'admin', '--folder', folder, ...more]);
const backupWatched = (s, folder, onOutput) => tool(['backup', '--url', s.base, '--user', 'admin', '--folder', folder], onOutput);
const restore = (s, file) => tool(['restore', '--url', s.base, '--user', 'admin', file]);

async function ok(s, method, url, body) {
  const r = await s.req(method, url, { body });
  assert.ok(r.status < 300, `${method} ${url}: ${r.status} ${r.text}`);
  return r.json;
}

function tmpdir(name) { return fs.mkdtempSync(path.join(os.tmpdir(), `backup-${name}-`)); }

const enc = encodeURIComponent;

// Everything a restore must carry over, per database: the security object,
// and per document its leaves (open_revs=all) and its winner as GET sees it.
async function snapshot(s, skip = []) {
  const out = {};
  for (const db of (await ok(s, 'GET', '/_all_dbs')).filter((d) => !skip.includes(d)).sort()) {
    const feed = await ok(s, 'GET', `/${enc(db)}/_changes?style=all_docs`);
    const docs = {};
    for (let i = 0; i < feed.results.length; i += 8) {
      await Promise.all(feed.results.slice(i, i + 8).map(async (row) => {
        const leaves = await ok(s, 'GET', `/${enc(db)}/${enc(row.id)}?open_revs=all&revs=true`);
        const winner = await s.req('GET', `/${enc(db)}/${enc(row.id)}`);
        docs[row.id] = {
          leaves: leaves.map((l) => l.ok).sort((x, y) => (x._rev < y._rev ? -1 : 1)),
          winner: winner.status === 200 ? winner.json._rev : `${winner.status} ${winner.json.reason}`,
          deleted: row.deleted === true,
        };
      }));
    }
    out[db] = { security: await ok(s, 'GET', `/${enc(db)}/_security`), docs,
      allDocs: (await ok(s, 'GET', `/${enc(db)}/_all_docs`)).rows };
  }
  return out;
}

function fileLines(file) {
  return zlib.gunzipSync(fs.readFileSync(file)).toString().split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

test('a backup restored into a fresh server gives back every database as it was', async (t) => {
  const a = await startServer();
  const b = await startServer();
  t.after(() => Promise.all([a.stop(), b.stop()]));

  await ok(a, 'PUT', '/alpha');
  await ok(a, 'PUT', '/team/beta'.replace('/beta', '%2Fbeta'));
  await ok(a, 'PUT', '/gamma');
  // Written, changed, deleted, deleted twice.
  let r = await ok(a, 'PUT', '/alpha/changed', { v: 1 });
  r = await ok(a, 'PUT', '/alpha/changed', { _rev: r.rev, v: 2 });
  await ok(a, 'PUT', '/alpha/changed', { _rev: r.rev, v: 3 });
  r = await ok(a, 'PUT', '/alpha/gone', { v: 1 });
  await ok(a, 'DELETE', `/alpha/gone?rev=${r.rev}`);
  r = await ok(a, 'PUT', '/alpha/twice', { v: 1 });
  r = await ok(a, 'DELETE', `/alpha/twice?rev=${r.rev}`);
  r = await ok(a, 'PUT', '/alpha/twice', { _rev: r.rev, v: 'again' });
  await ok(a, 'DELETE', `/alpha/twice?rev=${r.rev}`);
  // Conflicts: two live leaves, and a live leaf beside a tombstone.
  await ok(a, 'POST', '/alpha/_bulk_docs', { new_edits: false, docs: [
    { _id: 'split', _rev: '2-aaaa', v: 'left', _revisions: { start: 2, ids: ['aaaa', 'root'] } },
    { _id: 'split', _rev: '2-bbbb', v: 'right', _revisions: { start: 2, ids: ['bbbb', 'root'] } },
    { _id: 'split', _rev: '3-cccc', _deleted: true, _revisions: { start: 3, ids: ['cccc', 'bbbb', 'root'] } },
    { _id: 'split', _rev: '1-dddd', v: 'other root' },
  ] });
  await ok(a, 'PUT', '/alpha/file', { _attachments: { 'note.txt': { content_type: 'text/plain',
    data: Buffer.from('attached text').toString('base64') } } });
  await ok(a, 'PUT', '/alpha/_design/v', { views: { all: { map: 'function (doc) { emit(doc._id, null); }' } } });
  await ok(a, 'PUT', '/alpha/_local/checkpoint', { seq: 3 });
  await ok(a, 'PUT', '/alpha/_security', { admins: { names: ['anna'], roles: [] }, members: { names: ['bob'], roles: ['staff'] } });
  // More than one page of the changes feed.
  const many = [];
  for (let i = 0; i < 700; i++) many.push({ _id: `doc-${String(i).padStart(4, '0')}`, n: i });
  await ok(a, 'POST', '/team%2Fbeta/_bulk_docs', { docs: many });
  await ok(a, 'PUT', '/_users/org.couchdb.user:bob', { name: 'bob', password: 'bob-secret', roles: ['staff'], type: 'user' });
  await ok(a, 'PUT', '/_replicator/alpha-to-gamma', { source: 'alpha', target: 'gamma' });
  await eventually(async () => (await ok(a, 'GET', '/_replicator/alpha-to-gamma'))._replication_state === 'completed',
    15000, 'the replication on the first server');

  const folder = tmpdir('roundtrip');
  const t0 = Date.now();
  const made = await backup(a, folder);
  const elapsed = Date.now() - t0;
  assert.strictEqual(made.code, 0, JSON.stringify(made));
  t.diagnostic(`backup of the small server: ${elapsed} ms wall, ${made.last.ms} ms inside the tool`);
  const file = made.last.file;
  assert.match(path.basename(file), /^trevok-backup-\d{8}-\d{6}Z\.tbk$/);
  assert.deepStrictEqual(fs.readdirSync(folder), [path.basename(file)]);
  assert.strictEqual(fs.statSync(file).mode & 0o777, 0o600);
  assert.deepStrictEqual(made.events.map((e) => e.event).filter((e) => e !== 'database'), ['start', 'verify', 'done']);
  const dbEvents = made.events.filter((e) => e.event === 'database');
  const listed = (await ok(a, 'GET', '/_all_dbs')).filter((d) => d[0] !== '_');
  assert.deepStrictEqual(dbEvents.map((e) => e.name), ['_users', ...listed, '_replicator']);
  assert.deepStrictEqual(dbEvents.map((e) => [e.index, e.of]), [[1, 5], [2, 5], [3, 5], [4, 5], [5, 5]]);
  assert.strictEqual(made.last.databases, 5);
  // gone and twice, in alpha and in gamma, its replica.
  assert.strictEqual(made.last.deleted, 4);
  assert.strictEqual((await tool(['verify', file])).code, 0);

  const lines = fileLines(file);
  const docsOf = (db) => {
    const at = lines.findIndex((l) => l.database === db);
    const out = [];
    for (let i = at + 1; !lines[i].databaseEnd; i++) out.push(...lines[i]);
    return out;
  };
  const rep = docsOf('_replicator').find((d) => d._id === 'alpha-to-gamma');
  assert.deepStrictEqual(Object.keys(rep).filter((k) => k.startsWith('_replication_')), []);
  assert.ok(!docsOf('alpha').some((d) => d._id.startsWith('_local/')));
  assert.strictEqual(docsOf('alpha').filter((d) => d._id === 'split').length, 3);

  const restored = await restore(b, file);
  assert.strictEqual(restored.code, 0, JSON.stringify(restored));
  assert.strictEqual(restored.last.documents, made.last.documents);

  // Replications are the server's own business once restored: B runs it again.
  const before = await snapshot(a, ['_replicator']);
  const after = await snapshot(b, ['_replicator']);
  assert.deepStrictEqual(after, before);
  assert.strictEqual(after.alpha.docs.twice.deleted, true);
  // This server answers "missing" where CouchDB says "deleted"; B must
  // answer as A does.
  const gone = await b.req('GET', '/alpha/twice');
  assert.deepStrictEqual([gone.status, gone.json.reason], [404, (await a.req('GET', '/alpha/twice')).json.reason]);
  assert.strictEqual(after.alpha.docs.split.leaves.length, 3);
  assert.strictEqual((await b.req('GET', '/alpha/_local/checkpoint')).status, 404);
  const session = await b.req('POST', '/_session', { auth: null, body: { name: 'bob', password: 'bob-secret' } });
  assert.strictEqual(session.status, 200, session.text);
  const attached = await b.req('GET', '/alpha/file/note.txt', { raw: true });
  assert.strictEqual(attached.text, 'attached text');
  await eventually(async () => (await ok(b, 'GET', '/_replicator/alpha-to-gamma'))._replication_state === 'completed',
    15000, 'the restored replication');

  // Once more into the same server: nothing moves.
  const settled = await snapshot(b);
  const seqs = await Promise.all(['alpha', 'team%2Fbeta', '_users'].map(async (d) => (await ok(b, 'GET', `/${d}`)).update_seq));
  const again = await restore(b, file);
  assert.strictEqual(again.code, 0, JSON.stringify(again));
  assert.deepStrictEqual(await snapshot(b), settled);
  assert.deepStrictEqual(await Promise.all(['alpha', 'team%2Fbeta', '_users'].map(async (d) => (await ok(b, 'GET', `/${d}`)).update_seq)), seqs);
});

// Runs two backups into a small tmpfs mounted in a private mount namespace,
// letting the test add data in between; the namespace keeps the mount from
// outliving the test or being seen by anything else.
const FULL_DISK_SCRIPT = `
set -u
mount -t tmpfs -o size=512k tmpfs "$DIR" || exit 90
"$TOOL" backup --url "$URL" --user admin --folder "$DIR" > "$OUT/first.jsonl"
echo "first $?"
cp "$DIR"/trevok-backup-*.tbk "$OUT/first.tbk"
read line
"$TOOL" backup --url "$URL" --user admin --folder "$DIR" > "$OUT/second.jsonl"
echo "second $?"
ls -A "$DIR" > "$OUT/listing"
cp "$DIR"/trevok-backup-*.tbk "$OUT/after.tbk"
`;

function canMount(dir) {
  return spawnSync('unshare', ['-m', 'sh', '-c', `mount -t tmpfs -o size=64k tmpfs '${dir}'`]).status === 0;
}

function jsonLines(file) { return fs.readFileSync(file, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l)); }

test('a backup that runs out of disk leaves the earlier one intact and says why', async (t) => {
  const a = await startServer();
  t.after(() => a.stop());
  await ok(a, 'PUT', '/alpha');
  await ok(a, 'POST', '/alpha/_bulk_docs', { docs: [{ _id: 'one', v: 1 }, { _id: 'two', v: 2 }] });
  const dir = tmpdir('full');
  const out = tmpdir('full-out');

  if (!canMount(dir)) {
    if (process.env.CI) assert.fail('a tmpfs cannot be mounted in a private mount namespace here');
    if (process.getuid() === 0) return t.skip('a tmpfs cannot be mounted here, and as root a read-only folder is still writable');
    fs.chmodSync(dir, 0o555);
    const refused = await backup(a, dir);
    assert.strictEqual(refused.code, 1);
    assert.strictEqual(refused.last.cause, 'folder-not-writable');
    assert.deepStrictEqual(fs.readdirSync(dir), []);
    return;
  }

  const p = spawn('unshare', ['-m', 'bash', '-c', FULL_DISK_SCRIPT],
    { env: { ...ENV, DIR: dir, OUT: out, TOOL, URL: a.base }, stdio: ['pipe', 'pipe', 'inherit'] });
  const said = [];
  const exited = new Promise((resolve) => p.on('exit', resolve));
  p.stdout.on('data', (d) => said.push(...String(d).split('\n').filter(Boolean)));
  await eventually(() => said.length > 0 || p.exitCode !== null, 20000, 'the first backup');
  assert.deepStrictEqual(said, ['first 0']);
  // Incompressible attachments, well beyond what the disk has left.
  for (let i = 0; i < 4; i++) {
    await ok(a, 'PUT', `/alpha/big-${i}`, { _attachments: { 'noise.bin': { content_type: 'application/octet-stream',
      data: require('crypto').randomBytes(200 * 1024).toString('base64') } } });
  }
  p.stdin.end('\n');
  assert.strictEqual(await exited, 0);
  assert.deepStrictEqual(said, ['first 0', 'second 1']);

  const first = jsonLines(path.join(out, 'first.jsonl')).pop();
  const failed = jsonLines(path.join(out, 'second.jsonl')).pop();
  assert.strictEqual(failed.event, 'failed');
  assert.strictEqual(failed.cause, 'disk-full');
  assert.strictEqual(failed.message, `The disk holding \u201c${dir}\u201d is full; the earlier backups are untouched.`);
  // Nothing but the first backup: the partial file is gone.
  assert.deepStrictEqual(fs.readFileSync(path.join(out, 'listing'), 'utf8').trim().split('\n'), [path.basename(first.file)]);
  assert.ok(fs.readFileSync(path.join(out, 'after.tbk')).equals(fs.readFileSync(path.join(out, 'first.tbk'))));
  assert.strictEqual((await tool(['verify', path.join(out, 'after.tbk')])).code, 0);
});

test('a missing folder, a damaged file and a wrong password are refused before anything is written', async (t) => {
  const a = await startServer();
  const b = await startServer();
  t.after(() => Promise.all([a.stop(), b.stop()]));
  await ok(a, 'PUT', '/alpha');
  const docs = [];
  for (let i = 0; i < 300; i++) docs.push({ _id: `d${i}`, text: `document number ${i} `.repeat(20) });
  await ok(a, 'POST', '/alpha/_bulk_docs', { docs });

  const missing = path.join(tmpdir('missing'), 'not-there');
  const nofolder = await backup(a, missing);
  assert.strictEqual(nofolder.code, 1);
  assert.deepStrictEqual(nofolder.last, { event: 'failed', cause: 'folder-missing',
    message: `The backup folder \u201c${missing}\u201d does not exist.` });
  assert.ok(!fs.existsSync(missing));

  const folder = tmpdir('damaged');
  const good = await backup(a, folder);
  assert.strictEqual(good.code, 0, JSON.stringify(good));
  const whole = fs.readFileSync(good.last.file);
  const cut = path.join(folder, 'cut.tbk');
  fs.writeFileSync(cut, whole.subarray(0, Math.floor(whole.length * 0.6)));
  const dbsBefore = await ok(b, 'GET', '/_all_dbs');
  const refused = await restore(b, cut);
  assert.strictEqual(refused.code, 1);
  assert.strictEqual(refused.last.cause, 'backup-damaged');
  assert.ok(refused.last.message.startsWith(`The backup \u201c${cut}\u201d is damaged`), refused.last.message);
  assert.ok(!refused.events.some((e) => e.event === 'database'));
  assert.deepStrictEqual(await ok(b, 'GET', '/_all_dbs'), dbsBefore);
  assert.strictEqual((await tool(['verify', cut])).last.cause, 'backup-damaged');
  // Whole gzip and valid JSON, but one document fewer than its counts say.
  const lines = fileLines(good.last.file);
  lines.find((l) => Array.isArray(l) && l.length > 1).pop();
  const short = path.join(folder, 'short.tbk');
  fs.writeFileSync(short, zlib.gzipSync(lines.map((l) => JSON.stringify(l) + '\n').join('')));
  const counted = await tool(['verify', short]);
  assert.deepStrictEqual([counted.code, counted.last.cause], [1, 'backup-damaged']);
  assert.match(counted.last.message, /“alpha” holds 299 documents where its end line counts 300/);
  fs.unlinkSync(short);

  const wrong = await tool(['backup', '--url', a.base, '--user', 'nobody', '--folder', folder]);
  assert.strictEqual(wrong.last.cause, 'unauthorized');
  assert.deepStrictEqual(fs.readdirSync(folder).sort(), [path.basename(good.last.file), 'cut.tbk'].sort());
});

test('--keep leaves exactly the newest backups and nothing else is touched', async (t) => {
  const a = await startServer();
  t.after(() => a.stop());
  await ok(a, 'PUT', '/alpha');
  const folder = tmpdir('keep');
  fs.writeFileSync(path.join(folder, 'notes.txt'), 'not a backup');
  fs.writeFileSync(path.join(folder, '.trevok-backup-20000101-000000Z.tbk.partial'), 'another run');
  const made = [];
  for (let i = 0; i < 4; i++) {
    await ok(a, 'PUT', `/alpha/doc-${i}`, { i });
    const r = await backup(a, folder, '--keep', '2');
    assert.strictEqual(r.code, 0, JSON.stringify(r));
    made.push(r.last);
  }
  // Within one second the names differ only by their -2, -3 suffix, which
  // must still sort by time.
  assert.deepStrictEqual(made.flatMap((m) => m.removed), [made[0].file, made[1].file]);
  assert.deepStrictEqual(fs.readdirSync(folder).sort(), ['.trevok-backup-20000101-000000Z.tbk.partial', 'notes.txt',
    path.basename(made[2].file), path.basename(made[3].file)].sort());
  assert.strictEqual(fs.readFileSync(path.join(folder, 'notes.txt'), 'utf8'), 'not a backup');
});

test('documents written while a backup runs are all in it, and a stopped backup leaves nothing behind', async (t) => {
  const a = await startServer();
  t.after(() => a.stop());
  await ok(a, 'PUT', '/busy');
  const docs = [];
  for (let i = 0; i < 2000; i++) docs.push({ _id: `d${String(i).padStart(4, '0')}`, v: 0 });
  const revs = new Map((await ok(a, 'POST', '/busy/_bulk_docs', { docs })).map((r) => [r.id, r.rev]));
  const folder = tmpdir('busy');

  // Every document is changed, some deleted, some added while the pages are read.
  const running = backup(a, folder);
  let done = false;
  running.then(() => { done = true; });
  let writes = 0;
  for (let i = 0; !done; i = (i + 37) % 2000) {
    const id = `d${String(i).padStart(4, '0')}`;
    const r = i % 5 === 0
      ? await a.req('DELETE', `/busy/${id}?rev=${revs.get(id)}`)
      : await a.req('PUT', `/busy/${id}`, { body: { _rev: revs.get(id), v: writes } });
    if (r.status < 300) revs.set(id, r.json.rev);
    await a.req('PUT', `/busy/new-${writes++}`, { body: {} });
  }
  const made = await running;
  assert.strictEqual(made.code, 0, JSON.stringify(made));
  assert.ok(writes > 10, `only ${writes} writes happened during the backup`);
  t.diagnostic(`${writes} documents changed and ${writes} added while the backup ran`);
  const inFile = new Set();
  for (const line of fileLines(made.last.file)) if (Array.isArray(line)) for (const d of line) inFile.add(d._id);
  assert.deepStrictEqual(docs.filter((d) => !inFile.has(d._id)), []);

  // Stopped half-way, as the console does when it gives up.
  const p = spawn(TOOL, ['backup', '--url', a.base, '--user', 'admin', '--folder', folder], { env: ENV });
  let out = '';
  p.stdout.on('data', (d) => {
    out += d;
    if (out.includes('"database"')) p.kill('SIGTERM');
  });
  assert.strictEqual(await new Promise((resolve) => p.on('exit', resolve)), 1);
  assert.match(out, /"event":"failed"/);
  assert.deepStrictEqual(fs.readdirSync(folder), [path.basename(made.last.file)]);
});

test('a database deleted after the backup listed it is left out, not a failure', async (t) => {
  const a = await startServer();
  t.after(() => a.stop());
  // A large database listed before the one deleted, so that the deletion
  // lands while the backup is still reading it.
  await ok(a, 'PUT', '/busy');
  const docs = [];
  for (let i = 0; i < 2000; i++) docs.push({ _id: `d${i}`, text: 'x'.repeat(200) });
  await ok(a, 'POST', '/busy/_bulk_docs', { docs });
  await ok(a, 'PUT', '/zz-gone');
  await ok(a, 'PUT', '/zz-gone/doc', {});
  let deleting = null;
  const made = await backupWatched(a, tmpdir('gone'), (out) => {
    if (!deleting && out.includes('"event":"start"')) deleting = a.req('DELETE', '/zz-gone');
  });
  assert.strictEqual((await deleting).status, 200);
  assert.strictEqual(made.code, 0, JSON.stringify(made.last));
  const lines = fileLines(made.last.file);
  assert.ok(!lines.some((l) => l && l.database === 'zz-gone'));
  assert.deepStrictEqual(lines[lines.length - 1].gone, ['zz-gone']);
  assert.strictEqual((await tool(['verify', made.last.file])).code, 0);
});
