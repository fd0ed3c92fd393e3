'use strict';
// The users who may open a session, from a file of one line per user:
//
//   NAME:scrypt:N:r:p:SALT:HASH
//
// SALT and HASH in base64, HASH being scrypt(password, SALT, 32 bytes, {N, r, p}). Lines starting
// with '#' and empty lines are ignored. `duzevod-opcua --hash-password NAME` reads a password on its
// standard input and prints the line.
const crypto = require('node:crypto');
const fs = require('node:fs');

const KEY_LENGTH = 32;
const DEFAULT_COST = { N: 16384, r: 8, p: 1 };

/**
 * @typedef {object} UserEntry
 * @property {number} N
 * @property {number} r
 * @property {number} p
 * @property {Buffer} salt
 * @property {Buffer} hash
 */

/**
 * Reads a users file; throws with the file and line on anything it cannot use.
 * @param {string} file
 * @returns {Map<string, UserEntry>}
 */
function loadUsers(file) {
  const text = fs.readFileSync(file, 'utf8');
  /** @type {Map<string, UserEntry>} */
  const users = new Map();
  text.split(/\r?\n/).forEach((line, i) => {
    const where = `${file}:${i + 1}`;
    if (!line.trim() || line.trimStart().startsWith('#')) return;
    const f = line.trim().split(':');
    if (f.length !== 7 || f[1] !== 'scrypt') {
      throw new Error(`${where}: expected NAME:scrypt:N:r:p:SALT:HASH (make one with --hash-password NAME)`);
    }
    const [name, , n, r, p, salt, hash] = f;
    const N = Number(n), R = Number(r), P = Number(p);
    const saltBytes = Buffer.from(salt, 'base64');
    const hashBytes = Buffer.from(hash, 'base64');
    if (!name) throw new Error(`${where}: the user name is empty`);
    if (!Number.isInteger(N) || N < 2 || (N & (N - 1)) !== 0 || N > 1048576 || !Number.isInteger(R) || R < 1 ||
        R > 64 || !Number.isInteger(P) || P < 1 || P > 16) {
      throw new Error(`${where}: scrypt cost N=${n} r=${r} p=${p} is not usable (N a power of two up to 2^20)`);
    }
    if (saltBytes.length < 8 || hashBytes.length !== KEY_LENGTH) {
      throw new Error(`${where}: the salt (at least 8 bytes) or the hash (${KEY_LENGTH} bytes) is not valid base64`);
    }
    if (users.has(name)) throw new Error(`${where}: user ${name} is given twice`);
    users.set(name, { N, r: R, p: P, salt: saltBytes, hash: hashBytes });
  });
  return users;
}

/**
 * @param {string} password
 * @param {Buffer} salt
 * @param {{N: number, r: number, p: number}} cost
 * @returns {Promise<Buffer>}
 */
function scrypt(password, salt, cost) {
  return new Promise((resolve, reject) => {
    crypto.scrypt(password, salt, KEY_LENGTH, { ...cost, maxmem: 256 * cost.N * cost.r + 1024 * 1024 },
      (err, key) => (err ? reject(err) : resolve(key)));
  });
}

/**
 * @param {Map<string, UserEntry>} users
 * @param {string} name
 * @param {string} password
 * @returns {Promise<boolean>}
 */
async function checkPassword(users, name, password) {
  const u = users.get(name);
  // An unknown user costs as much as a known one, so that timing does not tell names apart.
  const entry = u || { ...DEFAULT_COST, salt: Buffer.alloc(16), hash: Buffer.alloc(KEY_LENGTH) };
  const key = await scrypt(password, entry.salt, entry);
  return crypto.timingSafeEqual(key, entry.hash) && u !== undefined;
}

/**
 * @param {string} name
 * @param {string} password
 * @returns {Promise<string>}
 */
async function makeUserLine(name, password) {
  if (!name || name.includes(':')) throw new Error('a user name must be non-empty and without ":"');
  const salt = crypto.randomBytes(16);
  const hash = await scrypt(password, salt, DEFAULT_COST);
  const { N, r, p } = DEFAULT_COST;
  return `${name}:scrypt:${N}:${r}:${p}:${salt.toString('base64')}:${hash.toString('base64')}`;
}

module.exports = { loadUsers, checkPassword, makeUserLine };
