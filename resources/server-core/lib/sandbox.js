'use strict';
// Design-document functions (views, filters, validation and the rest) are
// written by whoever may save a design document, and they used to run in
// the server process itself, where `this.constructor.constructor` leads to
// `process` and so to the whole machine. Here each function runs in its own
// QuickJS interpreter compiled to WebAssembly: it sees plain JavaScript and
// the few helpers CouchDB's query server gives (emit, log, sum, isArray,
// toJSON), nothing of Node.js, and it is interrupted after its time limit.
// Arguments and results cross the boundary as JSON text, as they did when
// CouchDB piped them to its query server.


const DEFAULT_TIMEOUT_MS = 5000; // CouchDB's [couchdb] os_process_timeout
const MEMORY_LIMIT = 256 * 1024 * 1024;
const STACK_LIMIT = 1024 * 1024;
// After a time-out the function fails at once for a while instead of
// stalling the server for its whole time limit on every document again.
const BROKEN_FOR_MS = 5000;
const CACHE_SIZE = 256;
const COMPILE_TIMEOUT_MS = 5000;

let QuickJS = null;
let loading = null;

// The WebAssembly module is compiled once, asynchronously; everything after
// that is synchronous, as PouchDB calls these functions synchronously.
// Loaded on first use, so that requiring this module costs the server's
// start nothing until it asks for the interpreter.
function ready() {
  if (!loading) {
    const { newQuickJSWASMModuleFromVariant } = require('quickjs-emscripten-core');
    const variant = require('@jitl/quickjs-wasmfile-release-sync').default;
    loading = newQuickJSWASMModuleFromVariant(variant).then((m) => { QuickJS = m; });
  }
  return loading;
}

// What the query server puts in scope. `require` exists so that a function
// using it fails with a clear message rather than a ReferenceError.
const PRELUDE = `
var __emitted = [];
var emit = function (key, value) {
  __emitted.push([key === undefined ? null : key, value === undefined ? null : value]);
};
var log = function () {};
var sum = function (values) {
  var total = 0;
  for (var i = 0; i < values.length; i++) total += values[i];
  return total;
};
var isArray = Array.isArray;
var toJSON = function (value) { return JSON.stringify(value); };
var require = function () { throw new Error('require() is not available to design-document functions'); };
var __call = function (fn, argsText) {
  __emitted = [];
  var result;
  try {
    result = fn.apply(null, JSON.parse(argsText));
  } catch (e) {
    if (e instanceof Error) return JSON.stringify({ error: String(e.message), errorName: String(e.name) });
    return JSON.stringify({ thrown: e === undefined ? null : e });
  }
  return JSON.stringify({ result: result, undef: result === undefined, emitted: __emitted });
};
`;

class SandboxError extends Error {
  constructor(message, extra) {
    super(message);
    this.name = 'SandboxError';
    Object.assign(this, extra);
  }
}

function stripSource(source) {
  // CouchDB accepts a trailing semicolon after the function expression.
  return String(source).replace(/;\s*$/, '');
}

class Compiled {
  constructor(source, timeoutMs) {
    this.source = source;
    this.timeoutMs = timeoutMs;
    this.deadline = 0;
    this.brokenUntil = 0;
    this.runtime = QuickJS.newRuntime();
    this.runtime.setMemoryLimit(MEMORY_LIMIT);
    this.runtime.setMaxStackSize(STACK_LIMIT);
    this.runtime.setInterruptHandler(() => Date.now() > this.deadline);
    this.vm = this.runtime.newContext();
    try {
      // Compiling runs no more than the function's own top level, but a
      // start-up on a busy machine must not count as a runaway function.
      this.deadline = Date.now() + Math.max(timeoutMs, COMPILE_TIMEOUT_MS);
      this.unwrap(this.vm.evalCode(PRELUDE, 'prelude.js'), 'prelude').dispose();
      this.fn = this.unwrap(this.vm.evalCode(`(${stripSource(source)}\n)`, 'function.js'), 'compilation');
      if (this.vm.typeof(this.fn) !== 'function') {
        throw new SandboxError(`Expression does not eval to a function. ${source}`, { compilation: true });
      }
      this.call = this.vm.getProp(this.vm.global, '__call');
    } catch (err) {
      this.dispose();
      throw err;
    }
  }

  unwrap(result, what) {
    if (!result.error) return result.value;
    const detail = this.vm.dump(result.error);
    result.error.dispose();
    if (Date.now() > this.deadline) {
      throw new SandboxError(`${what} timed out`, { timeout: true });
    }
    const text = detail && typeof detail === 'object' && detail.message !== undefined
      ? `${detail.name || 'Error'}: ${detail.message}` : JSON.stringify(detail);
    if (what === 'compilation') {
      throw new SandboxError(`Expression does not eval to a function. ${this.source} (${text})`, { compilation: true });
    }
    throw new SandboxError(`${what} failed: ${text}`);
  }

  invoke(args) {
    if (!this.vm) throw new SandboxError('function was disposed');
    const now = Date.now();
    if (now < this.brokenUntil) {
      throw new SandboxError(`function timed out after ${this.timeoutMs} ms and is suspended`, { timeout: true, name: 'os_process_error' });
    }
    const argsHandle = this.vm.newString(JSON.stringify(args));
    this.deadline = now + this.timeoutMs;
    let out;
    try {
      const result = this.vm.callFunction(this.call, this.vm.undefined, this.fn, argsHandle);
      if (result.error) {
        const detail = this.vm.dump(result.error);
        result.error.dispose();
        if (Date.now() > this.deadline) {
          this.brokenUntil = Date.now() + BROKEN_FOR_MS;
          throw new SandboxError(`function timed out after ${this.timeoutMs} ms`, { timeout: true, name: 'os_process_error' });
        }
        throw new SandboxError(`function failed: ${detail && detail.message ? detail.message : JSON.stringify(detail)}`);
      }
      out = this.vm.getString(result.value);
      result.value.dispose();
    } finally {
      argsHandle.dispose();
      // Memory of one call must not pile up over a long view build.
      // (nothing pending: functions are synchronous)
    }
    const parsed = JSON.parse(out);
    if (parsed.error !== undefined) {
      const err = new SandboxError(parsed.error);
      // Named as the function's own error, as CouchDB's query server does.
      err.name = parsed.errorName;
      throw err;
    }
    if (parsed.thrown !== undefined) {
      const thrown = parsed.thrown;
      throw new SandboxError(`function threw ${JSON.stringify(thrown)}`, { thrown });
    }
    return parsed;
  }

  dispose() {
    if (this.call) this.call.dispose();
    if (this.fn) this.fn.dispose();
    if (this.vm) this.vm.dispose();
    this.runtime.dispose();
    this.call = this.fn = this.vm = null;
  }
}

// Compiled functions are kept by source text, least recently used first out:
// PouchDB asks for the same filter or validation function over and over.
const cache = new Map();

function compiled(source, timeoutMs) {
  const key = `${timeoutMs}\u0000${source}`;
  let c = cache.get(key);
  if (c) {
    cache.delete(key);
    cache.set(key, c);
    return c;
  }
  c = new Compiled(source, timeoutMs);
  cache.set(key, c);
  if (cache.size > CACHE_SIZE) {
    const [oldKey, old] = cache.entries().next().value;
    cache.delete(oldKey);
    old.dispose();
  }
  return c;
}

// Copying a document into the interpreter costs in proportion to its size,
// and most filters read two or three of its fields. When every use of the
// document parameter in the text is a plain `doc.field` read (no bare use,
// no computed member, no `arguments`, `eval`, `Function` or `with`, no
// field that Object.prototype also has), only those fields are copied: the
// function cannot tell the difference.
const PROTO_NAMES = new Set(Object.getOwnPropertyNames(Object.prototype).concat(['__proto__']));

function fieldsRead(source) {
  const m = /^\s*function\s*[\w$]*\s*\(\s*([A-Za-z_$][\w$]*)/.exec(source);
  if (!m || /\b(arguments|eval|Function|with)\b/.test(source)) return null;
  const param = m[1];
  const body = source.slice(m.index + m[0].length);
  const fields = new Set();
  const re = new RegExp(`(^|[^\\w$.])${param.replace(/\$/g, '\\$')}(?![\\w$])(\\s*\\.\\s*([A-Za-z_$][\\w$]*))?`, 'g');
  for (let r; (r = re.exec(body));) {
    if (!r[3] || PROTO_NAMES.has(r[3])) return null;
    fields.add(r[3]);
  }
  return [...fields];
}

function project(doc, fields) {
  if (!doc || typeof doc !== 'object' || Array.isArray(doc)) return doc;
  const out = {};
  for (const f of fields) if (Object.prototype.hasOwnProperty.call(doc, f)) out[f] = doc[f];
  return out;
}

// compile(source, { kind, timeoutMs }) -> fn(...jsonArgs)
//  - 'map': fn(doc) returns the [key, value] pairs the function emitted;
//  - 'filter', 'reduce', 'validate' and anything else: fn(...) returns the
//    function's result (undefined stays undefined).
// fn throws a SandboxError on a syntax error (`compilation`), an exception
// (`thrown` holds a value that was not an Error, such as {forbidden: ...})
// or a time-out (`timeout`).
function compile(source, { kind = 'filter', timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
  if (!QuickJS) throw new Error('sandbox.ready() has not completed');
  if (typeof source !== 'string') throw new SandboxError('function source must be a string', { compilation: true });
  const timeout = Number(timeoutMs) > 0 ? Number(timeoutMs) : DEFAULT_TIMEOUT_MS;
  compiled(source, timeout); // syntax errors surface here, not at the first call
  const fields = kind === 'filter' || kind === 'map' ? fieldsRead(source) : null;
  return function (...args) {
    if (fields) args[0] = project(args[0], fields);
    const parsed = compiled(source, timeout).invoke(args);
    if (kind === 'map') return parsed.emitted;
    return parsed.undef ? undefined : parsed.result;
  };
}

module.exports = { ready, compile, fieldsRead, SandboxError, DEFAULT_TIMEOUT_MS };
