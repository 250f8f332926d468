'use strict';
// The launcher as the console leaves it behind: logging into the data
// folder, naming itself in the pid file, and healthy once nobody reads
// its standard output any more.

const { test } = require('node:test');
const assert = require('node:assert');
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const { SERVER_CORE, makeInstance, Server, sleep, eventually } =
  require('../server_core/harness');

function cpuSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100; // USER_HZ
}

test('logs into the data folder, rotates, and names itself in the pid file', { timeout: 120000 }, async () => {
  const instance = await makeInstance('[log]\nmax_size = 4000\n');
  const server = new Server(instance);
  await server.start();
  try {
    const pidFile = path.join(instance.dataDir, 'server-core.pid');
    const pid = await eventually(() => fs.existsSync(pidFile) &&
      JSON.parse(fs.readFileSync(pidFile, 'utf8')), 10000, 'pid file');
    assert.strictEqual(pid.launcher, server.proc.pid);
    assert.strictEqual(pid.port, instance.port);
    assert.match(pid.uuid, /^[0-9a-f]{32}$/);
    const welcome = await server.req('GET', '/');
    assert.strictEqual(welcome.json.uuid, pid.uuid);

    for (let i = 0; i < 80; i++) await server.req('GET', `/missing${i}`);
    const log = path.join(instance.dataDir, 'server-core.log');
    await eventually(() => fs.existsSync(`${log}.1`), 10000, 'rotated log');
    assert.ok(fs.statSync(log).size < 4000 * 2);
    // The server hands its lines to the launcher through a pipe, a turn of
    // its event loop at a time: the last one may come after the answer.
    await eventually(() => /GET \/missing79 404/.test(
      fs.readFileSync(`${log}.1`, 'utf8') + fs.readFileSync(log, 'utf8')), 10000, 'last request logged');
  } finally {
    await server.stop();
  }
  assert.ok(!fs.existsSync(path.join(instance.dataDir, 'server-core.pid')));
});

test('keeps answering, idle, once the reader of its output is gone', { timeout: 120000 }, async () => {
  const instance = await makeInstance();
  // A reader that goes away at once, as a console that quit.
  const proc = spawn(path.join(SERVER_CORE, 'bin/couchdb'), ['-i', '-a', instance.ini],
    { cwd: SERVER_CORE, stdio: ['ignore', 'pipe', 'pipe'] });
  const server = new Server(instance);
  server.proc = proc;
  try {
    await server.waitUntilAnswering();
    proc.stdout.destroy();
    proc.stderr.destroy();
    for (let i = 0; i < 20; i++) {
      assert.strictEqual((await server.req('GET', '/_all_dbs')).status, 200);
    }
    const pid = JSON.parse(fs.readFileSync(path.join(instance.dataDir, 'server-core.pid'))).server;
    const before = cpuSeconds(pid) + cpuSeconds(proc.pid);
    await sleep(5000);
    const after = cpuSeconds(pid) + cpuSeconds(proc.pid);
    assert.ok(after - before < 0.5, `${after - before} s of CPU while idle`);
    assert.strictEqual((await server.req('GET', '/_all_dbs')).status, 200);
  } finally {
    proc.kill('SIGTERM');
    await new Promise((r) => proc.on('exit', r));
  }
});
