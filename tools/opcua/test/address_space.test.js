'use strict';
// One line's edge node through a real broker into the server, read by a secure client.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  AttributeIds, BrowseDirection, DataType, StatusCodes, ClientSubscription, ClientMonitoredItem, TimestampsToReturn,
  NodeClass,
} = require('node-opcua');
const { execFile } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { Broker, EdgeNode, lineDevices, startTestServer, connectClient, readPath, waitFor, tmpDir } = require('./helpers');

/** @param {string[]} args @returns {Promise<{code: number, out: string}>} */
function browse(args) {
  const bin = path.join(__dirname, '..', 'bin', 'duzevod-opcua-browse.js');
  return new Promise((resolve) => execFile(process.execPath, [bin, ...args], { encoding: 'utf8', timeout: 60000 },
    (err, out, errText) => resolve({ code: err ? Number(err.code) || 1 : 0, out: out + errText })));
}

describe('one edge node in the address space', () => {
  /** @type {Broker} */ let broker;
  /** @type {EdgeNode} */ let edge;
  /** @type {Awaited<ReturnType<typeof startTestServer>>} */ let srv;
  /** @type {Awaited<ReturnType<typeof connectClient>>} */ let ua;

  before(async () => {
    broker = await Broker.start();
    srv = await startTestServer(broker.url);
    await waitFor(() => srv.host.connected, 'the server to reach the broker');
    edge = new EdgeNode({ url: broker.url, group: 'Plant', edge: 'line1', devices: lineDevices() });
    await edge.connect();
    ua = await connectClient(srv.endpoint);
    await waitFor(async () => (await readPath(ua.session, 'line1/DEK-04_5/Online')).value.value === true, 'the births');
  });

  after(async () => {
    await ua?.close();
    await edge?.close();
    await srv?.stop();
    await broker?.stop();
  });

  it('browses every device and metric with the birth types', async () => {
    /** @param {string} path */
    const children = async (path) => {
      const r = await ua.session.browse({ nodeId: `ns=1;s=${path}`, browseDirection: BrowseDirection.Forward,
        resultMask: 63, includeSubtypes: true, referenceTypeId: 'HierarchicalReferences' });
      return r.references.map((/** @type {any} */ x) => x.browseName.name).sort();
    };
    assert.deepEqual(await children('Duzevod'), ['line1']);
    assert.deepEqual(await children('Duzevod/line1'), ['Cycle', 'DEK-04_5', 'Node Control', 'Online', 'Port', 'VEKS-1_3', 'bdSeq']);
    assert.deepEqual(await children('Duzevod/line1/VEKS-1_3'), ['Cold Junction', 'Link', 'Online', 'Range', 'Temperature']);
    assert.deepEqual(await children('Duzevod/line1/VEKS-1_3/Link'), ['Exchanges', 'Last Failure', 'Last Failure Time']);
    const objects = await ua.session.browse('i=85');
    assert.ok(objects.references.some((/** @type {any} */ r) => r.browseName.name === 'Duzevod'));

    const types = {
      'line1/VEKS-1_3/Temperature': DataType.Double, 'line1/VEKS-1_3/Range': DataType.Int32,
      'line1/VEKS-1_3/Link/Exchanges': DataType.UInt64, 'line1/VEKS-1_3/Link/Last Failure': DataType.String,
      'line1/VEKS-1_3/Link/Last Failure Time': DataType.DateTime, 'line1/DEK-04_5/Reset': DataType.Boolean,
      'line1/bdSeq': DataType.Int64, 'line1/Online': DataType.Boolean,
    };
    for (const [path, type] of Object.entries(types)) {
      const dv = await ua.session.read({ nodeId: `ns=1;s=Duzevod/${path}`, attributeId: AttributeIds.DataType });
      assert.equal(dv.value.value.value, type, path);
      const nc = await ua.session.read({ nodeId: `ns=1;s=Duzevod/${path}`, attributeId: AttributeIds.NodeClass });
      assert.equal(nc.value.value, NodeClass.Variable, path);
    }
  });

  it('reads the values, qualities and timestamps the edge node published', async () => {
    const ts = Date.now() - 1234;
    edge.ddata('VEKS-1_3', { Temperature: { value: 250.75, quality: 192 }, Range: { value: -1, quality: 4 } }, ts);
    edge.ddata('DEK-04_5', { 'Input 1': { value: false, quality: 12 } }, ts);
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).value.value === 250.75, 'the DDATA');
    const t = await readPath(ua.session, 'line1/VEKS-1_3/Temperature');
    assert.equal(t.statusCode, StatusCodes.Good);
    assert.equal(t.sourceTimestamp.getTime(), ts);
    const range = await readPath(ua.session, 'line1/VEKS-1_3/Range');
    assert.equal(range.value.value, -1);
    assert.equal(range.statusCode, StatusCodes.BadConfigurationError);
    const cj = await readPath(ua.session, 'line1/VEKS-1_3/Cold Junction');
    assert.equal(cj.value.value, 19.25);
    assert.equal(cj.statusCode, StatusCodes.UncertainSensorNotAccurate);
    await waitFor(async () => (await readPath(ua.session, 'line1/DEK-04_5/Input 1')).statusCode === StatusCodes.BadDeviceFailure, 'device failure');
    const ex = await readPath(ua.session, 'line1/VEKS-1_3/Link/Exchanges');
    assert.deepEqual(ex.value.value, [0, 5210]);
    const lft = await readPath(ua.session, 'line1/VEKS-1_3/Link/Last Failure Time');
    assert.equal(lft.value.value.toISOString(), '2026-12-09T10:15:02.125Z');
    const never = await readPath(ua.session, 'line1/DEK-04_5/Link/Last Failure Time');
    assert.equal(never.value.dataType, DataType.Null, 'no failure yet: a null value');
    assert.equal(never.statusCode, StatusCodes.Good);
    assert.equal((await readPath(ua.session, 'line1/Port/Name')).value.value, '/dev/ttyUSB0');
    assert.deepEqual((await readPath(ua.session, 'line1/bdSeq')).value.value, [0, edge.bdSeq]);
  });

  it('notifies a monitored item of a changing value', async () => {
    const sub = ClientSubscription.create(ua.session, { requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 20,
      requestedLifetimeCount: 100, publishingEnabled: true });
    const item = ClientMonitoredItem.create(sub, { nodeId: 'ns=1;s=Duzevod/line1/VEKS-1_3/Temperature', attributeId: AttributeIds.Value },
      { samplingInterval: 0, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    /** @type {number[]} */
    const seen = [];
    item.on('changed', (/** @type {any} */ dv) => seen.push(dv.value.value));
    await waitFor(() => seen.length >= 1, 'the first notification');
    // A drift as the gateway reports it, one change per poll.
    for (const v of [30.5, 31, 31.5]) {
      edge.ddata('VEKS-1_3', { Temperature: { value: v } });
      await waitFor(() => seen.includes(v), `the drifting value ${v}`);
    }
    await sub.terminate();
  });

  it('shows a device death as Bad_NoCommunication with the last value, and its birth as Good again', async () => {
    edge.ddata('VEKS-1_3', { Temperature: { value: 42.5 } }, 1765275302125);
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).value.value === 42.5, 'the value');
    edge.ddeath('VEKS-1_3');
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).statusCode === StatusCodes.BadNoCommunication, 'the death');
    const dead = await readPath(ua.session, 'line1/VEKS-1_3/Temperature');
    assert.equal(dead.value.value, 42.5);
    assert.equal(dead.sourceTimestamp.getTime(), 1765275302125);
    assert.equal((await readPath(ua.session, 'line1/VEKS-1_3/Online')).value.value, false);
    assert.equal((await readPath(ua.session, 'line1/DEK-04_5/Reset')).statusCode, StatusCodes.Good, 'the other device lives');
    edge.dbirth('VEKS-1_3');
    await waitFor(async () => (await readPath(ua.session, 'line1/VEKS-1_3/Temperature')).statusCode === StatusCodes.Good, 'the rebirth');
    assert.equal((await readPath(ua.session, 'line1/VEKS-1_3/Online')).value.value, true);
  });

  it('lets a client whose certificate is dropped into the trusted folder print the tree', async () => {
    const dir = tmpDir();
    const pki = path.join(dir, 'pki');
    const cert = (await browse(['--pki', pki, '--init'])).out.trim();
    fs.writeFileSync(path.join(dir, 'password'), 's3cret\n');
    const args = ['--pki', pki, '--endpoint', srv.endpoint, '--user', 'operator', '--password-file', path.join(dir, 'password')];
    const refused = await browse(args);
    assert.notEqual(refused.code, 0, refused.out);
    // What an administrator does: move the refused certificate from rejected/ to trusted/certs/.
    const rejected = path.join(srv.dir, 'pki', 'rejected');
    const files = fs.readdirSync(rejected);
    assert.equal(files.length, 1, `one refused certificate (${cert})`);
    fs.renameSync(path.join(rejected, files[0]), path.join(srv.dir, 'pki', 'trusted', 'certs', files[0]));
    const r = await waitFor(async () => { const x = await browse(args); return x.code === 0 ? x : undefined; }, 'the trust', 20000);
    assert.equal(r.code, 0, r.out);
    assert.match(r.out, /^ {4}VEKS-1_3\/$/m);
    assert.match(r.out, /^ {6}Cold Junction = 19\.25 {2}\[UncertainSensorNotAccurate, /m);
    assert.match(r.out, /^ {8}Exchanges = 5210 {2}\[Good, /m);
  });
});
