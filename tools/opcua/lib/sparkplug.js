'use strict';
// Sparkplug B payloads: decoding what edge nodes publish into plain values, encoding the commands a
// host sends. The schema is the project's own .proto, loaded at run time (never copied here).
const fs = require('node:fs');
const path = require('node:path');
const protobuf = require('protobufjs');
const Long = require('long');

/** Sparkplug B data type numbers (the schema's DataType enum). */
const SpType = Object.freeze({
  Int8: 1, Int16: 2, Int32: 3, Int64: 4, UInt8: 5, UInt16: 6, UInt32: 7, UInt64: 8, Float: 9,
  Double: 10, Boolean: 11, String: 12, DateTime: 13, Text: 14, UUID: 15, DataSet: 16, Bytes: 17,
  File: 18, Template: 19,
});

// Installed, the schema lies beside the server; in the source tree it is the gateway's.
const schemaCandidates = [
  path.join(__dirname, '..', 'sparkplug_b.proto'),
  path.join(__dirname, '..', '..', 'common', 'sparkplug_b.proto'),
];

/** @type {protobuf.Type | undefined} */
let payloadType;

/** @returns {protobuf.Type} */
function schema() {
  if (!payloadType) {
    const file = schemaCandidates.find((f) => fs.existsSync(f));
    if (!file) throw new Error(`the Sparkplug B schema is missing (looked for ${schemaCandidates.join(', ')})`);
    // The schema's own field names (int_value…), as every other user of the schema spells them.
    payloadType = new protobuf.Root().loadSync(file, { keepCase: true }).lookupType('duz.sparkplug.Payload');
  }
  return payloadType;
}

/**
 * @typedef {object} Metric  One metric as the host uses it.
 * @property {string | undefined} name
 * @property {number | undefined} alias
 * @property {number | undefined} datatype  Sparkplug type number
 * @property {number | undefined} timestamp  ms UTC
 * @property {boolean} isNull
 * @property {string | undefined} field  the value's field in the message (`double_value`…)
 * @property {unknown} raw  that field's decoded content
 * @property {number | undefined} quality  OPC DA quality from the `Quality` property
 * @property {boolean} writable  the `Writable` property
 */

/**
 * @typedef {object} Payload
 * @property {number | undefined} timestamp
 * @property {number | undefined} seq
 * @property {Metric[]} metrics
 */

/** @param {unknown} v @returns {number | undefined} */
function toNumber(v) {
  if (v === undefined || v === null) return undefined;
  if (Long.isLong(v)) return /** @type {Long} */ (v).toNumber();
  return Number(v);
}

/** @param {unknown} v @param {boolean} signed @returns {bigint} */
function toBigInt(v, signed) {
  const l = Long.isLong(v) ? /** @type {Long} */ (v) : Long.fromValue(/** @type {number} */ (v), true);
  return BigInt((signed ? l.toSigned() : l.toUnsigned()).toString());
}

/** The field a value of each type travels in; other types the host does not show. */
const fieldOf = new Map([
  [SpType.Int8, 'int_value'], [SpType.Int16, 'int_value'], [SpType.Int32, 'int_value'],
  [SpType.UInt8, 'int_value'], [SpType.UInt16, 'int_value'], [SpType.UInt32, 'int_value'],
  [SpType.Int64, 'long_value'], [SpType.UInt64, 'long_value'], [SpType.DateTime, 'long_value'],
  [SpType.Float, 'float_value'], [SpType.Double, 'double_value'], [SpType.Boolean, 'boolean_value'],
  [SpType.String, 'string_value'], [SpType.Text, 'string_value'], [SpType.UUID, 'string_value'],
  [SpType.Bytes, 'bytes_value'], [SpType.File, 'bytes_value'],
]);

/**
 * The value of a metric or property as its Sparkplug type says it is meant: null for a null value,
 * undefined when the message's value field does not fit the type (a sender that lost track of its own
 * birth).
 * @param {number | undefined} type
 * @param {string | undefined} field
 * @param {unknown} raw
 * @returns {unknown}
 */
function typedValue(type, field, raw) {
  if (type === undefined || field !== fieldOf.get(type)) return undefined;
  switch (type) {
    case SpType.Int8: return (Number(raw) << 24) >> 24;
    case SpType.Int16: return (Number(raw) << 16) >> 16;
    case SpType.Int32: return Number(raw) | 0;
    case SpType.UInt8: return Number(raw) & 0xff;
    case SpType.UInt16: return Number(raw) & 0xffff;
    case SpType.UInt32: return Number(raw) >>> 0;
    case SpType.Int64: return toBigInt(raw, true);
    case SpType.UInt64: return toBigInt(raw, false);
    case SpType.DateTime: return new Date(/** @type {number} */ (toNumber(raw)));
    case SpType.Float: case SpType.Double: return Number(raw);
    case SpType.Boolean: return Boolean(raw);
    case SpType.String: case SpType.Text: case SpType.UUID: return String(raw);
    case SpType.Bytes: case SpType.File: return Buffer.from(/** @type {Uint8Array} */ (raw));
    default: return raw;
  }
}

/**
 * A metric's value read as the given type (its birth's, as data messages need not repeat it).
 * @param {Metric} m
 * @param {number | undefined} type
 * @returns {unknown}  null for a null value, undefined for a value that does not fit the type
 */
function metricValue(m, type) {
  if (m.isNull) return fieldOf.has(/** @type {number} */ (type)) ? null : undefined;
  return typedValue(type, m.field, m.raw);
}

/**
 * Decodes one Sparkplug B payload. Throws on bytes that are not a payload.
 * @param {Uint8Array} bytes
 * @returns {Payload}
 */
function decodePayload(bytes) {
  const type = schema();
  const message = type.decode(bytes);
  const p = /** @type {Record<string, any>} */ (type.toObject(message, { oneofs: true, longs: Long, bytes: Buffer }));
  /** @type {Metric[]} */
  const metrics = (p.metrics || []).map((/** @type {Record<string, any>} */ m) => {
    /** @type {number | undefined} */ let quality;
    let writable = false;
    const props = m.properties;
    if (props && Array.isArray(props.keys)) {
      props.keys.forEach((/** @type {string} */ key, /** @type {number} */ i) => {
        const pv = props.values && props.values[i];
        if (!pv || pv.is_null) return;
        const v = typedValue(pv.type, pv.value, pv.value && pv[pv.value]);
        if (key === 'Quality' && typeof v === 'number') quality = v;
        if (key === 'Writable' && v === true) writable = true;
      });
    }
    return {
      name: m.name,
      alias: toNumber(m.alias),
      datatype: m.datatype,
      timestamp: toNumber(m.timestamp),
      isNull: Boolean(m.is_null),
      field: m.value,
      raw: m.value ? m[m.value] : undefined,
      quality,
      writable,
    };
  });
  return { timestamp: toNumber(p.timestamp), seq: toNumber(p.seq), metrics };
}

/**
 * Encodes a payload of Boolean metrics, as the host's commands are.
 * @param {{name?: string, alias?: number, value: boolean}[]} metrics
 * @param {number} [now]
 * @returns {Uint8Array}
 */
function encodeBooleanCommand(metrics, now = Date.now()) {
  const type = schema();
  return type.encode(type.fromObject({
    timestamp: now,
    metrics: metrics.map((m) => ({
      ...(m.name !== undefined ? { name: m.name } : {}),
      ...(m.alias !== undefined ? { alias: m.alias } : {}),
      timestamp: now,
      datatype: SpType.Boolean,
      boolean_value: m.value,
    })),
  })).finish();
}

module.exports = { SpType, schema, decodePayload, metricValue, encodeBooleanCommand, fieldOf };
