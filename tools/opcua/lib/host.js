'use strict';
// The Sparkplug B host application: follows every edge node and device of one group from their births,
// deaths and data, checks each node's sequence, asks for a rebirth whenever its picture of a node can
// no longer be trusted, and (as primary host) says so in its STATE. What it learns goes to a view (the
// OPC UA address space); writes come back from the view as DCMDs.
const mqtt = require('mqtt');
const log = require('./log');
const { SpType, decodePayload, metricValue, encodeBooleanCommand, fieldOf } = require('./sparkplug');

/**
 * @typedef {object} ViewMetric  A metric as the view shows it.
 * @property {string} name
 * @property {number} datatype  Sparkplug type number
 * @property {unknown} value
 * @property {number} timestamp  ms UTC
 * @property {number | undefined} quality
 * @property {boolean} writable
 */

/**
 * @typedef {object} View
 * @property {(edge: string, metrics: ViewMetric[], ts: number) => void} nodeBirth
 * @property {(edge: string, ts: number) => void} nodeDeath
 * @property {(edge: string, device: string, metrics: ViewMetric[], ts: number) => void} deviceBirth
 * @property {(edge: string, device: string, ts: number) => void} deviceDeath
 * @property {(edge: string, device: string | null, metrics: ViewMetric[]) => void} data
 * @property {(ts: number) => void} allStale
 */

/**
 * @typedef {object} MetricInfo
 * @property {number} datatype
 * @property {number | undefined} alias
 * @property {boolean} writable
 * @property {unknown} value
 */

/**
 * @typedef {object} DeviceState
 * @property {boolean} online
 * @property {Map<string, MetricInfo>} metrics
 */

/**
 * @typedef {object} NodeState
 * @property {boolean} born  an NBIRTH has been seen since the host connected
 * @property {boolean} online
 * @property {bigint | undefined} bdSeq
 * @property {number} seq  the last seq seen
 * @property {Map<number, {device: string | null, name: string}>} aliases
 * @property {Map<string, MetricInfo>} metrics
 * @property {Map<string, DeviceState>} devices
 * @property {number} rebirthAskedAt  ms, 0 when no request is outstanding
 */

/**
 * @typedef {object} HostOptions
 * @property {string} url  mqtt://host:port or mqtts://host:port
 * @property {string} group
 * @property {string} [hostId]
 * @property {string} [username]
 * @property {string} [password]
 * @property {{ca?: Buffer[], cert?: Buffer, key?: Buffer}} [tls]
 * @property {View} view
 * @property {number} [writeTimeoutMs]  how long a write waits for its value to come back
 * @property {number} [rebirthRetryMs]  how long before an unanswered rebirth request is repeated
 * @property {number} [reconnectMs]
 */

const WRITE_TIMEOUT_MS = 5000;

/** @typedef {'Good' | 'Timeout' | 'NoCommunication' | 'NotWritable'} WriteResult */

class SparkplugHost {
  /** @param {HostOptions} options */
  constructor(options) {
    this.options = options;
    this.view = options.view;
    this.group = options.group;
    /** @type {Map<string, NodeState>} */
    this.nodes = new Map();
    /** @type {Map<string, {value: boolean, done: (r: WriteResult) => void}[]>} */
    this.pendingWrites = new Map();
    /** @type {mqtt.MqttClient | undefined} */
    this.client = undefined;
    this.connected = false;
    this.everConnected = false;
    this.stateTimestamp = Date.now();
    this.stats = { messages: 0, rebirthRequests: 0, badPayloads: 0, seqGaps: 0 };
  }

  stateTopic() {
    return `spBv1.0/STATE/${this.options.hostId}`;
  }

  /** @param {boolean} online */
  statePayload(online) {
    return JSON.stringify({ online, timestamp: this.stateTimestamp });
  }

  /** Connects and keeps reconnecting until stop(); never throws for an unreachable broker. */
  start() {
    const o = this.options;
    /** @type {mqtt.IClientOptions} */
    const mo = {
      clientId: `duzevod-opcua-${o.hostId || process.pid}-${Math.random().toString(16).slice(2, 8)}`,
      clean: true,
      keepalive: 30,
      reconnectPeriod: o.reconnectMs ?? 2000,
      connectTimeout: 5000,
      protocolVersion: 4,
      username: o.username,
      password: o.password,
      ...(o.tls ? { ca: o.tls.ca, cert: o.tls.cert, key: o.tls.key, rejectUnauthorized: true } : {}),
    };
    if (o.hostId) {
      mo.will = { topic: this.stateTopic(), payload: Buffer.from(this.statePayload(false)), qos: 1, retain: true };
    }
    const client = mqtt.connect(o.url, mo);
    this.client = client;
    client.on('connect', () => this.onConnect());
    client.on('message', (topic, payload) => this.onMessage(topic, payload));
    client.on('close', () => this.onClose());
    client.on('error', (err) => {
      log.warn(`mqtt-error:${err.message}`, `broker ${o.url}: ${err.message}; trying again`);
    });
    client.on('reconnect', () => {
      // Each connection has its own STATE timestamp, the will's and the birth's alike.
      if (o.hostId && client.options.will) {
        this.stateTimestamp = Date.now();
        client.options.will.payload = Buffer.from(this.statePayload(false));
      }
    });
  }

  onConnect() {
    this.connected = true;
    this.everConnected = true;
    log.info(`connected to the broker ${this.options.url}`);
    const client = /** @type {mqtt.MqttClient} */ (this.client);
    /** @type {string[]} */
    const topics = [`spBv1.0/${this.group}/#`];
    if (this.options.hostId) topics.push(this.stateTopic());
    client.subscribe(topics, { qos: 1 }, (err) => {
      if (err) {
        log.error(`cannot subscribe to ${topics.join(', ')}: ${err.message}`);
        return;
      }
      if (this.options.hostId) {
        client.publish(this.stateTopic(), this.statePayload(true), { qos: 1, retain: true });
      }
      // Whatever happened while we were away (births, deaths, data) is unknown: every node we knew
      // tells us again.
      for (const [edge, node] of this.nodes) {
        node.born = false;
        node.rebirthAskedAt = 0;
        this.askRebirth(edge, 'the host connected again');
      }
    });
  }

  onClose() {
    if (!this.connected) return;
    this.connected = false;
    log.error(`lost the broker ${this.options.url}; values are marked Bad_NoCommunication until it is back`);
    const now = Date.now();
    for (const node of this.nodes.values()) {
      node.online = false;
      for (const d of node.devices.values()) d.online = false;
    }
    this.view.allStale(now);
    for (const key of [...this.pendingWrites.keys()]) this.finishWrites(key, null, 'NoCommunication');
  }

  /** Ends the session: the STATE says offline before the connection goes. */
  async stop() {
    const client = this.client;
    if (!client) return;
    this.client = undefined;
    for (const key of [...this.pendingWrites.keys()]) this.finishWrites(key, null, 'NoCommunication');
    if (this.connected && this.options.hostId) {
      await new Promise((resolve) => {
        client.publish(this.stateTopic(), this.statePayload(false), { qos: 1, retain: true }, () => resolve(undefined));
        setTimeout(resolve, 1000).unref();
      });
    }
    this.connected = false;
    await new Promise((resolve) => client.end(true, {}, () => resolve(undefined)));
  }

  /**
   * @param {string} topic
   * @param {Buffer} payload
   */
  onMessage(topic, payload) {
    this.stats.messages++;
    try {
      if (this.options.hostId && topic === this.stateTopic()) {
        this.onOwnState(payload);
        return;
      }
      const parts = topic.split('/');
      if (parts.length < 4 || parts.length > 5 || parts[0] !== 'spBv1.0' || parts[1] !== this.group) return;
      const [, , type, edge, device] = parts;
      if ((device === undefined) !== type.startsWith('N')) {
        log.warn(`topic:${topic}`, `ignoring ${topic}: not a Sparkplug topic`);
        return;
      }
      if (type === 'NCMD' || type === 'DCMD') return;
      let p;
      try {
        p = decodePayload(payload);
      } catch (err) {
        this.stats.badPayloads++;
        log.warn(`payload:${topic}`, `ignoring ${topic}: not a Sparkplug B payload (${/** @type {Error} */ (err).message})`);
        if (type !== 'NDEATH' && type !== 'DDEATH') this.askRebirth(edge, 'an unreadable payload');
        return;
      }
      switch (type) {
        case 'NBIRTH': this.onNodeBirth(edge, p); break;
        case 'NDEATH': this.onNodeDeath(edge, p); break;
        case 'NDATA': this.onData(edge, null, p); break;
        case 'DBIRTH': this.onDeviceBirth(edge, /** @type {string} */ (device), p); break;
        case 'DDEATH': this.onDeviceDeath(edge, /** @type {string} */ (device), p); break;
        case 'DDATA': this.onData(edge, /** @type {string} */ (device), p); break;
        default: log.warn(`type:${type}`, `ignoring ${topic}: unknown message type`);
      }
    } catch (err) {
      // Nothing an edge node sends may take the server down.
      log.warn(`fault:${topic}`, `could not handle ${topic}: ${/** @type {Error} */ (err).stack}`);
    }
  }

  /** @param {Buffer} payload */
  onOwnState(payload) {
    let online = false;
    try {
      online = JSON.parse(payload.toString()).online === true;
    } catch {
      online = false;
    }
    // A stale will of an earlier session of ours must not keep edge nodes waiting.
    if (!online && this.connected && this.client) {
      this.client.publish(this.stateTopic(), this.statePayload(true), { qos: 1, retain: true });
    }
  }

  /**
   * Asks an edge node for all of its births again, once per rebirthRetryMs at most.
   * @param {string} edge
   * @param {string} why
   */
  askRebirth(edge, why) {
    const node = this.nodes.get(edge);
    const now = Date.now();
    const retry = this.options.rebirthRetryMs ?? 5000;
    if (node && node.rebirthAskedAt && now - node.rebirthAskedAt < retry) return;
    if (node) node.rebirthAskedAt = now;
    else this.nodes.set(edge, newNode(now));
    if (!this.connected || !this.client) return;
    this.stats.rebirthRequests++;
    log.info(`asking ${edge} for a rebirth: ${why}`);
    this.client.publish(`spBv1.0/${this.group}/NCMD/${edge}`,
      Buffer.from(encodeBooleanCommand([{ name: 'Node Control/Rebirth', value: true }])), { qos: 0 });
  }

  /**
   * Checks the seq of a message that must carry the next one; true when the node is known.
   * @param {string} edge
   * @param {import('./sparkplug').Payload} p
   * @param {string} what
   * @returns {NodeState | undefined}
   */
  sequenced(edge, p, what) {
    const node = this.nodes.get(edge);
    if (!node || !node.born) {
      this.askRebirth(edge, `${what} before its NBIRTH`);
      return undefined;
    }
    const expected = (node.seq + 1) % 256;
    if (p.seq !== expected) {
      this.stats.seqGaps++;
      log.warn(`seq:${edge}`, `${edge}: seq ${p.seq ?? 'missing'} where ${expected} was due`);
      this.askRebirth(edge, 'a seq gap');
    }
    if (p.seq !== undefined) node.seq = p.seq % 256;
    return node;
  }

  /**
   * Births list every metric with its type; the view gets them in order with their values.
   * @param {string} edge
   * @param {string | null} device
   * @param {import('./sparkplug').Metric[]} list
   * @param {NodeState} node
   * @param {number} ts
   * @returns {{metrics: Map<string, MetricInfo>, view: ViewMetric[]}}
   */
  readBirth(edge, device, list, node, ts) {
    /** @type {Map<string, MetricInfo>} */
    const metrics = new Map();
    /** @type {ViewMetric[]} */
    const view = [];
    for (const m of list) {
      if (!m.name || m.datatype === undefined || !fieldOf.has(m.datatype)) {
        log.warn(`birth-metric:${edge}/${device}/${m.name}`,
          `${edge}${device ? '/' + device : ''}: metric ${m.name ?? '(no name)'} of type ${m.datatype ?? '(none)'} is not shown`);
        continue;
      }
      let value = metricValue(m, m.datatype);
      if (value === undefined) {
        log.warn(`birth-value:${edge}/${device}/${m.name}`, `${edge}: ${m.name} has a value that does not fit its type`);
        value = null;
      }
      metrics.set(m.name, { datatype: m.datatype, alias: m.alias, writable: m.writable, value });
      if (m.alias !== undefined) node.aliases.set(m.alias, { device, name: m.name });
      view.push({ name: m.name, datatype: m.datatype, value, timestamp: m.timestamp ?? ts,
        quality: m.quality, writable: m.writable });
    }
    return { metrics, view };
  }

  /**
   * @param {string} edge
   * @param {import('./sparkplug').Payload} p
   */
  onNodeBirth(edge, p) {
    const ts = p.timestamp ?? Date.now();
    const old = this.nodes.get(edge);
    const node = newNode(0);
    node.born = true;
    node.online = true;
    node.seq = p.seq ?? 0;
    if (old) node.devices = old.devices;
    // A new birth starts the node's story again: its devices are current only from their own births.
    for (const [name, d] of node.devices) {
      if (d.online) this.view.deviceDeath(edge, name, ts);
      d.online = false;
    }
    const bd = p.metrics.find((m) => m.name === 'bdSeq');
    const bdValue = bd ? metricValue(bd, bd.datatype ?? SpType.Int64) : undefined;
    node.bdSeq = typeof bdValue === 'bigint' ? bdValue : undefined;
    const birth = this.readBirth(edge, null, p.metrics, node, ts);
    node.metrics = birth.metrics;
    this.nodes.set(edge, node);
    log.info(`${edge}: NBIRTH (bdSeq ${node.bdSeq ?? 'none'}, ${birth.view.length} metrics)`);
    this.view.nodeBirth(edge, birth.view, ts);
  }

  /**
   * @param {string} edge
   * @param {import('./sparkplug').Payload} p
   */
  onNodeDeath(edge, p) {
    const node = this.nodes.get(edge);
    if (!node || !node.online) return;
    const bd = p.metrics.find((m) => m.name === 'bdSeq');
    const bdValue = bd ? metricValue(bd, bd.datatype ?? SpType.Int64) : undefined;
    // The will of an earlier connection arriving late says nothing about the current one.
    if (typeof bdValue === 'bigint' && node.bdSeq !== undefined && bdValue !== node.bdSeq) {
      log.info(`${edge}: NDEATH of bdSeq ${bdValue} ignored, the node is on bdSeq ${node.bdSeq}`);
      return;
    }
    const ts = p.timestamp ?? Date.now();
    node.online = false;
    node.born = false;
    for (const [name, d] of node.devices) {
      d.online = false;
      this.failWrites(edge, name);
    }
    log.info(`${edge}: NDEATH`);
    this.view.nodeDeath(edge, ts);
  }

  /**
   * @param {string} edge
   * @param {string} device
   * @param {import('./sparkplug').Payload} p
   */
  onDeviceBirth(edge, device, p) {
    const node = this.sequenced(edge, p, `DBIRTH of ${device}`);
    if (!node) return;
    const ts = p.timestamp ?? Date.now();
    for (const [alias, a] of node.aliases) if (a.device === device) node.aliases.delete(alias);
    const birth = this.readBirth(edge, device, p.metrics, node, ts);
    node.devices.set(device, { online: true, metrics: birth.metrics });
    this.view.deviceBirth(edge, device, birth.view, ts);
    this.settleWrites(edge, device, birth.view);
  }

  /**
   * @param {string} edge
   * @param {string} device
   * @param {import('./sparkplug').Payload} p
   */
  onDeviceDeath(edge, device, p) {
    const node = this.sequenced(edge, p, `DDEATH of ${device}`);
    if (!node) return;
    const d = node.devices.get(device);
    if (!d) return;
    d.online = false;
    this.failWrites(edge, device);
    this.view.deviceDeath(edge, device, p.timestamp ?? Date.now());
  }

  /**
   * @param {string} edge
   * @param {string | null} device
   * @param {import('./sparkplug').Payload} p
   */
  onData(edge, device, p) {
    const node = this.sequenced(edge, p, device ? `DDATA of ${device}` : 'NDATA');
    if (!node) return;
    const owner = device === null ? { online: node.online, metrics: node.metrics } : node.devices.get(device);
    if (!owner || !owner.online) {
      this.askRebirth(edge, `DDATA of ${device}, which has no birth`);
      return;
    }
    const ts = p.timestamp ?? Date.now();
    /** @type {ViewMetric[]} */
    const out = [];
    for (const m of p.metrics) {
      let name = m.name;
      if (m.alias !== undefined) {
        const a = node.aliases.get(m.alias);
        if (!a || a.device !== device) {
          this.askRebirth(edge, `unknown alias ${m.alias}${device ? ' of ' + device : ''}`);
          continue;
        }
        name = a.name;
      }
      const info = name === undefined ? undefined : owner.metrics.get(name);
      if (!info || name === undefined) {
        this.askRebirth(edge, `metric ${m.name ?? m.alias} is not in the birth`);
        continue;
      }
      const value = metricValue(m, info.datatype);
      if (value === undefined) {
        log.warn(`data-type:${edge}/${device}/${name}`, `${edge}: ${name} came with a value that is not its type`);
        this.askRebirth(edge, `a value of the wrong type for ${name}`);
        continue;
      }
      info.value = value;
      out.push({ name, datatype: info.datatype, value, timestamp: m.timestamp ?? ts, quality: m.quality,
        writable: info.writable });
    }
    if (out.length) this.view.data(edge, device, out);
    // The gateway reports a written metric in its next DDATA once the instrument confirmed the write,
    // as the instrument then reads it: a momentary command (Reset) is back to false by then.
    if (device !== null) this.settleWrites(edge, device, out, true);
  }

  /**
   * Sends a Boolean to a writable metric of a device and waits for the device to report it.
   * @param {string} edge
   * @param {string} device
   * @param {string} name
   * @param {boolean} value
   * @returns {Promise<WriteResult>}
   */
  write(edge, device, name, value) {
    const node = this.nodes.get(edge);
    const d = node && node.devices.get(device);
    const info = d && d.metrics.get(name);
    if (!info || !info.writable || info.datatype !== SpType.Boolean) return Promise.resolve('NotWritable');
    if (!this.connected || !this.client || !node || !node.online || !d || !d.online) {
      return Promise.resolve('NoCommunication');
    }
    const key = writeKey(edge, device, name);
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        const list = this.pendingWrites.get(key) || [];
        const i = list.indexOf(entry);
        if (i >= 0) list.splice(i, 1);
        if (!list.length) this.pendingWrites.delete(key);
        log.info(`write of ${value} to ${edge}/${device}/${name} did not come back within ${this.timeoutMs()} ms`);
        resolve('Timeout');
      }, this.timeoutMs());
      const entry = { value, done: (/** @type {WriteResult} */ r) => { clearTimeout(timer); resolve(r); } };
      const list = this.pendingWrites.get(key) || [];
      list.push(entry);
      this.pendingWrites.set(key, list);
      /** @type {mqtt.MqttClient} */ (this.client).publish(`spBv1.0/${this.group}/DCMD/${edge}/${device}`,
        Buffer.from(encodeBooleanCommand([{ name, alias: info.alias, value }])), { qos: 0 });
    });
  }

  timeoutMs() {
    return this.options.writeTimeoutMs ?? WRITE_TIMEOUT_MS;
  }

  /**
   * @param {string} edge
   * @param {string} device
   * @param {ViewMetric[]} metrics
   */
  settleWrites(edge, device, metrics, anyValue = false) {
    if (!this.pendingWrites.size) return;
    for (const m of metrics) this.finishWrites(writeKey(edge, device, m.name), anyValue ? null : m.value, 'Good');
  }

  /**
   * @param {string} edge
   * @param {string} device
   */
  failWrites(edge, device) {
    const prefix = writeKey(edge, device, '');
    for (const key of [...this.pendingWrites.keys()]) {
      if (key.startsWith(prefix)) this.finishWrites(key, null, 'NoCommunication');
    }
  }

  /**
   * Completes the waiting writes of a metric: those that wrote `value`, or all when value is null.
   * @param {string} key
   * @param {unknown} value
   * @param {WriteResult} result
   */
  finishWrites(key, value, result) {
    const list = this.pendingWrites.get(key);
    if (!list) return;
    const rest = list.filter((w) => value !== null && w.value !== value);
    for (const w of list) if (!rest.includes(w)) w.done(result);
    if (rest.length) this.pendingWrites.set(key, rest);
    else this.pendingWrites.delete(key);
  }
}

/** @param {string} edge @param {string} device @param {string} name */
function writeKey(edge, device, name) {
  return `${edge}\u0000${device}\u0000${name}`;
}

/** @param {number} rebirthAskedAt @returns {NodeState} */
function newNode(rebirthAskedAt) {
  return { born: false, online: false, bdSeq: undefined, seq: 0, aliases: new Map(), metrics: new Map(),
    devices: new Map(), rebirthAskedAt };
}

module.exports = { SparkplugHost, WRITE_TIMEOUT_MS };
