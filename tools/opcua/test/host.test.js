'use strict';
// The host application's duties: writes as DCMD, rebirths, deaths, broker restarts, several lines.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { StatusCodes, DataType, AttributeIds } = require('node-opcua');
const { Broker, EdgeNode, lineDevices, startTestServer, connectClient, readPath, waitFor, sleep } = require('./helpers');

/** @param {any} session @param {string} path @param {unknown} value @param {number} [dataType] */
async function write(session, path, value, dataType = DataType.Boolean) {
  return session.write({ nodeId: `ns=1;s=Duzevod/${path}`, attributeId: AttributeIds.Value,
    value: { value: { dataType, value } } });
}

describe('the Sparkplug host behind the server', () => {
  /** @type {Broker} */ let broker;
  /** @type {EdgeNode} */ let line1;
  /** @type {EdgeNode} */ let line2;
  /** @type {Awaited<ReturnType<typeof startTestServer>>} */ let srv;
  /** @type {Awaited<ReturnType<typeof connectClient>>} */ let ua;

  before(async () => {
    broker = await Broker.start();
    srv = await startTestServer(broker.url, { hostId: 'scada' }, { writeTimeoutMs: 1500 });
    await waitFor(() => srv.host.connected, 'the server to reach the broker');
    line1 = new EdgeNode({ url: broker.url, group: 'Plant', edge: 'line1', devices: lineDevices() });
    line2 = new EdgeNode({ url: broker.url, group: 'Plant', edge: 'line2', devices: lineDevices(), acceptWrites: false });
    await line1.connect();
    await line2.connect();
    ua = await connectClient(srv.endpoint);
    for (const l of ['line1', 'line2']) {
      await waitFor(async () => (await readPath(ua.session, `${l}/DEK-04_5/Online`)).value.value === true, `${l}'s births`);
    }
  });

  after(async () => {
    await ua?.close();
    await line1?.close();
    await line2?.close();
    await srv?.stop();
    await broker?.stop();
  });

  it('shows two edge nodes side by side, each with its own values', async () => {
    line2.ddata('VEKS-1_3', { Temperature: { value: -3.5 } });
    await waitFor(async () => (await readPath(ua.session, 'line2/VEKS-1_3/Temperature')).value.value === -3.5, 'line2');
    assert.equal((await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).value.value, 21.5);
  });

  it('writes a Boolean as a DCMD and completes Good when DDATA brings it back', async () => {
    line1.commands.length = 0;
    const status = await write(ua.session, 'line1/DEK-04_5/Reset', true);
    assert.equal(status, StatusCodes.Good);
    const dcmd = line1.commands.find((c) => c.topic === 'spBv1.0/Plant/DCMD/line1/DEK-04_5');
    assert.ok(dcmd, 'a DCMD was sent');
    assert.equal(dcmd.payload.metrics.length, 1);
    assert.equal(dcmd.payload.metrics[0].name, 'Reset');
    assert.equal(dcmd.payload.metrics[0].datatype, 11);
    assert.equal(dcmd.payload.metrics[0].boolean_value, true);
    const dv = await readPath(ua.session, 'line1/DEK-04_5/Reset');
    assert.equal(dv.value.value, true);
    assert.equal(dv.statusCode, StatusCodes.Good);
  });

  it('completes Bad_Timeout when the gateway does not write, Bad_NotWritable or a type error otherwise', async () => {
    assert.equal(await write(ua.session, 'line2/DEK-04_5/Reset', true), StatusCodes.BadTimeout);
    assert.equal((await readPath(ua.session, 'line2/DEK-04_5/Reset')).value.value, false, 'the value stays the device\'s');
    line1.commands.length = 0;
    assert.equal(await write(ua.session, 'line1/VEKS-1_3/Temperature', 5, DataType.Double), StatusCodes.BadNotWritable);
    assert.equal(await write(ua.session, 'line1/DEK-04_5/Input 1', true), StatusCodes.BadNotWritable);
    assert.equal(await write(ua.session, 'line1/Node Control/Rebirth', true), StatusCodes.BadNotWritable);
    assert.equal(await write(ua.session, 'line1/DEK-04_5/Online', false), StatusCodes.BadNotWritable);
    assert.equal(await write(ua.session, 'line1/DEK-04_5/Reset', 1, DataType.Int32), StatusCodes.BadTypeMismatch);
    assert.equal(line1.commands.length, 0, 'nothing reached the edge node');
  });

  it('asks for a rebirth on a seq gap, an unknown alias or garbage, and goes on serving', async () => {
    const before = line1.rebirths;
    line1.seq += 3;
    line1.ddata('VEKS-1_3', { Temperature: { value: 77 } });
    await waitFor(() => line1.rebirths > before, 'a rebirth after the gap');
    assert.ok(line1.commands.some((c) => c.topic === 'spBv1.0/Plant/NCMD/line1'));
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).statusCode === StatusCodes.Good, 'the rebirth');

    await sleep(600);
    const afterGap = line1.rebirths;
    const t = /** @type {any} */ (line1);
    line1.publish('DDATA', 'VEKS-1_3', { timestamp: Date.now(), seq: line1.nextSeq(), metrics: [{ alias: 999, double_value: 1 }] });
    await waitFor(() => line1.rebirths > afterGap, 'a rebirth after an unknown alias');

    await sleep(600);
    const afterAlias = line1.rebirths;
    line1.publishRaw('DDATA', 'VEKS-1_3', Buffer.from([0xff, 0xff, 0xff, 0x01, 0x02]));
    line1.publish('DDATA', 'VEKS-1_3', { timestamp: Date.now(), seq: line1.nextSeq(),
      metrics: [{ alias: t.byName.get('VEKS-1_3\u0000Temperature').alias, string_value: 'hot' }] });
    line1.publishRaw('DDATA', 'nobody', Buffer.alloc(0));
    await waitFor(() => line1.rebirths > afterAlias, 'a rebirth after garbage');
    line1.ddata('VEKS-1_3', { Temperature: { value: 12.5 } });
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).value.value === 12.5, 'serving on');
  });

  it('turns a node death into Bad_NoCommunication everywhere on it, and a late old will changes nothing', async () => {
    const gone = new EdgeNode({ url: broker.url, group: 'Plant', edge: 'line3', devices: lineDevices() });
    await gone.connect();
    await waitFor(async () => (await readPath(ua.session, 'line3/VEKS-1_3/Online')).value.value === true, 'line3');
    await gone.crash();
    await waitFor(async () => (await readPath(ua.session, 'line3/Online')).value.value === false, 'the NDEATH');
    for (const p of ['line3/VEKS-1_3/Temperature', 'line3/DEK-04_5/Reset', 'line3/Port/Name']) {
      const dv = await readPath(ua.session, p);
      assert.equal(dv.statusCode, StatusCodes.BadNoCommunication, p);
      assert.notEqual(dv.value.value, null, p);
    }
    assert.equal((await readPath(ua.session, 'line3/VEKS-1_3/Online')).value.value, false);
    await gone.connect();
    await waitFor(async () => (await readPath(ua.session, 'line3/VEKS-1_3/Temperature')).statusCode === StatusCodes.Good, 'back');
    // The will of the first connection, arriving now, is not this connection's death.
    gone.publish('NDEATH', null, { timestamp: Date.now(), metrics: [{ name: 'bdSeq', datatype: 4, long_value: 1 }] });
    await sleep(300);
    assert.equal((await readPath(ua.session, 'line3/Online')).value.value, true);
    await gone.close();
  });

  it('loses nothing over a broker restart and keeps its STATE', async () => {
    const state = () => new Promise((resolve) => {
      const mqtt = require('mqtt');
      const c = mqtt.connect(broker.url);
      c.on('connect', () => c.subscribe('spBv1.0/STATE/scada'));
      c.on('message', (_t, p) => { c.end(true); resolve(JSON.parse(p.toString())); });
    });
    assert.equal(/** @type {any} */ (await state()).online, true);
    await broker.stop();
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).statusCode === StatusCodes.BadNoCommunication, 'stale while away');
    await broker.restart();
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).statusCode === StatusCodes.Good
      && (await readPath(ua.session, 'line2/DEK-04_5/Reset')).statusCode === StatusCodes.Good, 'both lines back', 15000);
    line1.ddata('VEKS-1_3', { Temperature: { value: 99.25 } });
    line2.ddata('VEKS-1_3', { Temperature: { value: 98.25 } });
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).value.value === 99.25
      && (await readPath(ua.session, 'line2/VEKS-1_3/Temperature')).value.value === 98.25, 'data after the restart');
    assert.equal(/** @type {any} */ (await state()).online, true);
    assert.equal(await write(ua.session, 'line1/DEK-04_5/Mode of blocking', true), StatusCodes.Good);
  });
});
