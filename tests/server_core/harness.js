'use strict';
// Starts the real bundled server (bin/couchdb, as the console does) on a
// temporary data folder and a free port, and talks HTTP to it.

const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const SERVER_CORE = process.env.TREVOK_SERVER_CORE ||
  path.resolve(__dirname, '../../resources/server-core');

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

async function makeInstance(extraIni = '') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'server-core-test-'));
  const port = await freePort();
  const ini = path.join(dir, 'test.ini');
  // Laid out the way the console leaves local.ini: the [couchdb] section
  // appears a second time, appended after the shipped content.
  fs.writeFileSync(ini, `; test settings\n[couchdb]\n\n[httpd]\nport = ${port} ; inline comment\n\n` +
    `${extraIni}\n[couchdb]\ndatabase_dir = ${dir}/data\nview_index_dir = ${dir}/data\n\n`);
  return { dir, port, ini, dataDir: path.join(dir, 'data') };
}

class Server {
  constructor(instance) {
    this.instance = instance;
    this.base = `http://127.0.0.1:${instance.port}`;
    this.output = '';
  }

  start() {
    this.output = '';
    this.proc = spawn(path.join(SERVER_CORE, 'bin/couchdb'), ['-i', '-a', this.instance.ini],
      { cwd: SERVER_CORE, stdio: ['ignore', 'pipe', 'pipe'] });
    this.proc.stdout.on('data', (d) => { this.output += d; });
    this.proc.stderr.on('data', (d) => { this.output += d; });
    this.exited = new Promise((resolve) => this.proc.on('exit', resolve));
    return this.waitUntilAnswering();
  }

  async waitUntilAnswering(timeoutMs = 20000) {
    const end = Date.now() + timeoutMs;
    while (Date.now() < end) {
      try {
        await fetch(this.base + '/');
        return;
      } catch (e) {
        await sleep(50);
      }
    }
    throw new Error(`server did not answer on ${this.base}; output:\n${this.output}`);
  }

  async stop() {
    if (!this.proc || this.proc.exitCode !== null) return;
    this.proc.kill('SIGTERM');
    await this.exited;
  }

  // The pid of the forked server process, from its log lines.
  childPid() {
    const m = /\[(\d+)\] server-core has started/g;
    let last;
    for (let r; (r = m.exec(this.output));) last = Number(r[1]);
    return last;
  }

  async req(method, urlPath, { body, auth = ['admin', 'trevok'], cookie, raw } = {}) {
    const headers = { Accept: 'application/json' };
    if (auth) headers.Authorization = 'Basic ' + Buffer.from(auth.join(':')).toString('base64');
    if (cookie) headers.Cookie = cookie;
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    const res = await fetch(this.base + urlPath, {
      method, headers, body: body === undefined ? undefined : (raw ? body : JSON.stringify(body)),
    });
    const text = await res.text();
    let json;
    try { json = JSON.parse(text); } catch (e) { json = undefined; }
    return { status: res.status, json, text, headers: res.headers };
  }
}

function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

// Polls `fn` until it returns a truthy value or the time is up.
async function eventually(fn, timeoutMs = 10000, what = 'condition') {
  const end = Date.now() + timeoutMs;
  let last;
  while (Date.now() < end) {
    last = await fn();
    if (last) return last;
    await sleep(100);
  }
  throw new Error(`timed out waiting for ${what}`);
}

module.exports = { SERVER_CORE, makeInstance, Server, sleep, eventually, freePort };
