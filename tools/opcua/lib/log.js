'use strict';
// One line per event on stderr (the journal adds its own time). A fault that repeats, such as a
// device publishing garbage every second, is told once per minute with the count of repeats.

/** @type {Map<string, {at: number, suppressed: number}>} */
const recent = new Map();
const REPEAT_MS = 60000;
let quiet = false;

/** @param {boolean} q */
function setQuiet(q) {
  quiet = q;
}

/** @param {string} text */
function info(text) {
  if (!quiet) process.stderr.write(`duzevod-opcua: ${text}\n`);
}

/** @param {string} text */
function error(text) {
  process.stderr.write(`duzevod-opcua: ${text}\n`);
}

/**
 * @param {string} key  what makes two warnings the same fault
 * @param {string} text
 */
function warn(key, text) {
  const now = Date.now();
  const r = recent.get(key);
  if (r && now - r.at < REPEAT_MS) {
    r.suppressed++;
    return;
  }
  const more = r && r.suppressed ? ` (and ${r.suppressed} more like it)` : '';
  recent.set(key, { at: now, suppressed: 0 });
  if (recent.size > 10000) recent.clear();
  info(text + more);
}

module.exports = { info, warn, error, setQuiet };
