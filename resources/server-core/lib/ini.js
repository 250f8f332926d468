'use strict';
// CouchDB-style INI files: `[section]` headers (a section may appear more
// than once and is merged), `key = value` lines, `;` comments at line start
// or after whitespace. An empty value deletes the key, which is how CouchDB
// records a DELETE /_config in the last file of the chain.

const fs = require('fs');
const path = require('path');

const SECTION_RE = /^\s*\[([^\]]+)\]\s*$/;
const KEY_RE = /^\s*([^=;\s][^=]*?)\s*=(.*)$/;

function stripComment(value) {
  const m = /[ \t];/.exec(value);
  return (m ? value.slice(0, m.index) : value).trim();
}

// Returns [{section, key, value}] in file order; value '' means "deleted".
function parse(text) {
  const entries = [];
  let section = null;
  for (const line of text.split(/\r?\n/)) {
    if (/^\s*(;|$)/.test(line)) continue;
    const s = SECTION_RE.exec(line);
    if (s) { section = s[1].trim(); continue; }
    const kv = KEY_RE.exec(line);
    if (kv && section !== null) {
      entries.push({ section, key: kv[1], value: stripComment(kv[2]) });
    }
  }
  return entries;
}

// Applies the entries of several files in order onto one {section: {key: value}}.
function merge(texts) {
  const out = {};
  for (const text of texts) {
    for (const { section, key, value } of parse(text)) {
      out[section] = out[section] || {};
      if (value === '') delete out[section][key];
      else out[section][key] = value;
    }
  }
  return out;
}

// Rewrites `key` in `section` of the INI text, keeping every other line
// (comments included) as it was. The key is replaced where it already is;
// otherwise it goes at the end of the last block of that section, or in a
// new section at the end of the file.
function setKey(text, section, key, value) {
  const lines = text.split('\n');
  let current = null;
  let lastSectionEnd = -1; // index after the last key line of the last block of `section`
  let replaced = false;
  for (let i = 0; i < lines.length; i++) {
    const s = SECTION_RE.exec(lines[i]);
    if (s) {
      current = s[1].trim();
      if (current === section) lastSectionEnd = i + 1;
      continue;
    }
    if (current !== section) continue;
    const kv = KEY_RE.exec(lines[i]);
    if (kv) {
      lastSectionEnd = i + 1;
      if (kv[1] === key) {
        lines[i] = `${key} = ${value}`;
        replaced = true;
      }
    }
  }
  if (replaced) return lines.join('\n');
  if (lastSectionEnd >= 0) {
    lines.splice(lastSectionEnd, 0, `${key} = ${value}`);
    return lines.join('\n');
  }
  let out = lines.join('\n');
  if (out.length && !out.endsWith('\n')) out += '\n';
  if (out.length && !out.endsWith('\n\n')) out += '\n';
  return `${out}[${section}]\n${key} = ${value}\n`;
}

// Writes through a temporary file so a crash never leaves half a config.
// The file keeps its permissions: it holds the administrator's password
// hash, and its owner may have made it private.
function setKeyInFile(file, section, key, value) {
  const exists = fs.existsSync(file);
  const text = exists ? fs.readFileSync(file, 'utf8') : '';
  const mode = exists ? fs.statSync(file).mode & 0o7777 : 0o600;
  const tmp = path.join(path.dirname(file), `.${path.basename(file)}.tmp`);
  fs.writeFileSync(tmp, setKey(text, section, key, value), { mode });
  fs.chmodSync(tmp, mode);
  fs.renameSync(tmp, file);
}

module.exports = { parse, merge, setKey, setKeyInFile };
