'use strict';
// The configuration chain of a CouchDB 1.x installation: default.ini, then
// local.ini, then each `-a` file, later ones winning. Changes made through
// /_config go to the last file of the chain, as CouchDB does, so they
// survive a restart.

const fs = require('fs');
const Auth = require('pouchdb-auth');
const ini = require('./ini');
const passwords = require('./passwords');

// sysexits' EX_CONFIG: the supervisor does not retry a start that cannot
// succeed until someone edits the configuration.
const EX_CONFIG = 78;
const HASH_RE = /^-(?:pbkdf2|hashed)-/;

// Values keep the types express-pouchdb's own /_config PUT would give them
// (it JSON-parses what it stores), because parts of the package compare
// against booleans and numbers. Passwords always stay strings.
function typed(section, value) {
  if (section === 'admins') return String(value);
  if (value === 'true') return true;
  if (value === 'false') return false;
  // Short integers only: a long digit string is more likely an id or secret.
  if (/^-?\d{1,15}$/.test(value)) return Number(value);
  return value;
}

function asText(value) {
  return typeof value === 'string' ? value : JSON.stringify(value);
}

class ConfigChain {
  constructor(files) {
    this.files = files;
    this.writeFile = files[files.length - 1];
    const texts = files.map((f) => {
      try { return fs.readFileSync(f, 'utf8'); } catch (e) {
        throw Object.assign(new Error(`cannot read configuration file ${f}: ${e.message}`),
          { exitCode: EX_CONFIG });
      }
    });
    const merged = ini.merge(texts);
    this.values = {};
    for (const section of Object.keys(merged)) {
      this.values[section] = {};
      for (const key of Object.keys(merged[section])) {
        this.values[section][key] = typed(section, merged[section][key]);
      }
    }
  }

  get(section, key) {
    return (this.values[section] || {})[key];
  }

  // Fewer iterations than CouchDB 2's default would make the stored hashes
  // cheap to attack; the setting can raise the count, never lower it.
  enforceIterations() {
    this.values.couch_httpd_auth = this.values.couch_httpd_auth || {};
    this.values.couch_httpd_auth.iterations = passwords.iterationsFrom(this);
  }

  // Plain-text admin passwords are replaced by salted PBKDF2 hashes, in
  // memory and in the last file, before the server answers anything.
  async hashAdminPasswords() {
    const admins = this.values.admins || {};
    for (const name of Object.keys(admins)) {
      if (HASH_RE.test(admins[name])) continue;
      admins[name] = await hashPassword(admins[name], passwords.iterationsFrom(this));
      ini.setKeyInFile(this.writeFile, 'admins', name, admins[name]);
    }
  }

  // A value the server makes up once and keeps, like CouchDB's [couchdb] uuid.
  ensure(section, key, make) {
    if (this.get(section, key) === undefined) {
      this.values[section] = this.values[section] || {};
      this.values[section][key] = make();
      ini.setKeyInFile(this.writeFile, section, key, asText(this.values[section][key]));
    }
    return this.get(section, key);
  }

  // Takes over the storage of express-pouchdb's CouchConfig instance. Its
  // listeners and registered defaults stay, so the package's parts keep
  // reacting to changes (e.g. the users db picking up a new admin password).
  installInto(couchConfig) {
    const chain = this;
    couchConfig._file = null;
    couchConfig._config = this.values;
    couchConfig.set = function (section, key, value, callback) {
      const prev = (this._config[section] || {})[key];
      Promise.resolve()
        .then(() => {
          if (section === 'admins') return hashPassword(String(value), passwords.iterationsFrom(chain));
          if (section === 'couch_httpd_auth' && key === 'iterations') {
            return Math.max(passwords.MIN_ITERATIONS, Math.floor(Number(value)) || 0);
          }
          return value;
        })
        .then((stored) => {
          if (/[\r\n]/.test(asText(stored))) throw badValue();
          ini.setKeyInFile(chain.writeFile, section, key, asText(stored));
          this._config[section] = this._config[section] || {};
          this._config[section][key] = stored;
          this.emit(`${section}.${key}`);
          this.emit(section);
          // CouchDB answers with the old value as a JSON string.
          callback(null, prev === undefined ? undefined : asText(prev));
        })
        .catch((err) => callback(err));
    };
    couchConfig.delete = function (section, key, callback) {
      const prev = (this._config[section] || {})[key];
      if (prev === undefined) return callback(null, undefined);
      try {
        ini.setKeyInFile(chain.writeFile, section, key, '');
      } catch (err) {
        return callback(err);
      }
      delete this._config[section][key];
      this.emit(`${section}.${key}`);
      this.emit(section);
      callback(null, asText(prev));
    };
  }
}

function badValue() {
  const err = new Error('Configuration values cannot span lines.');
  err.status = 400;
  err.name = 'bad_request';
  return err;
}

function hashPassword(password, iterations) {
  if (HASH_RE.test(password)) return Promise.resolve(password);
  return Auth.hashAdminPasswords({ x: password }, { iterations }).then((r) => r.x);
}

module.exports = { ConfigChain, EX_CONFIG };
