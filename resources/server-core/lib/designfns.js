'use strict';
// Every place where PouchDB and the package turn a design document's text
// into a function, routed through lib/sandbox.js: views (map and reduce,
// also as `_changes?filter=_view`), `_changes` and replication filters,
// validate_doc_update, and the show, list and update functions. Before,
// each ran through `vm` or `eval` in the server process.

const sandbox = require('./sandbox');
const knownvalidation = require('./knownvalidation');
const pouchdbErrors = require('pouchdb-errors');
const pouchdbUtils = require('pouchdb-utils');
const { BuiltInError, NotFoundError } = require('pouchdb-mapreduce-utils');
const createAbstractMapReduce = require('pouchdb-abstract-mapreduce').default ||
  require('pouchdb-abstract-mapreduce');

let timeoutMs = sandbox.DEFAULT_TIMEOUT_MS;

function source(fun) {
  return typeof fun === 'function' ? fun.toString() : String(fun);
}

// ---- views: pouchdb-mapreduce with sandboxed functions -------------------

function builtInSum(values) {
  let result = 0;
  for (const num of values) {
    if (typeof num === 'number') {
      if (typeof result === 'number') result += num;
      else result[0] += num;
    } else if (Array.isArray(num)) {
      result = typeof result === 'number' ? [result] : result;
      num.forEach((n, j) => {
        if (typeof n !== 'number') throw new BuiltInError('builtin _sum function requires map values to be numbers or number arrays');
        if (result[j] === undefined) result.push(n); else result[j] += n;
      });
    } else {
      throw new BuiltInError('builtin _sum function requires map values to be numbers or number arrays');
    }
  }
  return result;
}

const builtInReduce = {
  _sum: (keys, values) => builtInSum(values),
  _count: (keys, values) => values.length,
  _stats: (keys, values) => ({
    sum: builtInSum(values),
    min: Math.min(...values),
    max: Math.max(...values),
    count: values.length,
    sumsqr: values.reduce((s, v) => s + v * v, 0),
  }),
};

function mapper(mapFun, emit) {
  const fn = sandbox.compile(source(mapFun), { kind: 'map', timeoutMs });
  return (doc) => {
    for (const [key, value] of fn(doc)) emit(key, value);
  };
}

function reducer(reduceFun) {
  const text = source(reduceFun).trim();
  for (const name of Object.keys(builtInReduce)) {
    if (text.startsWith(name)) return builtInReduce[name];
  }
  if (text.startsWith('_')) throw new Error(`${text} is not a supported reduce function.`);
  return sandbox.compile(text, { kind: 'reduce', timeoutMs });
}

function ddocValidator(ddoc, viewName) {
  const fun = ddoc.views && ddoc.views[viewName];
  if (typeof fun.map !== 'string') {
    throw new NotFoundError(`ddoc ${ddoc._id} has no string view named ${viewName}, instead found object of type: ${typeof fun.map}`);
  }
}

const abstract = createAbstractMapReduce('mrviews', mapper, reducer, ddocValidator);
const mapReducePlugin = {
  query(fun, opts, callback) { return abstract.query.call(this, fun, opts, callback); },
  viewCleanup(callback) { return abstract.viewCleanup.call(this, callback); },
};

// ---- _changes filters ----------------------------------------------------

function viewAsFilter(mapFun) {
  const fn = sandbox.compile(mapFun, { kind: 'map', timeoutMs });
  return (doc) => fn(doc).length > 0;
}

// pouchdb-changes-filter's filter(), with its `vm` evaluations replaced.
function filter(changesHandler, opts) {
  const callback = opts.complete;
  const fail = (err) => callback(err);
  const fromDesignDoc = (name, pick) => {
    const parsed = pouchdbUtils.parseDdocFunctionName(name);
    changesHandler.db.get('_design/' + parsed[0], (err, ddoc) => {
      if (changesHandler.isCancelled) return callback(null, { status: 'cancelled' });
      if (err) return fail(pouchdbErrors.generateErrorFromResponse(err));
      let fn;
      try {
        fn = pick(ddoc, parsed[1]);
      } catch (e) {
        return fail(e);
      }
      if (!fn) return undefined; // pick reported the error
      opts.filter = fn;
      return changesHandler.doChanges(opts);
    });
  };
  if (opts.filter === '_view') {
    if (!opts.view || typeof opts.view !== 'string') {
      return fail(pouchdbErrors.createError(pouchdbErrors.BAD_REQUEST, '`view` filter parameter not found or invalid.'));
    }
    return fromDesignDoc(opts.view, (ddoc, viewName) => {
      const mapFun = ddoc && ddoc.views && ddoc.views[viewName] && ddoc.views[viewName].map;
      if (!mapFun) {
        fail(pouchdbErrors.createError(pouchdbErrors.MISSING_DOC,
          ddoc.views ? `missing json key: ${viewName}` : 'missing json key: views'));
        return null;
      }
      return viewAsFilter(mapFun);
    });
  }
  if (opts.selector) {
    const { matchesSelector } = require('pouchdb-selector-core');
    opts.filter = (doc) => matchesSelector(doc, opts.selector);
    return changesHandler.doChanges(opts);
  }
  return fromDesignDoc(opts.filter, (ddoc, filterName) => {
    const filterFun = ddoc && ddoc.filters && ddoc.filters[filterName];
    if (!filterFun) {
      fail(pouchdbErrors.createError(pouchdbErrors.MISSING_DOC,
        ddoc && ddoc.filters ? `missing json key: ${filterName}` : 'missing json key: filters'));
      return null;
    }
    return sandbox.compile(filterFun, { kind: 'filter', timeoutMs });
  });
}

// ---- validate_doc_update, show, list, update (couchdb-eval) --------------

// couchdb-eval's evaluate(): the function comes back as a plain function of
// JSON arguments. A value the function throws (CouchDB's {forbidden: ...})
// is thrown on as it is, which is what the validation and rendering code
// look at. The list API (getRow, send, start) and CommonJS `require` of
// design-document modules are not offered inside the sandbox.
function evaluate(requireContext, extraVars, program) {
  const sandboxed = () => {
    try {
      return sandbox.compile(program, { kind: 'generic', timeoutMs });
    } catch (e) {
      throw Object.assign(new Error(e.message), { status: 500, name: 'compilation_error' });
    }
  };
  // The console's access rule of a user database, judged without the sandbox.
  const native = knownvalidation.validatorFor(program, () => wrapSandboxed(sandboxed()));
  if (native) return native;
  return wrapSandboxed(sandboxed());
}

function wrapSandboxed(fn) {
  return function (...args) {
    try {
      return fn(...args);
    } catch (e) {
      if (e.thrown !== undefined) throw e.thrown;
      // The package puts the stack into the reply; ours says nothing useful.
      e.stack = `${e.name}: ${e.message}`;
      throw e;
    }
  };
}

function install(PouchDB, opts = {}) {
  if (opts.timeoutMs) timeoutMs = opts.timeoutMs;
  PouchDB.plugin(mapReducePlugin);
  // The base class holds the plugin object that every subclass consults.
  const core = require('pouchdb-core');
  core._changesFilterPlugin.filter = filter;
  const coucheval = require('couchdb-eval');
  coucheval.evaluate = evaluate;
}

function setTimeoutMs(ms) {
  if (Number(ms) > 0) timeoutMs = Number(ms);
}

module.exports = { install, setTimeoutMs };
