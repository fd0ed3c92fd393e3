'use strict';
// The project's own programs for end-to-end runs: the bus simulator on a pseudo-terminal and the C++
// gateway as a Sparkplug edge node on it. CTest names the built programs in the environment; without
// them (a plain `node --test`) the suites that need them are skipped with the reason.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');

/** @returns {{sim: string, gateway: string, module: string} | string}  the programs, or why not */
function programs() {
  const p = { sim: process.env.DUZ_SIM, gateway: process.env.DUZ_MQTT, module: process.env.DUZ_MODULE };
  for (const [k, v] of Object.entries({ DUZ_SIM: p.sim, DUZ_MQTT: p.gateway, DUZ_MODULE: p.module })) {
    if (!v) return `${k} is not set (CTest's opcua_server sets it to the built program)`;
    if (!fs.existsSync(v)) return `${k}=${v} does not exist (build it first)`;
  }
  return /** @type {{sim: string, gateway: string, module: string}} */ (p);
}

/** Ends a child with SIGTERM, and SIGKILL if it lingers. @param {import('node:child_process').ChildProcess | undefined} p */
async function terminate(p, ms = 10000) {
  if (!p || p.exitCode !== null || p.signalCode !== null) return;
  await new Promise((resolve) => {
    const t = setTimeout(() => p.kill('SIGKILL'), ms);
    p.once('exit', () => { clearTimeout(t); resolve(undefined); });
    p.kill('SIGTERM');
  });
}

/** The simulator playing one bus on its own pseudo-terminal, with commands on its standard input. */
class SimLine {
  /** @param {string} bin @param {string} dir @param {string} busText */
  static async start(bin, dir, busText) {
    const line = new SimLine(dir);
    fs.writeFileSync(line.busFile, busText);
    line.proc = spawn(bin, ['--bus', line.busFile, '--record', line.recordFile], { stdio: ['pipe', 'pipe', 'pipe'] });
    line.proc.stderr?.on('data', (d) => { line.errors += d; });
    const lines = readline.createInterface({ input: /** @type {import('node:stream').Readable} */ (line.proc.stdout) });
    lines.on('line', (l) => {
      if (!line.pty) { line.pty = l.trim(); line.ready?.(); return; }
      const w = line.waiting.shift();
      if (w) w(l);
    });
    await new Promise((resolve, reject) => {
      line.ready = () => resolve(undefined);
      line.proc?.once('exit', (code) => reject(new Error(`duzevod-sim ended (${code}): ${line.errors}`)));
    });
    return line;
  }

  /** @param {string} dir */
  constructor(dir) {
    this.dir = dir;
    this.busFile = path.join(dir, 'line.bus');
    this.recordFile = path.join(dir, 'record');
    this.pty = '';
    this.errors = '';
    /** @type {((line: string) => void)[]} */
    this.waiting = [];
    /** @type {import('node:child_process').ChildProcess | undefined} */
    this.proc = undefined;
    /** @type {(() => void) | undefined} */
    this.ready = undefined;
  }

  /** A command as on the simulator's console; resolves to its answer. @param {string} text */
  command(text) {
    return new Promise((resolve) => {
      this.waiting.push(resolve);
      this.proc?.stdin?.write(`${text}\n`);
    });
  }

  /** @returns {{us: number, kind: string, bytes: number[]}[]}  the record of the line so far */
  record() {
    const text = fs.existsSync(this.recordFile) ? fs.readFileSync(this.recordFile, 'utf8') : '';
    return text.split('\n').filter(Boolean).map((l) => {
      const [us, kind, ...hex] = l.split(' ');
      return { us: Number(us), kind, bytes: kind === 'rx' || kind === 'tx' ? hex.map((h) => parseInt(h, 16)) : [] };
    });
  }

  stop() { return terminate(this.proc); }
}

/**
 * The gateway on a line as edge node `edge` of `group`; its first start searches addresses 1..limit.
 * @param {{bin: string, module: string, dir: string, line: SimLine, limit: number, brokerPort: number,
 *   group: string, edge: string, allowWrites?: boolean, extra?: string[]}} o
 */
function startGateway(o) {
  const env = { ...process.env, DUZEVOD_DIR: o.dir, DUZEVOD_PORTS: o.line.pty,
    DUZEVOD_OPERATOR: `dialog port=${o.line.pty} limit=${o.limit} search; dialog exit` };
  const args = ['--module', o.module, '--broker', `127.0.0.1:${o.brokerPort}`, '--sparkplug', o.group,
    '--edge-node', o.edge, ...(o.allowWrites ? ['--allow-writes'] : []), ...(o.extra ?? [])];
  const proc = spawn(o.bin, args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
  const g = { proc, log: '', stop: () => terminate(proc) };
  proc.stderr?.on('data', (d) => { g.log += d; });
  return g;
}

/** A Modbus RTU frame's CRC appended, as on the line. @param {number[]} bytes */
function withCrc(bytes) {
  let crc = 0xffff;
  for (const b of bytes) {
    crc ^= b;
    for (let i = 0; i < 8; i++) crc = crc & 1 ? (crc >> 1) ^ 0xa001 : crc >> 1;
  }
  return [...bytes, crc & 0xff, crc >> 8];
}

module.exports = { programs, SimLine, startGateway, terminate, withCrc };
