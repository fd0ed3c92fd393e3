#!/usr/bin/env node
'use strict';
// The program: reads its command line, runs the server until SIGINT or SIGTERM.
const { parseCommandLine, UsageError, USAGE } = require('../lib/cli');
const log = require('../lib/log');

async function readStdin() {
  const chunks = [];
  for await (const c of process.stdin) chunks.push(c);
  return Buffer.concat(chunks).toString('utf8').split(/\r?\n/)[0];
}

async function main() {
  let cmd;
  try {
    cmd = parseCommandLine(process.argv.slice(2));
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    log.error(`${err.message} (see --help)`);
    return 2;
  }
  if (cmd.action === 'help') {
    process.stdout.write(USAGE);
    return 0;
  }
  const { startServer, VERSION } = require('../lib/server');
  if (cmd.action === 'version') {
    process.stdout.write(`duzevod-opcua ${VERSION}\n`);
    return 0;
  }
  if (cmd.action === 'hash') {
    const { makeUserLine } = require('../lib/users');
    process.stdout.write(`${await makeUserLine(cmd.name, await readStdin())}\n`);
    return 0;
  }
  let running;
  try {
    running = await startServer(cmd.config);
  } catch (err) {
    log.error(/** @type {Error} */ (err).message);
    return 1;
  }
  // A fault in the stack or a peer must not end a server that plants rely on: log it and go on.
  process.on('uncaughtException', (err) => log.error(`unexpected: ${err.stack}`));
  process.on('unhandledRejection', (err) => log.error(`unexpected: ${/** @type {Error} */ (err)?.stack ?? err}`));
  await new Promise((resolve) => {
    process.once('SIGINT', resolve);
    process.once('SIGTERM', resolve);
  });
  log.info('stopping');
  await running.stop();
  return 0;
}

main().then((code) => process.exit(code), (err) => {
  log.error(err.stack);
  process.exit(1);
});
