'use strict';
// Cost of one call of a design-document function in the sandbox, next to
// the same function evaluated with Node's `vm` as the package did, for the
// project's own filter and map texts and documents of several sizes.
// Run: node bench/sandbox/sandbox_calls.js (prints figures, asserts nothing).

const path = require('path');
const vm = require('vm');
const core = process.env.TREVOK_SERVER_CORE || path.resolve(__dirname, '../../resources/server-core');
const sandbox = require(`${core}/lib/sandbox.js`);

const FUNCTIONS = {
  'user_to_master_filter': ['filter', "function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { return true; }}}"],
  'master_to_project_filter': ['filter', 'function(doc, req) {{if (doc._deleted) { return true; }};{if (doc.projectID == "P1") { return true; } else { return false }}}'],
  'all_projects map': ['map', "function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.title,doc);};"],
};
const CALLS = 5000;

function doc(bytes) {
  return { _id: 'd', _rev: '1-abc', type: 'ProjectInfoDoc', projectID: 'P1', title: 'T', body: 'x'.repeat(bytes) };
}

function perCallMicros(fn, args) {
  for (let i = 0; i < 200; i++) fn(...args);
  const start = process.hrtime.bigint();
  for (let i = 0; i < CALLS; i++) fn(...args);
  return Number(process.hrtime.bigint() - start) / CALLS / 1000;
}

(async () => {
  await sandbox.ready();
  console.log(`${'function'.padEnd(26)} ${'doc bytes'.padStart(9)} ${'sandbox us'.padStart(11)} ${'vm us'.padStart(8)}`);
  for (const [name, [kind, src]] of Object.entries(FUNCTIONS)) {
    const boxed = sandbox.compile(src, { kind });
    const emitted = [];
    const plain = vm.runInNewContext(`(function(){ var emit = function(k, v){ __e.push([k, v]); }; return ${src.replace(/;\s*$/, '')}; })()`, { __e: emitted });
    for (const bytes of [100, 1000, 10000]) {
      const args = kind === 'map' ? [doc(bytes)] : [doc(bytes), { query: {} }];
      const s = perCallMicros(boxed, args);
      const v = perCallMicros((...a) => JSON.parse(JSON.stringify(plain(...a) === undefined ? null : true)), args);
      emitted.length = 0;
      console.log(`${name.padEnd(26)} ${String(JSON.stringify(args[0]).length).padStart(9)} ${s.toFixed(1).padStart(11)} ${v.toFixed(1).padStart(8)}`);
    }
  }
})();
