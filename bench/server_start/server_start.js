#!/usr/bin/env node
'use strict';
// Time from launching the bundled server the way the console does
// (`bin/couchdb -i`, server-core as working directory) to its first HTTP
// answer, against the one second the console's start-up waits.

const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const SERVER_CORE = process.env.TREVOK_SERVER_CORE ||
  path.resolve(__dirname, '../../resources/server-core');
const RUNS = 5;
const CONSOLE_WAIT_MS = 1000;

function freePort() {
  return new Promise((resolve) => {
    const srv = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

async function once(dir, port, fresh) {
  const dataDir = path.join(dir, 'data');
  if (fresh) fs.rmSync(dataDir, { recursive: true, force: true });
  const ini = path.join(dir, 'bench.ini');
  fs.writeFileSync(ini, `[couchdb]\ndatabase_dir = ${dataDir}\n\n[httpd]\nport = ${port}\n`);
  const t0 = process.hrtime.bigint();
  const proc = spawn(path.join(SERVER_CORE, 'bin/couchdb'), ['-i', '-a', ini],
    { cwd: SERVER_CORE, stdio: 'ignore' });
  const exited = new Promise((r) => proc.on('exit', r));
  let ms;
  for (;;) {
    try {
      await fetch(`http://127.0.0.1:${port}/`);
      ms = Number(process.hrtime.bigint() - t0) / 1e6;
      break;
    } catch (e) {
      if (proc.exitCode !== null) throw new Error('server exited before answering');
      await new Promise((r) => setTimeout(r, 5));
    }
  }
  proc.kill('SIGTERM');
  await exited;
  return ms;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'server-start-bench-'));
  const port = await freePort();
  const times = [];
  try {
    // The first run starts on an empty folder, the later ones on its data,
    // as the console's first and later starts do.
    for (let i = 0; i < RUNS; i++) times.push(await once(dir, port, i === 0));
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
  const sorted = [...times].sort((a, b) => a - b);
  const median = sorted[Math.floor(sorted.length / 2)];
  const worst = sorted[sorted.length - 1];
  console.log(`server start, launch to first HTTP answer, ${RUNS} runs: ` +
    times.map((t) => `${t.toFixed(0)} ms`).join(', '));
  console.log(`median ${median.toFixed(0)} ms, worst ${worst.toFixed(0)} ms ` +
    `(console waits ${CONSOLE_WAIT_MS} ms: ${worst <= CONSOLE_WAIT_MS ? 'within' : 'OVER'})`);
}

main().catch((err) => { console.error(err.message); process.exit(1); });
