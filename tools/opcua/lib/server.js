'use strict';
// The OPC UA server with its security, the address space and the Sparkplug host behind it.
const fs = require('node:fs');
const path = require('node:path');
const {
  OPCUAServer, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, RegisterServerMethod,
} = require('node-opcua');
const { AddressSpaceView } = require('./address_space');
const { SparkplugHost } = require('./host');
const { loadUsers, checkPassword } = require('./users');
const log = require('./log');

const VERSION = require('../package.json').version;

/**
 * @typedef {object} Running
 * @property {any} server  the OPCUAServer
 * @property {SparkplugHost} host
 * @property {AddressSpaceView} view
 * @property {string} endpointUrl
 * @property {() => Promise<void>} stop
 */

/**
 * Starts the server; rejects with a message a person can act on (bad users file, port in use, PKI
 * folder not writable). An unreachable broker is not an error: the host keeps trying and says so.
 * @param {import('./cli').Config} config
 * @param {{writeTimeoutMs?: number, rebirthRetryMs?: number, reconnectMs?: number}} [tuning]  for tests
 * @returns {Promise<Running>}
 */
async function startServer(config, tuning = {}) {
  const users = config.usersFile === undefined ? new Map() : loadUsers(config.usersFile);
  try {
    fs.mkdirSync(config.pki, { recursive: true });
    fs.accessSync(config.pki, fs.constants.W_OK);
  } catch (err) {
    throw new Error(`--pki ${config.pki}: ${/** @type {Error} */ (err).message}`);
  }
  // Unknown client certificates are refused and kept in rejected/ for the administrator to move.
  const serverCertificateManager = new OPCUACertificateManager({
    rootFolder: config.pki, automaticallyAcceptUnknownCertificate: false, name: 'pki',
  });
  const userCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(config.pki, 'user'), automaticallyAcceptUnknownCertificate: false, name: 'pki',
  });
  await serverCertificateManager.initialize();
  await userCertificateManager.initialize();

  const policies = [];
  const modes = [];
  if (config.security.has('none')) {
    policies.push(SecurityPolicy.None);
    modes.push(MessageSecurityMode.None);
  }
  if (config.security.has('sign') || config.security.has('encrypt')) policies.push(SecurityPolicy.Basic256Sha256);
  if (config.security.has('sign')) modes.push(MessageSecurityMode.Sign);
  if (config.security.has('encrypt')) modes.push(MessageSecurityMode.SignAndEncrypt);

  const server = new OPCUAServer({
    port: config.port,
    securityPolicies: policies,
    securityModes: modes,
    allowAnonymous: config.allowAnonymous,
    serverCertificateManager,
    userCertificateManager,
    registerServerMethod: RegisterServerMethod.HIDDEN,
    userManager: {
      isValidUserAsync: (/** @type {string} */ name, /** @type {string} */ password, /** @type {Function} */ done) => {
        checkPassword(users, name, password).then((ok) => {
          if (!ok) log.warn(`login:${name}`, `refused a login as '${name}'`);
          done(null, ok);
        }, (err) => done(err, false));
      },
    },
    buildInfo: { productName: 'duzevod-opcua', softwareVersion: VERSION, manufacturerName: 'duzevod' },
    serverInfo: { applicationName: { text: 'duzevod-opcua' }, applicationUri: 'urn:duzevod:opcua', productUri: 'urn:duzevod:opcua' },
  });
  try {
    await server.initialize();
  } catch (err) {
    throw new Error(`cannot set up the server (certificate store ${config.pki}): ${/** @type {Error} */ (err).message}`);
  }

  // The view and the host refer to each other: writes go from the one to the other.
  /** @type {{host?: SparkplugHost}} */
  const link = {};
  const view = new AddressSpaceView(server.engine.addressSpace, {
    allowWrites: config.allowWrites,
    write: (edge, device, name, value) => (link.host ? link.host.write(edge, device, name, value) : Promise.resolve('NoCommunication')),
  });
  try {
    await server.start();
  } catch (err) {
    const e = /** @type {NodeJS.ErrnoException} */ (err);
    await server.shutdown(0).catch(() => undefined);
    if (e.code === 'EADDRINUSE' || /EADDRINUSE/.test(String(e.message))) {
      throw new Error(`OPC UA port ${config.port} is in use by another program`);
    }
    throw new Error(`cannot listen on OPC UA port ${config.port}: ${e.message}`);
  }
  const host = new SparkplugHost({
    url: config.brokerUrl, group: config.group, hostId: config.hostId, username: config.mqttUsername,
    password: config.mqttPassword, tls: config.tls, view, ...tuning,
  });
  link.host = host;
  host.start();
  const endpointUrl = server.getEndpointUrl();
  log.info(`serving group ${config.group} at ${endpointUrl} (${[...config.security].join(', ')}; ` +
    `${config.allowAnonymous ? 'anonymous allowed' : 'users only'}; writes ${config.allowWrites ? 'allowed' : 'off'}; ` +
    `certificate store ${config.pki})`);
  return {
    server, host, view, endpointUrl,
    stop: async () => {
      await host.stop();
      await server.shutdown(0);
    },
  };
}

module.exports = { startServer, VERSION };
