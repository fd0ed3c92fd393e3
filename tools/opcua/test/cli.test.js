'use strict';
// The program as an operator meets it: its version, and a clear word for each thing it cannot use.
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { freePort, tmpDir, waitFor } = require('./helpers');
const { loadUsers, checkPassword } = require('../lib/users');

const bin = path.join(__dirname, '..', 'bin', 'duzevod-opcua.js');

/** @param {string[]} args @param {string} [input] */
function run(args, input) {
  return spawnSync(process.execPath, [bin, ...args], { encoding: 'utf8', input, timeout: 60000 });
}

/** Starts the program; resolves when its stderr matches `pattern`. @param {string[]} args @param {RegExp} pattern */
async function runUntil(args, pattern) {
  const p = spawn(process.execPath, [bin, ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
  let err = '';
  p.stderr.on('data', (d) => { err += d; });
  try {
    await waitFor(() => pattern.test(err) || p.exitCode !== null, `${pattern}`, 30000);
  } catch (e) {
    p.kill('SIGKILL');
    throw new Error(`${/** @type {Error} */ (e).message}; stderr: ${err}`);
  }
  return { p, stderr: () => err };
}

describe('the command line', () => {
  it('says the version the project has', () => {
    const cmake = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'CMakeLists.txt'), 'utf8');
    const version = /project\(duzevod VERSION (\d+\.\d+\.\d+)/.exec(cmake)?.[1];
    const r = run(['--version']);
    assert.equal(r.status, 0);
    assert.equal(r.stdout.trim(), `duzevod-opcua ${version}`);
  });

  it('refuses bad options with a reason and exit status 2', () => {
    for (const [args, reason] of /** @type {[string[], RegExp][]} */ ([
      [['--group', 'G', '--allow-anonymous'], /--broker HOST\[:PORT\] is missing/],
      [['--broker', 'b', '--allow-anonymous'], /--group GROUP_ID is missing/],
      [['--broker', 'b', '--group', 'a/b', '--allow-anonymous'], /--group must be/],
      [['--broker', 'b:99999', '--group', 'G', '--allow-anonymous'], /--broker wants HOST or HOST:PORT/],
      [['--broker', 'b', '--group', 'G'], /nobody could log in/],
      [['--broker', 'b', '--group', 'G', '--allow-anonymous', '--security', 'sign,open'], /--security is a list/],
      [['--broker', 'b', '--group', 'G', '--allow-anonymous', '--tls-ca', '/nonexistent/ca.pem'], /--tls-ca \/nonexistent\/ca.pem: no such file/],
      [['--broker', 'b', '--group', 'G', '--allow-anonymous', '--bogus'], /Unknown option '--bogus'/],
    ])) {
      const r = run(args);
      assert.equal(r.status, 2, args.join(' '));
      assert.match(r.stderr, reason);
    }
  });

  it('makes a users line that checks, and names the line of a bad users file', async () => {
    const r = run(['--hash-password', 'operator'], 'correct horse\n');
    assert.equal(r.status, 0);
    const dir = tmpDir();
    const file = path.join(dir, 'users');
    fs.writeFileSync(file, `# plant users\n\n${r.stdout}`);
    const users = loadUsers(file);
    assert.equal(await checkPassword(users, 'operator', 'correct horse'), true);
    assert.equal(await checkPassword(users, 'operator', 'correct horse '), false);
    assert.equal(await checkPassword(users, 'nobody', 'correct horse'), false);

    fs.appendFileSync(file, 'admin:md5:xyz\n');
    const bad = run(['--broker', '127.0.0.1:1', '--group', 'G', '--users', file, '--pki', path.join(dir, 'pki'),
      '--port', String(await freePort())]);
    assert.equal(bad.status, 1);
    assert.match(bad.stderr, new RegExp(`${file}:4: expected NAME:scrypt`));
  });

  it('says when its port is in use, and keeps trying an unreachable broker', async () => {
    const dir = tmpDir();
    const port = await freePort();
    const blocker = net.createServer().listen(port);
    await new Promise((r) => blocker.once('listening', r));
    const common = ['--group', 'G', '--allow-anonymous', '--pki', path.join(dir, 'pki')];
    try {
      const r = run(['--broker', '127.0.0.1:1', '--port', String(port), ...common]);
      assert.equal(r.status, 1);
      assert.match(r.stderr, new RegExp(`OPC UA port ${port} is in use`));
    } finally {
      blocker.close();
    }
    const brokerPort = await freePort();
    const { p, stderr } = await runUntil(['--broker', `127.0.0.1:${brokerPort}`, '--port', String(await freePort()), ...common],
      /ECONNREFUSED .*; trying again/);
    assert.equal(p.exitCode, null, stderr());
    const exit = new Promise((r) => p.once('exit', r));
    p.kill('SIGTERM');
    assert.equal(await exit, 0);
  });
});
