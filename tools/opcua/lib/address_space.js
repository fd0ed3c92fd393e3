'use strict';
// The OPC UA picture of the group: Objects/Duzevod/<edge node>/<device>/<metric>, one variable per
// metric of the births (a `/` in a name makes folders), an `Online` variable per node and device.
// Every variable's NodeId is its path, ns=1;s=Duzevod/<edge>/<device>/<metric>, so that clients can
// keep a configuration across restarts of the server.
const { DataType, StatusCodes, Variant, VariantArrayType, AccessLevelFlag } = require('node-opcua');
const log = require('./log');
const { SpType } = require('./sparkplug');

/** Sparkplug type → OPC UA built-in type. */
const uaType = new Map([
  [SpType.Int8, DataType.SByte], [SpType.Int16, DataType.Int16], [SpType.Int32, DataType.Int32],
  [SpType.Int64, DataType.Int64], [SpType.UInt8, DataType.Byte], [SpType.UInt16, DataType.UInt16],
  [SpType.UInt32, DataType.UInt32], [SpType.UInt64, DataType.UInt64], [SpType.Float, DataType.Float],
  [SpType.Double, DataType.Double], [SpType.Boolean, DataType.Boolean], [SpType.String, DataType.String],
  [SpType.Text, DataType.String], [SpType.UUID, DataType.String], [SpType.DateTime, DataType.DateTime],
  [SpType.Bytes, DataType.ByteString], [SpType.File, DataType.ByteString],
]);

/**
 * OPC Data Access quality → OPC UA status. Codes other than the module's five keep their class.
 * @param {number | undefined} q
 */
function statusOfQuality(q) {
  switch (q) {
    case undefined: case 192: return StatusCodes.Good;
    case 12: return StatusCodes.BadDeviceFailure;
    case 16: return StatusCodes.BadSensorFailure;
    case 80: return StatusCodes.UncertainSensorNotAccurate;
    case 4: return StatusCodes.BadConfigurationError;
    default:
      if ((q & 0xc0) === 0xc0) return StatusCodes.Good;
      if ((q & 0xc0) === 0x40) return StatusCodes.Uncertain;
      return StatusCodes.Bad;
  }
}

/**
 * A value of the host as the variant of its OPC UA type (64-bit integers as node-opcua's [high, low]).
 * @param {number} uaDataType
 * @param {unknown} value
 */
function variantOf(uaDataType, value) {
  // An OPC UA null is a Variant of type Null, whatever the variable's type.
  if (value === null || value === undefined) return new Variant({ dataType: DataType.Null });
  if (typeof value === 'bigint') {
    const u = BigInt.asUintN(64, value);
    return new Variant({ dataType: uaDataType, arrayType: VariantArrayType.Scalar,
      value: [Number(u >> 32n), Number(u & 0xffffffffn)] });
  }
  return new Variant({ dataType: uaDataType, arrayType: VariantArrayType.Scalar, value });
}

/**
 * @typedef {object} VarEntry
 * @property {any} node  the UAVariable
 * @property {number} spType
 * @property {string} edge
 * @property {string | null} device
 * @property {string} name
 * @property {boolean} writable  as the last birth said, and only with writes allowed
 * @property {boolean} stale  shown as Bad_NoCommunication
 * @property {import('node-opcua').Variant} variant  the last value
 * @property {import('node-opcua').StatusCode} status  the last status from the source
 * @property {Date} sourceTime
 */

const READ = AccessLevelFlag.CurrentRead;
const READ_WRITE = AccessLevelFlag.CurrentRead | AccessLevelFlag.CurrentWrite;

class AddressSpaceView {
  /**
   * @param {any} addressSpace  the server's AddressSpace
   * @param {{allowWrites: boolean, write: (edge: string, device: string, name: string, value: boolean) => Promise<string>}} options
   */
  constructor(addressSpace, options) {
    this.addressSpace = addressSpace;
    this.ns = addressSpace.getOwnNamespace();
    this.allowWrites = options.allowWrites;
    this.write = options.write;
    /** @type {Map<string, any>} folders by path */
    this.folders = new Map();
    /** @type {Map<string, VarEntry>} metric variables by path */
    this.vars = new Map();
    /** @type {Map<string, any>} Online variables by the path of their owner */
    this.onlineVars = new Map();
    this.root = this.ns.addFolder(addressSpace.rootFolder.objects, { browseName: 'Duzevod', nodeId: 's=Duzevod' });
    this.folders.set('Duzevod', this.root);
  }

  /** @param {string} path */
  folder(path) {
    let f = this.folders.get(path);
    if (f) return f;
    const cut = path.lastIndexOf('/');
    const parent = this.folder(path.slice(0, cut));
    f = this.ns.addFolder(parent, { browseName: path.slice(cut + 1), nodeId: `s=${path}` });
    this.folders.set(path, f);
    return f;
  }

  /** @param {string} edge @param {string | null} device */
  ownerPath(edge, device) {
    return device === null ? `Duzevod/${edge}` : `Duzevod/${edge}/${device}`;
  }

  /**
   * @param {string} owner
   * @param {boolean} online
   * @param {number} ts
   */
  setOnline(owner, online, ts) {
    let v = this.onlineVars.get(owner);
    if (!v) {
      v = this.ns.addVariable({ componentOf: this.folder(owner), browseName: 'Online', nodeId: `s=${owner}/Online`,
        dataType: 'Boolean', accessLevel: READ, userAccessLevel: READ, minimumSamplingInterval: 0,
        value: new Variant({ dataType: DataType.Boolean, value: online }) });
      this.onlineVars.set(owner, v);
    }
    v.setValueFromSource(new Variant({ dataType: DataType.Boolean, value: online }), StatusCodes.Good, new Date(ts));
  }

  /**
   * The variable of a metric, made at its first birth, made again if a birth changes its type.
   * @param {string} edge
   * @param {string | null} device
   * @param {import('./host').ViewMetric} m
   * @returns {VarEntry | undefined}
   */
  variable(edge, device, m) {
    const owner = this.ownerPath(edge, device);
    const segments = m.name.split('/').filter((s) => s.length);
    if (!segments.length) segments.push(m.name);
    const path = `${owner}/${segments.join('/')}`;
    const ua = /** @type {number} */ (uaType.get(m.datatype));
    let e = this.vars.get(path);
    if (e && e.spType !== m.datatype && uaType.get(e.spType) !== ua) {
      this.addressSpace.deleteNode(e.node);
      this.vars.delete(path);
      e = undefined;
    }
    if (!e) {
      if (this.folders.has(path) || (segments.length === 1 && segments[0] === 'Online')) {
        log.warn(`clash:${path}`, `${path}: a metric of this name clashes with a folder or Online; not shown`);
        return undefined;
      }
      const parentPath = segments.length > 1 ? `${owner}/${segments.slice(0, -1).join('/')}` : owner;
      if (this.vars.has(parentPath)) {
        log.warn(`clash:${path}`, `${path}: ${parentPath} is a metric, not a folder; not shown`);
        return undefined;
      }
      const node = this.ns.addVariable({
        componentOf: this.folder(parentPath), browseName: segments[segments.length - 1], nodeId: `s=${path}`,
        dataType: DataType[ua], accessLevel: READ, userAccessLevel: READ, minimumSamplingInterval: 0,
        value: variantOf(ua, null),
      });
      e = { node, spType: m.datatype, edge, device, name: m.name, writable: false, stale: false,
        variant: variantOf(ua, null), status: StatusCodes.Good, sourceTime: new Date(0) };
      const entry = e;
      // Writes go to the device; the variable takes the value only when the device reports it.
      node._timestamped_set_func = (/** @type {any} */ dataValue, /** @type {Function} */ callback) => {
        this.onWrite(entry, dataValue).then((status) => callback(null, status), () => callback(null, StatusCodes.BadInternalError));
      };
      this.vars.set(path, e);
    }
    const writable = this.allowWrites && m.writable && m.datatype === SpType.Boolean && device !== null;
    if (writable !== e.writable) {
      e.writable = writable;
      e.node.accessLevel = writable ? READ_WRITE : READ;
      e.node.userAccessLevel = writable ? READ_WRITE : READ;
    }
    return e;
  }

  /**
   * @param {VarEntry} e
   * @param {any} dataValue  what the client wrote
   * @returns {Promise<import('node-opcua').StatusCode>}
   */
  async onWrite(e, dataValue) {
    const status = await this.forward(e, dataValue.value && dataValue.value.value);
    // The stack stores the written data value whatever the outcome: make it the device's own report,
    // so that a variable shows only what the device has.
    dataValue.value = e.variant;
    dataValue.statusCode = e.stale ? StatusCodes.BadNoCommunication : e.status;
    dataValue.sourceTimestamp = e.sourceTime;
    dataValue.sourcePicoseconds = 0;
    return status;
  }

  /**
   * @param {VarEntry} e
   * @param {unknown} value
   * @returns {Promise<import('node-opcua').StatusCode>}
   */
  async forward(e, value) {
    if (!e.writable || e.device === null) return StatusCodes.BadNotWritable;
    if (typeof value !== 'boolean') return StatusCodes.BadTypeMismatch;
    const r = await this.write(e.edge, e.device, e.name, value);
    if (r === 'Good') return StatusCodes.Good;
    if (r === 'Timeout') return StatusCodes.BadTimeout;
    if (r === 'NoCommunication') return StatusCodes.BadNoCommunication;
    return StatusCodes.BadNotWritable;
  }

  /**
   * @param {VarEntry} e
   * @param {import('./host').ViewMetric} m
   */
  update(e, m) {
    e.variant = variantOf(/** @type {number} */ (uaType.get(e.spType)), m.value);
    e.status = statusOfQuality(m.quality);
    e.sourceTime = new Date(m.timestamp);
    e.stale = false;
    e.node.setValueFromSource(e.variant, e.status, e.sourceTime);
  }

  /**
   * Every variable of an owner (a node's own metrics, or a device's) to Bad_NoCommunication, keeping
   * its last value and source timestamp.
   * @param {string} edge
   * @param {string | null | undefined} device  undefined: the node and all its devices
   */
  stale(edge, device) {
    for (const e of this.vars.values()) {
      if (e.edge !== edge || (device !== undefined && e.device !== device) || e.stale) continue;
      e.stale = true;
      e.node.setValueFromSource(e.variant, StatusCodes.BadNoCommunication, e.sourceTime);
    }
  }

  /**
   * @param {string} edge
   * @param {string | null} device
   * @param {import('./host').ViewMetric[]} metrics
   */
  birth(edge, device, metrics) {
    const seen = new Set();
    for (const m of metrics) {
      const e = this.variable(edge, device, m);
      if (!e) continue;
      seen.add(e);
      this.update(e, m);
    }
    // Metrics of an earlier birth that this one no longer has are no longer served.
    for (const e of this.vars.values()) {
      if (e.edge === edge && e.device === device && !seen.has(e) && !e.stale) {
        e.stale = true;
        e.node.setValueFromSource(e.variant, StatusCodes.BadNoCommunication, e.sourceTime);
      }
    }
  }

  /** @type {import('./host').View['nodeBirth']} */
  nodeBirth(edge, metrics, ts) {
    this.birth(edge, null, metrics);
    this.setOnline(this.ownerPath(edge, null), true, ts);
  }

  /** @type {import('./host').View['nodeDeath']} */
  nodeDeath(edge, ts) {
    this.stale(edge, undefined);
    this.setOnline(this.ownerPath(edge, null), false, ts);
    for (const owner of this.onlineVars.keys()) {
      if (owner.startsWith(`Duzevod/${edge}/`)) this.setOnline(owner, false, ts);
    }
  }

  /** @type {import('./host').View['deviceBirth']} */
  deviceBirth(edge, device, metrics, ts) {
    this.birth(edge, device, metrics);
    this.setOnline(this.ownerPath(edge, device), true, ts);
  }

  /** @type {import('./host').View['deviceDeath']} */
  deviceDeath(edge, device, ts) {
    this.stale(edge, device);
    this.setOnline(this.ownerPath(edge, device), false, ts);
  }

  /** @type {import('./host').View['data']} */
  data(edge, device, metrics) {
    for (const m of metrics) {
      const e = this.variable(edge, device, m);
      if (e) this.update(e, m);
    }
  }

  /** @type {import('./host').View['allStale']} */
  allStale(ts) {
    const edges = new Set([...this.vars.values()].map((e) => e.edge));
    for (const owner of this.onlineVars.keys()) edges.add(owner.split('/')[1]);
    for (const edge of edges) this.nodeDeath(edge, ts);
  }
}

module.exports = { AddressSpaceView, statusOfQuality, uaType };
