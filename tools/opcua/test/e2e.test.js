'use strict';
// The whole chain with the real programs: the bus simulator on two pseudo-terminals, the C++ gateway on
// each as a Sparkplug edge node, a real mosquitto, the server, and a secure client. What the gateways
// publish is decoded here too, with the same schema, and the client must see exactly that.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const mqtt = require('mqtt');
const {
  AttributeIds, BrowseDirection, DataType, StatusCodes, ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
} = require('node-opcua');
const { decodePayload, metricValue, schema } = require('../lib/sparkplug');
const { Broker, startTestServer, connectClient, readPath, waitFor, tmpDir, sleep } = require('./helpers');
const { programs, SimLine, startGateway, withCrc } = require('./programs');

const found = programs();
const skip = typeof found === 'string' ? found : false;

const GROUP = 'Plant';
const ORTA = 'ORTA (4 -- 20 mA).Value';
const VEKS = 'VEKS-1: (-50 -- 200).Value';

// OPC DA quality → the status the server must show.
const statusOf = (/** @type {number | undefined} */ q) => ({
  192: StatusCodes.Good, 12: StatusCodes.BadDeviceFailure, 16: StatusCodes.BadSensorFailure,
  80: StatusCodes.UncertainSensorNotAccurate, 4: StatusCodes.BadConfigurationError,
})[q ?? 192];

// Sparkplug type number → OPC UA type, for what the gateway sends.
const uaTypeOf = { 3: DataType.Int32, 4: DataType.Int64, 7: DataType.UInt32, 8: DataType.UInt64, 10: DataType.Double,
  11: DataType.Boolean, 12: DataType.String, 13: DataType.DateTime };

/** A client's value in the host's terms: 64-bit integers as bigint. @param {any} dv */
function valueOf(dv) {
  const v = dv.value;
  if (v.dataType === DataType.Null) return null;
  if (v.dataType === DataType.Int64 || v.dataType === DataType.UInt64) {
    const big = (BigInt(v.value[0] >>> 0) << 32n) | BigInt(v.value[1] >>> 0);
    return v.dataType === DataType.Int64 ? BigInt.asIntN(64, big) : big;
  }
  return v.value;
}

/** @param {unknown} v */
const same = (v) => (v instanceof Date ? `date:${v.getTime()}` : typeof v === 'bigint' ? `big:${v}` : JSON.stringify(v));

/**
 * Everything the gateways publish, decoded: each metric's history by path (edge[/device]/name), the
 * births, and the commands others send.
 */
class Watcher {
  /** @param {string} url */
  constructor(url) {
    /** @type {Map<string, {value: unknown, quality: number | undefined, ts: number, at: number}[]>} */
    this.history = new Map();
    /** @type {Map<string, {type: number, writable: boolean}>} */
    this.births = new Map();
    /** @type {Map<string, Map<number, {path: string, type: number}>>} */
    this.aliases = new Map();
    /** @type {{topic: string, seq: number | undefined, at: number, metrics: {path: string, value: unknown}[]}[]} */
    this.log = [];
    this.client = mqtt.connect(url, { reconnectPeriod: 300 });
    this.client.on('connect', () => this.client.subscribe(`spBv1.0/${GROUP}/#`, { qos: 0 }));
    this.client.on('message', (topic, bytes) => this.onMessage(topic, bytes));
  }

  /** @param {string} topic @param {Buffer} bytes */
  onMessage(topic, bytes) {
    const [, , type, edge, device] = topic.split('/');
    const at = Date.now();
    let p;
    try {
      p = decodePayload(bytes);
    } catch {
      this.log.push({ topic, seq: undefined, at, metrics: [] });
      return;
    }
    const entry = { topic, seq: p.seq, at, metrics: /** @type {{path: string, value: unknown}[]} */ ([]) };
    this.log.push(entry);
    if (type.endsWith('CMD') || type.endsWith('DEATH')) return;
    const owner = device ? `${edge}/${device}` : edge;
    if (type === 'NBIRTH') this.aliases.set(edge, new Map());
    const aliases = this.aliases.get(edge);
    if (!aliases) return;
    for (const m of p.metrics) {
      let pathName, spType;
      if (type.endsWith('BIRTH')) {
        pathName = `${owner}/${m.name}`;
        spType = /** @type {number} */ (m.datatype);
        this.births.set(pathName, { type: spType, writable: m.writable });
        if (m.alias !== undefined) aliases.set(m.alias, { path: pathName, type: spType });
      } else {
        const a = m.alias !== undefined ? aliases.get(m.alias) : undefined;
        if (!a) continue;
        pathName = a.path;
        spType = a.type;
      }
      const value = metricValue(m, spType);
      const list = this.history.get(pathName) ?? [];
      list.push({ value, quality: m.quality, ts: m.timestamp ?? p.timestamp ?? 0, at });
      this.history.set(pathName, list);
      entry.metrics.push({ path: pathName, value });
    }
  }

  /** The metric paths of one edge node's births. @param {string} edge */
  pathsOf(edge) {
    return [...this.births.keys()].filter((p) => p.startsWith(`${edge}/`));
  }

  /** What the log shows after a moment, for failure messages. @param {number} since @param {string} part */
  shown(since, part) {
    return this.log.filter((e) => e.at >= since && e.topic.includes(part))
      .map((e) => `${e.topic} seq ${e.seq} ${e.metrics.map((m) => `${m.path}=${same(m.value)}`).join(' ')}`).join('\n');
  }

  close() { return this.client.endAsync(true); }
}

describe('the real gateways through the server', { skip }, () => {
  const p = /** @type {{sim: string, gateway: string, module: string}} */ (found);
  /** @type {Broker} */ let broker;
  /** @type {Watcher} */ let watch;
  /** @type {Awaited<ReturnType<typeof startTestServer>>} */ let srv;
  /** @type {Awaited<ReturnType<typeof connectClient>>} */ let ua;
  /** @type {SimLine} */ let lineA;
  /** @type {SimLine} */ let lineB;
  /** @type {ReturnType<typeof startGateway>[]} */ const gateways = [];

  /** @param {string} path @param {(dv: any) => boolean} ok @param {string} what */
  const readUntil = (path, ok, what, ms = 20000) => waitFor(async () => {
    const dv = await readPath(ua.session, path);
    return ok(dv) && dv;
  }, what, ms);

  before(async () => {
    broker = await Broker.start();
    watch = new Watcher(broker.url);
    srv = await startTestServer(broker.url, { group: GROUP });
    await waitFor(() => srv.host.connected, 'the server to reach the broker');
    // Line A: one instrument of each model, the current loop drifting; writes allowed.
    const sample = fs.readFileSync(path.join(__dirname, '..', '..', 'sim', 'sample.bus'), 'utf8');
    lineA = await SimLine.start(p.sim, tmpDir(), `${sample}\n  drift raw 2000 14000 6\n`);
    // Line B: a transducer and an alarm instrument, on a gateway that takes no writes.
    lineB = await SimLine.start(p.sim, tmpDir(), [
      'device 1 VEKS-1', '  ident 1 0', '  sensor 2', '  range 0', '  raw 2048',
      'device 2 DEK-04', '  ident 98 52', '  inputs 0x00000001', '  coils 0x0010', '  coil 240 1', ''].join('\n'));
    gateways.push(startGateway({ bin: p.gateway, module: p.module, dir: tmpDir(), line: lineA, limit: 5,
      brokerPort: broker.port, group: GROUP, edge: 'lineA', allowWrites: true }));
    gateways.push(startGateway({ bin: p.gateway, module: p.module, dir: tmpDir(), line: lineB, limit: 2,
      brokerPort: broker.port, group: GROUP, edge: 'lineB' }));
    ua = await connectClient(srv.endpoint);
    for (const d of ['lineA/Device1', 'lineA/Device2', 'lineA/Device3', 'lineA/Device4', 'lineA/Device5',
      'lineB/Device1', 'lineB/Device2']) {
      await readUntil(`${d}/Online`, (dv) => dv.value.value === true, `${d} to be born`, 60000)
        .catch((err) => { throw new Error(`${err.message}\n${gateways.map((g) => g.log).join('\n')}`); });
    }
  });

  after(async () => {
    await ua?.close();
    await srv?.stop();
    for (const g of gateways) await g.stop();
    await watch?.close();
    await broker?.stop();
    await lineA?.stop();
    await lineB?.stop();
  });

  it('shows both lines side by side, every device and metric of their births with its type', async () => {
    const children = async (/** @type {string} */ at) => {
      const r = await ua.session.browse({ nodeId: `ns=1;s=${at}`, browseDirection: BrowseDirection.Forward,
        resultMask: 63, includeSubtypes: true, referenceTypeId: 'HierarchicalReferences' });
      return r.references.map((/** @type {any} */ x) => x.browseName.name).sort();
    };
    assert.deepEqual(await children('Duzevod'), ['lineA', 'lineB']);
    assert.deepEqual((await children('Duzevod/lineA')).filter((n) => n.startsWith('Device')),
      ['Device1', 'Device2', 'Device3', 'Device4', 'Device5']);
    assert.deepEqual((await children('Duzevod/lineB')).filter((n) => n.startsWith('Device')), ['Device1', 'Device2']);
    const paths = [...watch.pathsOf('lineA'), ...watch.pathsOf('lineB')];
    // The controller's 55 tags and the link figures are there too: far more than a handful.
    assert.ok(paths.length > 150, `${paths.length} metrics in the births`);
    const device1 = await children('Duzevod/lineA/Device1');
    for (const pth of watch.pathsOf('lineA/Device1')) {
      assert.ok(device1.includes(pth.split('/')[2]), `${pth} is browsed under its device`);
    }
    const types = await ua.session.read(paths.map((x) => ({ nodeId: `ns=1;s=Duzevod/${x}`, attributeId: AttributeIds.DataType })));
    paths.forEach((x, i) => {
      const birth = /** @type {{type: number}} */ (watch.births.get(x));
      assert.equal(types[i].statusCode, StatusCodes.Good, x);
      assert.equal(types[i].value.value.value, uaTypeOf[/** @type {keyof typeof uaTypeOf} */ (birth.type)], x);
    });
  });

  it('reads the values, status codes and source timestamps the gateways published', async () => {
    const paths = [...watch.pathsOf('lineA'), ...watch.pathsOf('lineB')];
    const read = await ua.session.read(paths.map((x) => ({ nodeId: `ns=1;s=Duzevod/${x}`, attributeId: AttributeIds.Value })));
    const now = Date.now();
    // The server and this test's subscriber have a connection each: let ours catch up with the broker.
    await sleep(300);
    let changing = 0;
    paths.forEach((x, i) => {
      const dv = read[i];
      const list = watch.history.get(x) ?? [];
      // A value that changes may have moved on since: it must be one the gateway published, recently.
      const k = list.findLastIndex((h) => h.ts === dv.sourceTimestamp?.getTime());
      assert.ok(k >= 0, `${x}: the source time ${dv.sourceTimestamp?.toISOString()} is none the gateway published`);
      const h = list[k];
      if (k < list.length - 1) {
        changing++;
        assert.ok(now - list[k + 1].at < 3000, `${x}: shows ${same(h.value)}, replaced at ${list[k + 1].at}`);
      }
      assert.equal(same(valueOf(dv)), same(h.value), x);
      assert.equal(dv.statusCode.value, statusOf(h.quality)?.value, `${x}: quality ${h.quality}`);
    });
    assert.ok(changing < 10, `${changing} values had moved on`);
    // Spot checks against the bus file, so that a chain that loses everything cannot pass.
    assert.equal((await readPath(ua.session, `lineA/Device3/${VEKS}`)).value.value, 75);
    const input4 = await readPath(ua.session, 'lineA/Device1/LUMA-12 1101: Module 1 (BRUN).Input 4');
    assert.deepEqual([input4.value.value, input4.statusCode], [101, StatusCodes.UncertainSensorNotAccurate]);
  });

  it('notifies a monitored item of the drifting current loop, with what the gateway published', async () => {
    const sub = ClientSubscription.create(ua.session, { requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 20,
      requestedLifetimeCount: 100, publishingEnabled: true });
    try {
      const item = ClientMonitoredItem.create(sub, { nodeId: `ns=1;s=Duzevod/lineA/Device5/${ORTA}`, attributeId: AttributeIds.Value },
        { samplingInterval: 0, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
      /** @type {any[]} */ const seen = [];
      item.on('changed', (dv) => seen.push(dv));
      await waitFor(() => new Set(seen.map((dv) => dv.value.value)).size >= 3, 'three different values', 20000);
      await sleep(300);
      const list = watch.history.get(`lineA/Device5/${ORTA}`) ?? [];
      for (const dv of seen) {
        const h = list.find((x) => x.ts === dv.sourceTimestamp.getTime());
        assert.ok(h, `a notification at ${dv.sourceTimestamp.toISOString()} the gateway never published`);
        assert.equal(dv.value.value, h.value);
        assert.equal(dv.statusCode, StatusCodes.Good);
      }
    } finally {
      await sub.terminate();
    }
  });

  it('writes Mode of blocking through to the instrument and back; a measured value is not writable', async () => {
    const mode = 'lineA/Device2/Mode of blocking';
    const coilWrites = () => lineA.record().filter((e) => e.kind === 'rx' && e.bytes[1] === 5).map((e) => e.bytes);
    const before = coilWrites().length;
    const write = (/** @type {string} */ at, /** @type {any} */ value) => ua.session.write({
      nodeId: `ns=1;s=Duzevod/${at}`, attributeId: AttributeIds.Value, value: { value } });
    assert.equal(await write(mode, { dataType: DataType.Boolean, value: true }), StatusCodes.Good);
    // Blocking on is coil 240 off.
    assert.deepEqual(coilWrites().slice(before), [withCrc([2, 5, 0, 0xf0, 0, 0])]);
    assert.equal((await readPath(ua.session, mode)).value.value, true);
    assert.equal(await write(mode, { dataType: DataType.Boolean, value: false }), StatusCodes.Good);
    assert.deepEqual(coilWrites().slice(before + 1), [withCrc([2, 5, 0, 0xf0, 0xff, 0])]);
    assert.equal(await write(`lineA/Device3/${VEKS}`, { dataType: DataType.Double, value: 1 }), StatusCodes.BadNotWritable);
    assert.equal(await write('lineA/Device2/DEK-04 9852: Discrete inputs.Input 1', { dataType: DataType.Boolean, value: true }),
      StatusCodes.BadNotWritable);
    assert.equal(coilWrites().length, before + 2, 'nothing else reached the line');
  });

  // Reset is a momentary command: the instrument reads it back as false at once; the gateway's DDATA
  // after the confirmed write carries it all the same.
  it('writes Reset: the exact coil frame on the line, completed Good', async () => {
      const since = Date.now();
      const coilWrites = () => lineA.record().filter((e) => e.kind === 'rx' && e.bytes[1] === 5).map((e) => e.bytes);
      const before = coilWrites().length;
      const status = await ua.session.write({ nodeId: 'ns=1;s=Duzevod/lineA/Device2/Reset', attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Boolean, value: true } } });
      assert.deepEqual(coilWrites().slice(before), [withCrc([2, 5, 0, 1, 0xff, 0])]);
      assert.equal(status, StatusCodes.Good, `what lineA/Device2 sent meanwhile:\n${watch.shown(since, 'lineA/Device2')}`);
    });

  // The same for a write of the value a command bit already has: nothing changes, so nothing is published.
  it('writes Mode of blocking to the value it has: the coil frame on the line, completed Good', async () => {
      const since = Date.now();
      const mode = 'ns=1;s=Duzevod/lineA/Device2/Mode of blocking';
      assert.equal((await ua.session.read({ nodeId: mode, attributeId: AttributeIds.Value })).value.value, false);
      const before = lineA.record().filter((e) => e.kind === 'rx' && e.bytes[1] === 5).length;
      const status = await ua.session.write({ nodeId: mode, attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Boolean, value: false } } });
      assert.deepEqual(lineA.record().filter((e) => e.kind === 'rx' && e.bytes[1] === 5).slice(before).map((e) => e.bytes),
        [withCrc([2, 5, 0, 0xf0, 0xff, 0])]);
      assert.equal(status, StatusCodes.Good, `what lineA/Device2 sent meanwhile:\n${watch.shown(since, 'lineA/Device2')}`);
    });

  it('times a write out when the gateway takes no writes, and nothing reaches that line', async () => {
    const status = await ua.session.write({ nodeId: 'ns=1;s=Duzevod/lineB/Device2/Mode of blocking',
      attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Boolean, value: true } } });
    assert.equal(status, StatusCodes.BadTimeout);
    assert.equal(lineB.record().filter((e) => e.kind === 'rx' && e.bytes[1] === 5).length, 0);
    assert.equal((await readPath(ua.session, 'lineB/Device2/Mode of blocking')).value.value, false);
    assert.match(gateways[1].log, /writes are not allowed/);
  });

  it('shows a silenced transducer Bad_NoCommunication, and Good again when it answers', async () => {
    const value = `lineA/Device3/${VEKS}`;
    assert.equal(await lineA.command('3 fault silent'), 'ok');
    try {
      await readUntil(value, (dv) => dv.statusCode === StatusCodes.BadNoCommunication, 'the silent device to go bad', 30000);
      assert.equal((await readPath(ua.session, 'lineA/Device3/Online')).value.value, false);
      // The others of the line keep going.
      assert.equal((await readPath(ua.session, 'lineA/Device4/Online')).value.value, true);
    } finally {
      assert.equal(await lineA.command('3 fault normal'), 'ok');
    }
    const back = await readUntil(value, (dv) => dv.statusCode === StatusCodes.Good, 'the device to come back', 30000);
    assert.equal(back.value.value, 75);
    assert.equal((await readPath(ua.session, 'lineA/Device3/Online')).value.value, true);
  });

  it('asks a gateway for its births after a seq gap, and the gateway gives them', async () => {
    // Until now the real gateways gave the server no reason to doubt them: no gap, no unknown alias or
    // type, nothing undecodable, through births, data, deaths and rebirths.
    assert.deepEqual({ ...srv.host.stats, messages: 0 }, { messages: 0, rebirthRequests: 0, badPayloads: 0, seqGaps: 0 });
    const since = Date.now();
    const rebirths = srv.host.stats.rebirthRequests;
    const nbirths = () => watch.log.filter((e) => e.at >= since && e.topic === `spBv1.0/${GROUP}/NBIRTH/lineB`).length;
    // A DDATA with a seq far out of turn on the gateway's own topic.
    const last = watch.log.filter((e) => e.topic.includes('/lineB') && e.seq !== undefined).at(-1);
    const seq = ((last?.seq ?? 0) + 100) % 256;
    const t = schema();
    await watch.client.publishAsync(`spBv1.0/${GROUP}/DDATA/lineB/Device1`,
      Buffer.from(t.encode(t.fromObject({ timestamp: Date.now(), seq, metrics: [] })).finish()));
    await waitFor(() => nbirths() > 0, 'a new NBIRTH of lineB', 10000);
    assert.ok(srv.host.stats.rebirthRequests > rebirths);
    assert.ok(watch.log.some((e) => e.at >= since && e.topic === `spBv1.0/${GROUP}/NCMD/lineB`), 'the NCMD on the wire');
    await readUntil('lineB/Device1/Online', (dv) => dv.value.value === true, 'lineB/Device1 born again');
    await readUntil(`lineB/Device1/${VEKS}`, (dv) => dv.statusCode === StatusCodes.Good && dv.value.value === 12.5, 'its value');
  });

  it('loses nothing when the broker restarts', async () => {
    const paths = [...watch.pathsOf('lineA'), ...watch.pathsOf('lineB')];
    await broker.stop();
    await readUntil('lineA/Device3/Online', (dv) => dv.statusCode === StatusCodes.BadNoCommunication || dv.value.value === false,
      'the server to notice', 10000);
    await sleep(500);
    const restarted = Date.now();
    await broker.restart();
    // Every variable current again: all births came back.
    const stale = async () => {
      const now = await ua.session.read(paths.map((x) => ({ nodeId: `ns=1;s=Duzevod/${x}`, attributeId: AttributeIds.Value })));
      return paths.filter((x, i) => now[i].statusCode === StatusCodes.BadNoCommunication);
    };
    await waitFor(async () => (await stale()).length === 0, 'every variable current again', 30000)
      .catch(async (err) => { throw new Error(`${err.message}: ${(await stale()).join(', ')}`); });
    // And values flow again, not only the births' pictures.
    await readUntil(`lineA/Device5/${ORTA}`, (dv) => dv.sourceTimestamp.getTime() > restarted + 1000, 'new data after the restart');
  });
});
