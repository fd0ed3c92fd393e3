'use strict';
// The command line: options to a checked configuration, or a clear error.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const USAGE = `Usage: duzevod-opcua --broker HOST[:PORT] --group GROUP_ID [--host-id ID] [--port 4840]
                     [--mqtt-username NAME --mqtt-password-file FILE]
                     [--tls-ca FILE ... [--tls-cert FILE --tls-key FILE]]
                     [--users FILE] [--allow-anonymous] [--security none,sign,encrypt]
                     [--allow-writes] [--pki DIR]
       duzevod-opcua --hash-password NAME < password
       duzevod-opcua --help | --version

An OPC UA server that shows every edge node and device of a Sparkplug B group (the duzevod gateways'
duzevod-mqtt --sparkplug GROUP_ID) as variables under Objects/Duzevod/<edge node>/<device>/<metric>.

  --broker HOST[:PORT]       the MQTT broker (port 1883, or 8883 with --tls-ca)
  --group GROUP_ID           the Sparkplug group to show
  --host-id ID               be the group's primary host: publish spBv1.0/STATE/ID
  --port N                   the OPC UA port (default 4840)
  --mqtt-username NAME       log in to the broker as NAME
  --mqtt-password-file FILE  with the password in FILE (its first line)
  --tls-ca FILE              connect to the broker with TLS, trusting these CA certificates (repeatable)
  --tls-cert FILE, --tls-key FILE
                             a client certificate for the broker
  --users FILE               the users who may log in, one "NAME:scrypt:N:r:p:SALT:HASH" a line
  --hash-password NAME       read a password on standard input and print its line for --users
  --allow-anonymous          let clients in without a user name
  --security LIST            endpoints: none, sign, encrypt (Basic256Sha256); default sign,encrypt
  --allow-writes             let clients write the metrics the gateways mark writable
  --pki DIR                  the server's certificate store (default: $STATE_DIRECTORY/pki or
                             ~/.local/state/duzevod-opcua/pki); a client's certificate is trusted
                             once it is in DIR/trusted/certs, refused ones land in DIR/rejected
  --version                  the version
  --help                     this text
`;

/**
 * @typedef {object} Config
 * @property {string} brokerUrl
 * @property {string} group
 * @property {string | undefined} hostId
 * @property {number} port
 * @property {string | undefined} mqttUsername
 * @property {string | undefined} mqttPassword
 * @property {{ca: Buffer[], cert?: Buffer, key?: Buffer} | undefined} tls
 * @property {string | undefined} usersFile
 * @property {boolean} allowAnonymous
 * @property {Set<'none' | 'sign' | 'encrypt'>} security
 * @property {boolean} allowWrites
 * @property {string} pki
 */

class UsageError extends Error {}

/**
 * @param {string} file
 * @param {string} option
 */
function readFile(file, option) {
  try {
    return fs.readFileSync(file);
  } catch (err) {
    throw new UsageError(`${option} ${file}: ${/** @type {NodeJS.ErrnoException} */ (err).code === 'ENOENT' ? 'no such file' : /** @type {Error} */ (err).message}`);
  }
}

/** @param {string} what @param {string} v */
function sparkplugId(what, v) {
  if (!v || /[/+#]/.test(v)) throw new UsageError(`${what} must be non-empty without '/', '+' or '#', not '${v}'`);
  return v;
}

/**
 * @param {string[]} argv
 * @returns {{action: 'help' | 'version'} | {action: 'hash', name: string} | {action: 'run', config: Config}}
 */
function parseCommandLine(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      strict: true,
      allowPositionals: false,
      options: {
        broker: { type: 'string' }, group: { type: 'string' }, 'host-id': { type: 'string' },
        port: { type: 'string' }, 'mqtt-username': { type: 'string' }, 'mqtt-password-file': { type: 'string' },
        'tls-ca': { type: 'string', multiple: true }, 'tls-cert': { type: 'string' }, 'tls-key': { type: 'string' },
        users: { type: 'string' }, 'allow-anonymous': { type: 'boolean' }, security: { type: 'string' },
        'allow-writes': { type: 'boolean' }, pki: { type: 'string' }, 'hash-password': { type: 'string' },
        help: { type: 'boolean', short: 'h' }, version: { type: 'boolean' },
      },
    });
  } catch (err) {
    throw new UsageError(/** @type {Error} */ (err).message.replace(/\. To specify.*$/s, ''));
  }
  const v = parsed.values;
  if (v.help) return { action: 'help' };
  if (v.version) return { action: 'version' };
  if (v['hash-password'] !== undefined) return { action: 'hash', name: v['hash-password'] };
  if (!v.broker) throw new UsageError('--broker HOST[:PORT] is missing');
  if (!v.group) throw new UsageError('--group GROUP_ID is missing');
  const group = sparkplugId('--group', v.group);
  const hostId = v['host-id'] === undefined ? undefined : sparkplugId('--host-id', v['host-id']);

  const port = Number(v.port ?? 4840);
  if (!Number.isInteger(port) || port < 1 || port > 65535) throw new UsageError(`--port is 1 to 65535, not '${v.port}'`);

  const cas = v['tls-ca'] || [];
  if ((v['tls-cert'] === undefined) !== (v['tls-key'] === undefined)) throw new UsageError('--tls-cert and --tls-key go together');
  if (v['tls-cert'] !== undefined && !cas.length) throw new UsageError('--tls-cert and --tls-key need --tls-ca');
  const tls = cas.length ? {
    ca: cas.map((f) => readFile(f, '--tls-ca')),
    cert: v['tls-cert'] === undefined ? undefined : readFile(v['tls-cert'], '--tls-cert'),
    key: v['tls-key'] === undefined ? undefined : readFile(v['tls-key'], '--tls-key'),
  } : undefined;

  const m = /^(?:\[([^\]]+)\]|([^:[\]]+))(?::(\d+))?$/.exec(v.broker);
  const brokerPort = m && m[3] !== undefined ? Number(m[3]) : tls ? 8883 : 1883;
  if (!m || brokerPort < 1 || brokerPort > 65535) {
    throw new UsageError(`--broker wants HOST or HOST:PORT (port 1 to 65535), not '${v.broker}'`);
  }
  const host = m[1] !== undefined ? `[${m[1]}]` : m[2];
  const brokerUrl = `${tls ? 'mqtts' : 'mqtt'}://${host}:${brokerPort}`;

  if (v['mqtt-password-file'] !== undefined && v['mqtt-username'] === undefined) {
    throw new UsageError('--mqtt-password-file needs --mqtt-username');
  }
  const mqttPassword = v['mqtt-password-file'] === undefined ? undefined
    : readFile(v['mqtt-password-file'], '--mqtt-password-file').toString('utf8').split(/\r?\n/)[0];

  /** @type {Set<'none' | 'sign' | 'encrypt'>} */
  const security = new Set();
  for (const s of (v.security ?? 'sign,encrypt').split(',').map((x) => x.trim())) {
    if (s !== 'none' && s !== 'sign' && s !== 'encrypt') {
      throw new UsageError(`--security is a list of none, sign and encrypt, not '${v.security}'`);
    }
    security.add(s);
  }
  const allowAnonymous = Boolean(v['allow-anonymous']);
  if (v.users === undefined && !allowAnonymous) {
    throw new UsageError('nobody could log in: give --users FILE, or --allow-anonymous');
  }
  const stateDir = process.env.STATE_DIRECTORY
    || path.join(process.env.XDG_STATE_HOME || path.join(os.homedir(), '.local', 'state'), 'duzevod-opcua');
  return {
    action: 'run',
    config: {
      brokerUrl, group, hostId, port, mqttUsername: v['mqtt-username'], mqttPassword, tls,
      usersFile: v.users, allowAnonymous, security, allowWrites: Boolean(v['allow-writes']),
      pki: path.resolve(v.pki ?? path.join(stateDir.split(':')[0], 'pki')),
    },
  };
}

module.exports = { parseCommandLine, UsageError, USAGE };
