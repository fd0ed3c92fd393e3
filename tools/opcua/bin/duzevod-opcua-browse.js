#!/usr/bin/env node
'use strict';
// A plain OPC UA client that prints what duzevod-opcua serves: every edge node, device and metric under
// Objects/Duzevod with its value, status and source timestamp. For the demonstration and for checking an
// installation; it knows nothing of the server beyond OPC UA.
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');
const {
  OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, UserTokenType, NodeClass,
  BrowseDirection, AttributeIds, DataType,
} = require('node-opcua');

const USAGE = `Usage: duzevod-opcua-browse --endpoint opc.tcp://HOST:PORT --pki DIR [--user NAME --password-file FILE]
                            [--security none|sign|encrypt] [--wait SECONDS]
       duzevod-opcua-browse --pki DIR --init

Prints the tree under Objects/Duzevod. The client's certificate is DIR/own/certs/client.pem (made on the
first run, or by --init); the server trusts it once it is in the server's trusted/certs folder.
--wait retries for that long until at least one device is online.
`;

/** @param {string} pki */
async function certificate(pki) {
  const cm = new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true });
  await cm.initialize();
  const cert = path.join(cm.rootDir, 'own', 'certs', 'client.pem');
  const uri = 'urn:duzevod:opcua-browse';
  if (!fs.existsSync(cert)) {
    await cm.createSelfSignedCertificate({ applicationUri: uri, subject: '/CN=duzevod-opcua-browse', dns: [],
      startDate: new Date(Date.now() - 86400000), validity: 3650, outputFile: cert });
  }
  return { cm, cert, key: path.join(cm.rootDir, 'own', 'private', 'private_key.pem'), uri };
}

/**
 * @param {any} session
 * @param {string} nodeId
 * @returns {Promise<any[]>}
 */
async function children(session, nodeId) {
  const r = await session.browse({ nodeId, browseDirection: BrowseDirection.Forward, includeSubtypes: true,
    referenceTypeId: 'HierarchicalReferences', resultMask: 63 });
  return r.references || [];
}

/** @param {any} dv */
function show(dv) {
  const v = dv.value;
  let text;
  if (v.dataType === DataType.Null) text = 'null';
  else if (v.dataType === DataType.UInt64 || v.dataType === DataType.Int64) text = String(BigInt(v.value[0]) * 4294967296n + BigInt(v.value[1]));
  else if (v.value instanceof Date) text = v.value.toISOString();
  else text = JSON.stringify(v.value);
  const ts = dv.sourceTimestamp ? dv.sourceTimestamp.toISOString() : '-';
  return `${text}  [${dv.statusCode.name}, ${ts}]`;
}

/**
 * @param {any} session
 * @param {string} nodeId
 * @param {string} indent
 * @param {string[]} out
 */
async function walk(session, nodeId, indent, out) {
  const refs = await children(session, nodeId);
  refs.sort((/** @type {any} */ a, /** @type {any} */ b) => a.browseName.name.localeCompare(b.browseName.name));
  for (const r of refs) {
    const id = r.nodeId.toString();
    if (r.nodeClass === NodeClass.Variable) {
      const dv = await session.read({ nodeId: id, attributeId: AttributeIds.Value });
      out.push(`${indent}${r.browseName.name} = ${show(dv)}`);
    } else {
      out.push(`${indent}${r.browseName.name}/`);
      await walk(session, id, `${indent}  `, out);
    }
  }
}

async function main() {
  const { values: v } = parseArgs({ options: {
    endpoint: { type: 'string' }, pki: { type: 'string' }, user: { type: 'string' }, 'password-file': { type: 'string' },
    security: { type: 'string' }, wait: { type: 'string' }, init: { type: 'boolean' }, help: { type: 'boolean' },
  } });
  if (v.help) {
    process.stdout.write(USAGE);
    return 0;
  }
  if (!v.pki) throw new Error('--pki DIR is missing');
  const c = await certificate(path.resolve(v.pki));
  if (v.init) {
    process.stdout.write(`${c.cert}\n`);
    return 0;
  }
  if (!v.endpoint) throw new Error('--endpoint is missing');
  const security = v.security ?? 'encrypt';
  const mode = { none: MessageSecurityMode.None, sign: MessageSecurityMode.Sign, encrypt: MessageSecurityMode.SignAndEncrypt }[security];
  if (mode === undefined) throw new Error(`--security is none, sign or encrypt, not '${security}'`);
  const client = OPCUAClient.create({ applicationName: 'duzevod-opcua-browse', applicationUri: c.uri,
    clientCertificateManager: c.cm, certificateFile: c.cert, privateKeyFile: c.key, securityMode: mode,
    securityPolicy: mode === MessageSecurityMode.None ? SecurityPolicy.None : SecurityPolicy.Basic256Sha256,
    endpointMustExist: false, connectionStrategy: { maxRetry: 3, initialDelay: 500, maxDelay: 2000 } });
  await client.connect(v.endpoint);
  try {
    const session = await client.createSession(v.user === undefined ? { type: UserTokenType.Anonymous } : {
      type: UserTokenType.UserName, userName: v.user,
      password: v['password-file'] ? fs.readFileSync(v['password-file'], 'utf8').split(/\r?\n/)[0] : '' });
    const until = Date.now() + Number(v.wait ?? 0) * 1000;
    /** @type {string[]} */
    let out = [];
    for (;;) {
      out = [];
      await walk(session, 'ns=1;s=Duzevod', '  ', out);
      if (Date.now() >= until || out.some((l) => /^ {6}Online = true/.test(l))) break;
      await new Promise((r) => setTimeout(r, 1000));
    }
    process.stdout.write(`Objects/Duzevod/ at ${v.endpoint}\n${out.join('\n')}\n`);
    await session.close();
  } finally {
    await client.disconnect();
  }
  return 0;
}

main().then((code) => process.exit(code), (err) => {
  process.stderr.write(`duzevod-opcua-browse: ${err.message}\n`);
  process.exit(1);
});
