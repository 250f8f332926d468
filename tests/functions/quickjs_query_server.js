'use strict';
// Judges function texts the way CouchDB 3's QuickJS query server does when a
// design document is written, for machines without that server. It speaks
// the part of the query server's line protocol that the judgement needs:
// `["reset"]` and `["add_fun", text]` on standard input, each answered on
// one line of standard output with `true` or
// `["error", "compilation_error", reason]`.
//
// The query server wraps nothing: it evaluates the text as a script in an
// interpreter patched to read an anonymous function at the start of a
// statement as an expression (so `function(doc){…};` is a script whose
// value is that function), and takes it only when that value is a function.
// Stock QuickJS (the one the bundled server runs) refuses such a statement,
// so a text it refuses is read again with `0,` in front, which makes the
// leading function an expression and leaves the rest of the text as it was:
// a body left open or a stray token is still a syntax error, a trailing
// semicolon still ends the statement, and whatever comes after the function
// still decides the script's value. (Only a second anonymous function
// after the first, which the query server would take, is refused here: no
// text of ours is written so.)
//
// The interpreter comes from the bundled server's own packages, found
// through TREVOK_SERVER_CORE or the first argument.

const path = require('path');
const readline = require('readline');

const serverCore =
  process.argv[2] || process.env.TREVOK_SERVER_CORE ||
  path.join(__dirname, '..', '..', 'resources', 'server-core');
const load = (name) => require(require.resolve(name, { paths: [serverCore] }));

const TIME_LIMIT_MS = 5000;
const MEMORY_LIMIT = 64 * 1024 * 1024;

function describe(vm, handle) {
  const error = vm.dump(handle);
  handle.dispose();
  if (error && typeof error === 'object' && error.message !== undefined)
    return { name: String(error.name || 'Error'), text: `${error.name || 'Error'}: ${error.message}` };
  return { name: '', text: JSON.stringify(error) };
}

function judge(QuickJS, source) {
  const runtime = QuickJS.newRuntime();
  const deadline = Date.now() + TIME_LIMIT_MS;
  runtime.setMemoryLimit(MEMORY_LIMIT);
  runtime.setInterruptHandler(() => Date.now() > deadline);
  const vm = runtime.newContext();
  try {
    let result = vm.evalCode(source, 'function.js');
    if (result.error) {
      const first = describe(vm, result.error);
      if (first.name !== 'SyntaxError')
        return ['error', 'compilation_error', `${first.text} (${source})`];
      result = vm.evalCode(`0,${source}`, 'function.js');
      if (result.error)
        return ['error', 'compilation_error', `${describe(vm, result.error).text} (${source})`];
    }
    const isFunction = vm.typeof(result.value) === 'function';
    result.value.dispose();
    if (!isFunction)
      return ['error', 'compilation_error', `Expression does not eval to a function. (${source})`];
    return true;
  } finally {
    vm.dispose();
    runtime.dispose();
  }
}

async function main() {
  const { newQuickJSWASMModuleFromVariant } = load('quickjs-emscripten-core');
  const variant = load('@jitl/quickjs-wasmfile-release-sync').default;
  const QuickJS = await newQuickJSWASMModuleFromVariant(variant);
  const lines = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
  for await (const line of lines) {
    if (!line.trim())
      continue;
    let answer;
    try {
      const command = JSON.parse(line);
      if (command[0] === 'reset')
        answer = true;
      else if (command[0] === 'add_fun' && typeof command[1] === 'string')
        answer = judge(QuickJS, command[1]);
      else
        answer = ['error', 'unknown_command', `not judged here: ${JSON.stringify(command[0])}`];
    } catch (err) {
      answer = ['error', 'query_protocol_error', String(err && err.message)];
    }
    process.stdout.write(`${JSON.stringify(answer)}\n`);
  }
}

main().catch((err) => {
  process.stderr.write(`${err && err.stack ? err.stack : err}\n`);
  process.exit(1);
});
