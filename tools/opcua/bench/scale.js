'use strict';
// The scale benchmark (scripts/bench-opcua.sh runs it): LINES simulated lines of DEVICES drifting
// instruments, a gateway on each, one mosquitto, one server process, and a secure client subscribed to
// every measured value. It prints figures, it does not judge them: the latency from the simulator's
// record of a reply to the client's data-change notification, and what each program costs.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { AttributeIds, BrowseDirection, ClientSubscription, ClientMonitoredItem, TimestampsToReturn } = require('node-opcua');
const { Broker, connectClient, clientCertificates, freePort, waitFor, tmpDir, sleep } = require('../test/helpers');
const { SimLine, startGateway, terminate } = require('../test/programs');
const { makeUserLine } = require('../lib/users');

const GROUP = 'Bench';

/** @param {string[]} argv */
function options(argv) {
  const o = { lines: 8, devices: 31, seconds: 60, out: '', sim: '', gateway: '', module: '' };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    if (!(key in o) || argv[i + 1] === undefined) throw new Error(`unknown option or missing value: ${argv[i]}`);
    /** @type {any} */ (o)[key] = typeof (/** @type {any} */ (o)[key]) === 'number' ? Number(argv[i + 1]) : argv[i + 1];
  }
  if (!(o.lines >= 1 && o.devices >= 3 && o.devices <= 31 && o.seconds >= 5)) throw new Error('--lines ≥ 1, --devices 3..31, --seconds ≥ 5');
  return o;
}

/**
 * One line's bus: a controller, an alarm instrument, then transducers and current-loop modules whose raw
 * values swing with periods of 4 to 9 s, so that most polls bring a new value.
 * @param {number} devices
 */
function busText(devices) {
  const out = ['device 1 LUMA-12', '  modules 1 0 0 0 0 0 0 0', '  channel 0 0 "  21.40 " 0x00', '  drift channel 0 0 18 26 7',
    'device 2 DEK-04', '  ident 98 52', '  inputs 0x00000215', '  coils 0x0050', '  coil 240 1', '  drift input 1 3'];
  for (let a = 3; a <= devices; a++) {
    const period = 4 + (a % 6);
    switch (a % 3) {
      case 0: out.push(`device ${a} VEKS-1`, '  ident 1 0', '  sensor 2', '  range 0', '  raw 4096', `  drift raw 1000 7000 ${period}`); break;
      case 1: out.push(`device ${a} VEKS-2`, '  ident 1 0', '  sensor 3', '  range 4', '  raw 4096', `  drift raw 1000 7000 ${period}`); break;
      default: out.push(`device ${a} ORTA`, '  ident 1 0', '  conversion 1', '  raw 8192', `  drift raw 2000 14000 ${period}`);
    }
  }
  return `${out.join('\n')}\n`;
}

/** CPU seconds (user + system) of a process so far. @param {number} pid */
function cpuSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(f[11]) + Number(f[12])) / 100;  // utime, stime in clock ticks (USER_HZ 100 on Linux)
}

/** Resident and peak resident memory in MiB. @param {number} pid */
function memory(pid) {
  const s = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (/** @type {string} */ k) => Number((new RegExp(`^${k}:\\s+(\\d+)`, 'm').exec(s) ?? [0, 0])[1]);
  return { rss: kb('VmRSS') / 1024, peak: kb('VmHWM') / 1024 };
}

/** @param {number[]} sorted @param {number} q */
const quantile = (sorted, q) => sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil(q * sorted.length) - 1))];

/** @param {string} at */
const loadText = (at) => `${at}: load average ${os.loadavg().map((x) => x.toFixed(2)).join(', ')}`;

async function main() {
  const o = options(process.argv.slice(2));
  const started = new Date();
  const loads = [loadText('before the start')];
  const broker = await Broker.start();
  const dir = tmpDir();

  // The server as its own process, as deployed, with the client's certificate trusted and one user.
  const pki = path.join(dir, 'pki');
  fs.mkdirSync(path.join(pki, 'trusted', 'certs'), { recursive: true });
  fs.copyFileSync((await clientCertificates()).trusted.cert, path.join(pki, 'trusted', 'certs', 'client.pem'));
  fs.writeFileSync(path.join(dir, 'users'), `${await makeUserLine('operator', 's3cret')}\n`);
  const uaPort = await freePort();
  const server = spawn(process.execPath, [path.join(__dirname, '..', 'bin', 'duzevod-opcua.js'), '--broker', `127.0.0.1:${broker.port}`,
    '--group', GROUP, '--port', String(uaPort), '--users', path.join(dir, 'users'), '--pki', pki], { stdio: ['ignore', 'ignore', 'pipe'] });
  let serverLog = '';
  server.stderr?.on('data', (d) => { serverLog += d; });
  await waitFor(() => serverLog.includes('connected to the broker'), `the server (${serverLog})`, 60000);

  process.stderr.write(`bench: ${o.lines} lines × ${o.devices} instruments: searching the buses\n`);
  const t0 = Date.now();
  /** @type {SimLine[]} */ const lines = [];
  /** @type {ReturnType<typeof startGateway>[]} */ const gateways = [];
  for (let i = 0; i < o.lines; i++) {
    const line = await SimLine.start(o.sim, tmpDir(), busText(o.devices));
    lines.push(line);
    gateways.push(startGateway({ bin: o.gateway, module: o.module, dir: tmpDir(), line, limit: o.devices,
      brokerPort: broker.port, group: GROUP, edge: `line${i + 1}` }));
  }
  const stopAll = async () => {
    for (const g of gateways) await g.stop();
    await terminate(server);
    await broker.stop();
    for (const l of lines) await l.stop();
  };
  try {
    const ua = await connectClient(`opc.tcp://127.0.0.1:${uaPort}`);
    const onlinePaths = [];
    for (let i = 1; i <= o.lines; i++) for (let d = 1; d <= o.devices; d++) onlinePaths.push(`line${i}/Device${d}/Online`);
    const online = async () => (await ua.session.read(onlinePaths.map((p) => ({ nodeId: `ns=1;s=Duzevod/${p}`, attributeId: AttributeIds.Value }))))
      .filter((dv) => dv.value.value === true).length;
    await waitFor(async () => (await online()) === onlinePaths.length, `all ${onlinePaths.length} devices online`, 300000)
      .catch(async (err) => { throw new Error(`${err.message}: ${await online()} are\n${gateways.map((g) => g.log).join('\n')}`); });
    const bornIn = (Date.now() - t0) / 1000;
    // Every device in the address space, found by browsing as any client would.
    let browsed = 0, variables = 0;
    for (let i = 1; i <= o.lines; i++) {
      const r = await ua.session.browse({ nodeId: `ns=1;s=Duzevod/line${i}`, browseDirection: BrowseDirection.Forward,
        includeSubtypes: true, referenceTypeId: 'HierarchicalReferences', resultMask: 63 });
      const devices = r.references.map((/** @type {any} */ x) => x.browseName.name).filter((n) => /^Device\d+$/.test(n));
      browsed += devices.length;
      const rr = await ua.session.browse(devices.map((d) => ({ nodeId: `ns=1;s=Duzevod/line${i}/${d}`,
        browseDirection: BrowseDirection.Forward, includeSubtypes: true, referenceTypeId: 'HierarchicalReferences', resultMask: 63 })));
      for (const x of rr) variables += x.references.length;
    }

    // Every measured value of a transducer or current-loop module, monitored.
    /** @type {{path: string, line: number, address: number}[]} */
    const items = [];
    for (let i = 1; i <= o.lines; i++) {
      for (let a = 3; a <= o.devices; a++) {
        const name = a % 3 === 0 ? 'VEKS-1: (-50 -- 200).Value' : a % 3 === 1 ? 'VEKS-2: (-50 -- 180).Value' : 'ORTA (4 -- 20 mA).Value';
        items.push({ path: `line${i}/Device${a}/${name}`, line: i, address: a });
      }
    }
    const sub = ClientSubscription.create(ua.session, { requestedPublishingInterval: 50, requestedMaxKeepAliveCount: 20,
      requestedLifetimeCount: 200, maxNotificationsPerPublish: 0, publishingEnabled: true });
    await new Promise((resolve) => sub.once('started', resolve));
    /** @type {{item: number, source: number, at: number}[]} */
    const seen = [];
    let measuring = false;
    for (const [k, it] of items.entries()) {
      const mi = ClientMonitoredItem.create(sub, { nodeId: `ns=1;s=Duzevod/${it.path}`, attributeId: AttributeIds.Value },
        { samplingInterval: 0, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
      mi.on('changed', (dv) => {
        if (measuring && dv.sourceTimestamp) seen.push({ item: k, source: dv.sourceTimestamp.getTime(), at: performance.timeOrigin + performance.now() });
      });
    }
    await sleep(3000);  // the initial values go by

    const pids = { broker: /** @type {number} */ (broker.proc?.pid), server: /** @type {number} */ (server.pid),
      ...Object.fromEntries(gateways.map((g, i) => [`gateway line${i + 1}`, /** @type {number} */ (g.proc.pid)])) };
    const simPids = lines.map((l) => /** @type {number} */ (l.proc?.pid));
    const selfPid = process.pid;
    const cpu0 = Object.fromEntries(Object.entries(pids).map(([k, pid]) => [k, cpuSeconds(pid)]));
    const simCpu0 = simPids.reduce((s, pid) => s + cpuSeconds(pid), 0);
    const selfCpu0 = cpuSeconds(selfPid);
    const w0 = performance.now();
    loads.push(loadText('at the start of the measurement'));
    process.stderr.write(`bench: all ${browsed} devices browsed; measuring for ${o.seconds} s\n`);
    measuring = true;
    await sleep(o.seconds * 1000);
    measuring = false;
    const wall = (performance.now() - w0) / 1000;
    loads.push(loadText('at its end'));
    const cost = Object.entries(pids).map(([k, pid]) => ({ who: k, cpu: (cpuSeconds(pid) - cpu0[k]) / wall * 100, ...memory(pid) }));
    const simCpu = (simPids.reduce((s, pid) => s + cpuSeconds(pid), 0) - simCpu0) / wall * 100;
    const simMem = simPids.reduce((s, pid) => s + memory(pid).rss, 0);
    const selfCpu = (cpuSeconds(selfPid) - selfCpu0) / wall * 100;
    await sub.terminate();
    const cycles = (await ua.session.read(lines.map((_, i) => ({ nodeId: `ns=1;s=Duzevod/line${i + 1}/Cycle/Period`,
      attributeId: AttributeIds.Value })))).map((dv) => Number(dv.value.value));
    await ua.close();

    // Latency: the reply the module read last from that address before the value's source time (the
    // module takes the time after the exchange) to the client's notification.
    /** @type {Map<string, number[]>} */
    const replies = new Map();
    lines.forEach((l, i) => {
      for (const e of l.record()) {
        if (e.kind !== 'tx' || !e.bytes.length) continue;
        const key = `${i + 1}/${e.bytes[0]}`;
        const list = replies.get(key) ?? [];
        list.push(e.us);
        replies.set(key, list);
      }
    });
    const latencies = [];
    let unmatched = 0;
    for (const s of seen) {
      const it = items[s.item];
      const list = replies.get(`${it.line}/${it.address}`) ?? [];
      const limit = s.source * 1000 + 999;
      let lo = 0, hi = list.length - 1, best = -1;
      while (lo <= hi) {
        const mid = (lo + hi) >> 1;
        if (list[mid] <= limit) { best = mid; lo = mid + 1; } else hi = mid - 1;
      }
      const ms = best >= 0 ? s.at - list[best] / 1000 : NaN;
      if (best < 0 || ms < 0 || ms > 10000) unmatched++;
      else latencies.push(ms);
    }
    latencies.sort((a, b) => a - b);

    const f = (/** @type {number} */ x, d = 1) => (Number.isFinite(x) ? x.toFixed(d) : '–');
    const cpuInfo = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/^model name\s*:\s*(.*)$/m) ?? [])[1] ?? 'unknown';
    const md = [
      '# OPC UA server at scale',
      '',
      `Generated by \`scripts/bench-opcua.sh --out FILE\` on ${started.toISOString()}: ${o.lines} simulated lines × ${o.devices} instruments, a`,
      'gateway (`duzevod-mqtt --sparkplug`) on each, one mosquitto, one `duzevod-opcua`, and one OPC UA client',
      '(SignAndEncrypt, Basic256Sha256) subscribed to every transducer and current-loop value, on one machine.',
      '',
      `Machine: ${os.cpus().length} × ${cpuInfo}, ${(os.totalmem() / 2 ** 30).toFixed(0)} GiB, Node ${process.version}. It is shared`,
      'with other builds, so figures vary from run to run; the load it carried:',
      '',
      ...loads.map((l) => `- ${l}`),
      '',
      '## The address space',
      '',
      '| | |',
      '|---|---|',
      `| devices online (read) | ${onlinePaths.length} of ${o.lines * o.devices} |`,
      `| devices found by browsing | ${browsed} |`,
      `| variables under the devices | ${variables} |`,
      `| from the gateways' start to every device online | ${f(bornIn)} s (bus search included) |`,
      `| polling cycle of a line (each device's value is new once a cycle) | ${f(Math.min(...cycles), 0)} to ${f(Math.max(...cycles), 0)} ms |`,
      '',
      `## Latency: simulator reply → client notification (${o.seconds} s)`,
      '',
      `${items.length} monitored items, publishing interval ${sub.publishingInterval} ms (a notification waits up to`,
      'one interval for its publish response, as for any client).',
      '',
      '| notifications | matched to a reply | median | 90th percentile | 99th percentile | max |',
      '|---|---|---|---|---|---|',
      `| ${seen.length} (${f(seen.length / wall)}/s) | ${latencies.length} (${unmatched} not) | ${f(quantile(latencies, 0.5))} ms | ` +
        `${f(quantile(latencies, 0.9))} ms | ${f(quantile(latencies, 0.99))} ms | ${f(latencies.at(-1) ?? NaN)} ms |`,
      '',
      `## What each program costs (over the ${f(wall, 0)} s of measurement)`,
      '',
      'CPU is the share of one core; memory the resident set at the end and its peak.',
      '',
      '| program | CPU | memory | peak memory |',
      '|---|---|---|---|',
      ...cost.map((c) => `| ${c.who} | ${f(c.cpu)} % | ${f(c.rss)} MiB | ${f(c.peak)} MiB |`),
      `| the ${o.lines} simulators together | ${f(simCpu)} % | ${f(simMem)} MiB | |`,
      `| the benchmark's client | ${f(selfCpu)} % | ${f(memory(selfPid).rss)} MiB | |`,
      '',
    ].join('\n');
    process.stdout.write(md);
    if (o.out) fs.writeFileSync(o.out, md);
  } finally {
    await stopAll();
  }
}

main().then(() => process.exit(0), (err) => {
  process.stderr.write(`bench: ${err.stack}\n`);
  process.exit(1);
});
