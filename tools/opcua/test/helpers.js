'use strict';
// Test fixtures: a real mosquitto on a free port, a Sparkplug edge node that publishes as the gateway
// does, the server on a free port with a fresh certificate store, and an OPC UA client whose certificate
// the server trusts. The end-to-end tests with the C++ gateway use the same server and client helpers.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const mqtt = require('mqtt');
const {
  OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, UserTokenType, AttributeIds,
} = require('node-opcua');
const { schema, SpType } = require('../lib/sparkplug');
const { startServer } = require('../lib/server');
const { makeUserLine } = require('../lib/users');
const log = require('../lib/log');

log.setQuiet(!process.env.DUZ_OPCUA_VERBOSE);

/** @returns {Promise<number>} */
function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const a = /** @type {net.AddressInfo} */ (s.address());
      s.close(() => resolve(a.port));
    });
  });
}

/** @param {number} ms */
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/**
 * Polls until fn gives a truthy value; throws with `what` after timeoutMs.
 * @template T
 * @param {() => T | Promise<T>} fn
 * @param {string} what
 * @param {number} [timeoutMs]
 * @returns {Promise<T>}
 */
async function waitFor(fn, what, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what} (last: ${last})`);
    await sleep(50);
  }
}

/** @type {string[]} */
const tmpDirs = [];
process.on('exit', () => {
  for (const d of tmpDirs) fs.rmSync(d, { recursive: true, force: true });
});

/** A folder of its own for a test, removed when the test process ends. @returns {string} */
function tmpDir() {
  const d = fs.mkdtempSync(path.join(os.tmpdir(), 'duzevod-opcua-test-'));
  tmpDirs.push(d);
  return d;
}

/** Debian's mosquitto on 127.0.0.1, restartable on the same port. */
class Broker {
  /**
   * @param {number} port @param {string} dir @param {string} [passwordFile]  mosquitto_passwd's file
   * @param {{ca: string, cert: string, key: string}} [tls]  PEM files: a TLS listener only
   */
  constructor(port, dir, passwordFile, tls) {
    this.port = port;
    this.dir = dir;
    this.passwordFile = passwordFile;
    this.tls = tls;
    this.url = `${tls ? 'mqtts' : 'mqtt'}://127.0.0.1:${port}`;
    /** @type {import('node:child_process').ChildProcess | undefined} */
    this.proc = undefined;
  }

  /** @param {string} [passwordFile] @param {{ca: string, cert: string, key: string}} [tls] */
  static async start(passwordFile, tls) {
    const b = new Broker(await freePort(), tmpDir(), passwordFile, tls);
    await b.restart();
    return b;
  }

  async restart() {
    const conf = path.join(this.dir, 'mosquitto.conf');
    const access = this.passwordFile ? `allow_anonymous false\npassword_file ${this.passwordFile}\n` : 'allow_anonymous true\n';
    // As root, mosquitto would become the user mosquitto, who cannot read the test's files.
    const user = process.getuid && process.getuid() === 0 ? 'user root\n' : '';
    const tls = this.tls ? `cafile ${this.tls.ca}\ncertfile ${this.tls.cert}\nkeyfile ${this.tls.key}\n` : '';
    fs.writeFileSync(conf, `listener ${this.port} 127.0.0.1\n${tls}${access}${user}persistence false\n`);
    const bin = fs.existsSync('/usr/sbin/mosquitto') ? '/usr/sbin/mosquitto' : 'mosquitto';
    this.proc = spawn(bin, ['-c', conf], { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    this.proc.stderr?.on('data', (d) => { err += d; });
    await waitFor(() => new Promise((resolve) => {
      const s = net.connect(this.port, '127.0.0.1', () => { s.destroy(); resolve(true); });
      s.on('error', () => resolve(false));
    }), `mosquitto on port ${this.port} ${err}`);
  }

  async stop() {
    const p = this.proc;
    if (!p || p.exitCode !== null) return;
    this.proc = undefined;
    await new Promise((resolve) => { p.once('exit', resolve); p.kill('SIGTERM'); });
  }
}

/**
 * @typedef {object} TestMetric
 * @property {string} name
 * @property {number} type  Sparkplug type
 * @property {unknown} value
 * @property {number} [quality]
 * @property {boolean} [writable]
 */

/** The value field of a Sparkplug type. @param {number} type @param {unknown} value */
function valueField(type, value) {
  if (value === null || value === undefined) return { is_null: true };
  switch (type) {
    case SpType.Int32: case SpType.UInt32: return { int_value: Number(value) >>> 0 };
    case SpType.Int64: case SpType.UInt64: return { long_value: BigInt.asUintN(64, BigInt(/** @type {any} */ (value))).toString() };
    case SpType.DateTime: return { long_value: /** @type {Date} */ (value).getTime() };
    case SpType.Double: return { double_value: value };
    case SpType.Float: return { float_value: value };
    case SpType.Boolean: return { boolean_value: value };
    case SpType.String: return { string_value: value };
    default: throw new Error(`no test encoding for type ${type}`);
  }
}

/**
 * A Sparkplug B edge node as docs/sparkplug.md has the gateway publish: bdSeq in will and birth, seq,
 * aliases, the Quality and Writable properties, rebirth on NCMD, DCMDs answered by a DDATA when
 * writes are on.
 */
class EdgeNode {
  /**
   * @param {{url: string, group: string, edge: string, devices: Record<string, TestMetric[]>, acceptWrites?: boolean}} o
   */
  constructor(o) {
    this.o = o;
    this.bdSeq = 0;
    this.seq = 0;
    this.acceptWrites = o.acceptWrites ?? true;
    /** @type {Map<string, {device: string | null, alias: number, metric: TestMetric}>} */
    this.byName = new Map();
    let alias = 1;
    /** @type {Record<string, TestMetric[]>} */
    this.devices = o.devices;
    this.nodeMetrics = [
      { name: 'Node Control/Rebirth', type: SpType.Boolean, value: false },
      { name: 'Port/Name', type: SpType.String, value: '/dev/ttyUSB0' },
      { name: 'Cycle/Period', type: SpType.Double, value: 1012.5 },
    ];
    for (const m of this.nodeMetrics) this.byName.set(`\u0000${m.name}`, { device: null, alias: alias++, metric: m });
    for (const [d, list] of Object.entries(o.devices)) {
      for (const m of list) this.byName.set(`${d}\u0000${m.name}`, { device: d, alias: alias++, metric: m });
    }
    /** @type {{topic: string, payload: any}[]} */
    this.commands = [];
    this.rebirths = 0;
    /** @type {mqtt.MqttClient | undefined} */
    this.client = undefined;
  }

  topic(type, device) {
    return `spBv1.0/${this.o.group}/${type}/${this.o.edge}${device ? '/' + device : ''}`;
  }

  /** @param {object} obj */
  encode(obj) {
    const t = schema();
    return Buffer.from(t.encode(t.fromObject(obj)).finish());
  }

  /** @param {string | null} device @param {TestMetric} m @param {boolean} birth @param {number} ts */
  metric(device, m, birth, ts) {
    const e = /** @type {{alias: number}} */ (this.byName.get(`${device ?? ''}\u0000${m.name}`));
    /** @type {Record<string, any>} */
    const out = { alias: e.alias, timestamp: ts, ...valueField(m.type, m.value) };
    if (birth) {
      out.name = m.name;
      out.datatype = m.type;
    }
    const keys = [], values = [];
    if (m.quality !== undefined) { keys.push('Quality'); values.push({ type: SpType.Int32, int_value: m.quality }); }
    if (m.writable) { keys.push('Writable'); values.push({ type: SpType.Boolean, boolean_value: true }); }
    if (keys.length) out.properties = { keys, values };
    return out;
  }

  nextSeq() {
    this.seq = (this.seq + 1) % 256;
    return this.seq;
  }

  async connect() {
    this.bdSeq++;
    const will = this.encode({ timestamp: Date.now(), metrics: [{ name: 'bdSeq', datatype: SpType.Int64, long_value: this.bdSeq }] });
    const client = mqtt.connect(this.o.url, { clientId: `edge-${this.o.edge}-${Math.random()}`, clean: true,
      reconnectPeriod: 300, keepalive: 5,
      will: { topic: this.topic('NDEATH'), payload: will, qos: 1, retain: false } });
    this.client = client;
    client.on('message', (topic, payload) => this.onCommand(topic, payload));
    client.on('connect', () => {
      client.subscribe([this.topic('NCMD'), `spBv1.0/${this.o.group}/DCMD/${this.o.edge}/#`], { qos: 1 }, () => this.births());
    });
    await waitFor(() => this.born, `${this.o.edge} to be born`);
  }

  births() {
    this.born = true;
    this.seq = 0;
    const ts = Date.now();
    this.publish('NBIRTH', null, { timestamp: ts, seq: 0, metrics: [
      { name: 'bdSeq', datatype: SpType.Int64, long_value: this.bdSeq, timestamp: ts },
      ...this.nodeMetrics.map((m) => this.metric(null, m, true, ts)),
    ] });
    for (const d of Object.keys(this.devices)) this.dbirth(d);
  }

  /** @param {string} device */
  dbirth(device) {
    const ts = Date.now();
    this.publish('DBIRTH', device, { timestamp: ts, seq: this.nextSeq(),
      metrics: this.devices[device].map((m) => this.metric(device, m, true, ts)) });
  }

  /** @param {string} device */
  ddeath(device) {
    this.publish('DDEATH', device, { timestamp: Date.now(), seq: this.nextSeq() });
  }

  /**
   * Changes metrics of a device and publishes them as DDATA by alias.
   * @param {string} device
   * @param {Record<string, {value: unknown, quality?: number}>} changes
   * @param {number} [ts]
   */
  ddata(device, changes, ts = Date.now()) {
    const metrics = Object.entries(changes).map(([name, c]) => {
      const e = /** @type {{metric: TestMetric}} */ (this.byName.get(`${device}\u0000${name}`));
      e.metric.value = c.value;
      if (c.quality !== undefined) e.metric.quality = c.quality;
      return this.metric(device, e.metric, false, ts);
    });
    this.publish('DDATA', device, { timestamp: ts, seq: this.nextSeq(), metrics });
  }

  /** @param {string} type @param {string | null} device @param {object} payload */
  publish(type, device, payload) {
    /** @type {mqtt.MqttClient} */ (this.client).publish(this.topic(type, device), this.encode(payload), { qos: 0 });
  }

  /** Publishes raw bytes on one of the node's topics. @param {string} type @param {string | null} device @param {Buffer} bytes */
  publishRaw(type, device, bytes) {
    /** @type {mqtt.MqttClient} */ (this.client).publish(this.topic(type, device), bytes, { qos: 0 });
  }

  /** @param {string} topic @param {Buffer} bytes */
  onCommand(topic, bytes) {
    const t = schema();
    const payload = t.toObject(t.decode(bytes), { longs: Number });
    this.commands.push({ topic, payload });
    const parts = topic.split('/');
    if (parts[2] === 'NCMD') {
      if (payload.metrics.some((/** @type {any} */ m) => m.name === 'Node Control/Rebirth' && m.boolean_value)) {
        this.rebirths++;
        this.births();
      }
      return;
    }
    const device = parts[4];
    if (!this.acceptWrites) return;
    for (const m of payload.metrics) {
      const e = [...this.byName.values()].find((x) => x.device === device && (x.alias === m.alias || x.metric.name === m.name));
      if (e && e.metric.writable) setTimeout(() => this.ddata(device, { [e.metric.name]: { value: m.boolean_value } }), 50);
    }
  }

  /** The connection drops without a goodbye: the broker sends the will (NDEATH). */
  async crash() {
    const c = /** @type {mqtt.MqttClient} */ (this.client);
    c.options.reconnectPeriod = 0;
    c.stream.destroy();
    await new Promise((r) => c.end(true, {}, r));
  }

  async close() {
    const c = this.client;
    if (c) await new Promise((r) => c.end(true, {}, r));
  }
}

/** The instruments of a small line: a transducer, an alarm instrument's bits, link statistics. */
function lineDevices() {
  return {
    'VEKS-1_3': [
      { name: 'Temperature', type: SpType.Double, value: 21.5, quality: 192 },
      { name: 'Cold Junction', type: SpType.Double, value: 19.25, quality: 80 },
      { name: 'Range', type: SpType.Int32, value: -7, quality: 192 },
      { name: 'Link/Exchanges', type: SpType.UInt64, value: 5210n },
      { name: 'Link/Last Failure', type: SpType.String, value: 'bad crc' },
      { name: 'Link/Last Failure Time', type: SpType.DateTime, value: new Date('2026-12-09T10:15:02.125Z') },
    ],
    'DEK-04_5': [
      { name: 'Input 1', type: SpType.Boolean, value: true, quality: 16 },
      { name: 'Reset', type: SpType.Boolean, value: false, quality: 192, writable: true },
      { name: 'Mode of blocking', type: SpType.Boolean, value: false, quality: 192, writable: true },
      { name: 'Link/Last Failure Time', type: SpType.DateTime, value: null },
    ],
  };
}

/** One client certificate for the suite, and one the server never trusts. */
let clientPki;
async function clientCertificates() {
  if (clientPki) return clientPki;
  const dir = tmpDir();
  /** @type {Record<string, {cert: string, key: string, uri: string}>} */
  const out = {};
  for (const who of ['trusted', 'stranger']) {
    const cm = new OPCUACertificateManager({ rootFolder: path.join(dir, who), automaticallyAcceptUnknownCertificate: true });
    await cm.initialize();
    const uri = `urn:duzevod:test:${who}`;
    const cert = path.join(cm.rootDir, 'own', 'certs', 'client.pem');
    await cm.createSelfSignedCertificate({ applicationUri: uri, subject: `/CN=test ${who}`, dns: ['localhost'],
      startDate: new Date(Date.now() - 86400000), validity: 365, outputFile: cert });
    out[who] = { cert, key: path.join(cm.rootDir, 'own', 'private', 'private_key.pem'), uri, cm };
  }
  clientPki = out;
  return out;
}

/**
 * The server on a free port with a new certificate store that trusts the suite's client, a users file
 * with the user "operator" (password "s3cret"), over the given broker.
 * @param {string} brokerUrl
 * @param {Partial<import('../lib/cli').Config>} [config]
 * @param {object} [tuning]
 */
async function startTestServer(brokerUrl, config = {}, tuning = {}) {
  const dir = tmpDir();
  const pki = path.join(dir, 'pki');
  const certs = await clientCertificates();
  fs.mkdirSync(path.join(pki, 'trusted', 'certs'), { recursive: true });
  fs.copyFileSync(certs.trusted.cert, path.join(pki, 'trusted', 'certs', 'client.pem'));
  const usersFile = path.join(dir, 'users');
  fs.writeFileSync(usersFile, `# test users\n${await makeUserLine('operator', 's3cret')}\n`);
  const running = await startServer({
    brokerUrl, group: 'Plant', hostId: undefined, port: await freePort(), mqttUsername: undefined,
    mqttPassword: undefined, tls: undefined, usersFile, allowAnonymous: false,
    security: new Set(['sign', 'encrypt']), allowWrites: true, pki, ...config,
  }, { rebirthRetryMs: 500, reconnectMs: 300, ...tuning });
  return { ...running, dir, endpoint: `opc.tcp://127.0.0.1:${running.server.endpoints[0].port}` };
}

/**
 * A client session, SignAndEncrypt with Basic256Sha256 unless told otherwise.
 * @param {string} endpoint
 * @param {{who?: 'trusted' | 'stranger', user?: string, password?: string, mode?: number, policy?: string}} [o]
 */
async function connectClient(endpoint, o = {}) {
  const certs = await clientCertificates();
  const c = certs[o.who ?? 'trusted'];
  const client = OPCUAClient.create({
    applicationName: 'duzevod test client', applicationUri: c.uri, clientCertificateManager: c.cm,
    certificateFile: c.cert, privateKeyFile: c.key,
    securityMode: o.mode ?? MessageSecurityMode.SignAndEncrypt, securityPolicy: o.policy ?? SecurityPolicy.Basic256Sha256,
    endpointMustExist: false, connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 60000,
  });
  await client.connect(endpoint);
  try {
    const session = await client.createSession(o.user === undefined && o.password === undefined && o.who === undefined
      ? { type: UserTokenType.UserName, userName: 'operator', password: 's3cret' }
      : o.user === undefined ? { type: UserTokenType.Anonymous }
        : { type: UserTokenType.UserName, userName: o.user, password: o.password ?? '' });
    return { client, session, close: async () => { await session.close().catch(() => undefined); await client.disconnect(); } };
  } catch (err) {
    await client.disconnect();
    throw err;
  }
}

/**
 * Reads a variable's data value by its path under Objects/Duzevod.
 * @param {any} session
 * @param {string} path
 */
async function readPath(session, path) {
  return session.read({ nodeId: `ns=1;s=Duzevod/${path}`, attributeId: AttributeIds.Value });
}

module.exports = {
  freePort, sleep, waitFor, tmpDir, Broker, EdgeNode, lineDevices, startTestServer, connectClient, readPath,
  clientCertificates,
};
