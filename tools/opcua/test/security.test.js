'use strict';
// Only trusted applications and known users get in, over signed and encrypted channels unless told.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { OPCUAClient, MessageSecurityMode, SecurityPolicy, UserTokenType } = require('node-opcua');
const { execFileSync } = require('node:child_process');
const { Broker, startTestServer, connectClient, waitFor, tmpDir } = require('./helpers');

describe('security', () => {
  /** @type {Broker} */ let broker;
  /** @type {Awaited<ReturnType<typeof startTestServer>>} */ let srv;

  before(async () => {
    broker = await Broker.start();
    srv = await startTestServer(broker.url);
  });

  after(async () => {
    await srv?.stop();
    await broker?.stop();
  });

  it('offers Basic256Sha256 Sign and SignAndEncrypt only, users with passwords only', async () => {
    const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
    await client.connect(srv.endpoint);
    const endpoints = await client.getEndpoints();
    await client.disconnect();
    const offered = endpoints.map((e) => `${e.securityPolicyUri.split('#')[1]}/${MessageSecurityMode[e.securityMode]}`).sort();
    assert.deepEqual([...new Set(offered)], ['Basic256Sha256/Sign', 'Basic256Sha256/SignAndEncrypt']);
    const tokens = new Set(endpoints.flatMap((e) => e.userIdentityTokens.map((t) => t.tokenType)));
    assert.ok(tokens.has(UserTokenType.UserName));
    assert.ok(!tokens.has(UserTokenType.Anonymous), 'no anonymous sessions');
    assert.ok(fs.existsSync(path.join(srv.dir, 'pki', 'own', 'certs', 'certificate.pem')), 'certificate made at the first start');
  });

  it('lets the trusted client in with the right password, over Sign as well', async () => {
    const ua = await connectClient(srv.endpoint, { mode: MessageSecurityMode.Sign });
    await ua.close();
  });

  it('refuses a wrong password, an unknown user and an anonymous session', async () => {
    await assert.rejects(connectClient(srv.endpoint, { user: 'operator', password: 'guess' }), /BadUserAccessDenied|BadIdentityTokenRejected|BadIdentityTokenInvalid/);
    await assert.rejects(connectClient(srv.endpoint, { user: 'root', password: 's3cret' }), /BadUserAccessDenied|BadIdentityTokenRejected|BadIdentityTokenInvalid/);
    await assert.rejects(connectClient(srv.endpoint, { who: 'trusted' }), /ANONYMOUS|BadIdentityTokenInvalid|BadIdentityTokenRejected/);
  });

  it('refuses a client certificate that is not in its trusted folder, and keeps it in rejected', async () => {
    await assert.rejects(connectClient(srv.endpoint, { who: 'stranger', user: 'operator', password: 's3cret' }));
    const rejected = path.join(srv.dir, 'pki', 'rejected');
    await waitFor(() => fs.readdirSync(rejected).some((f) => f.endsWith('.pem') || f.endsWith('.der')), 'the rejected certificate');
  });

  it('offers an unsecured endpoint and anonymous sessions only when asked', async () => {
    const open = await startTestServer(broker.url, { security: new Set(['none']), allowAnonymous: true, usersFile: undefined });
    try {
      const ua = await connectClient(open.endpoint, { who: 'stranger', mode: MessageSecurityMode.None, policy: SecurityPolicy.None });
      await ua.close();
    } finally {
      await open.stop();
    }
  });
});

describe('the broker login', () => {
  it('logs in with its user and password file, and stays out with a wrong one', async () => {
    const dir = tmpDir();
    const passwords = path.join(dir, 'passwd');
    fs.writeFileSync(passwords, '');
    execFileSync('mosquitto_passwd', ['-b', passwords, 'opcua', 'broker-secret']);
    fs.chmodSync(passwords, 0o600);
    const broker = await Broker.start(passwords);
    const good = await startTestServer(broker.url, { mqttUsername: 'opcua', mqttPassword: 'broker-secret' });
    const bad = await startTestServer(broker.url, { mqttUsername: 'opcua', mqttPassword: 'guess' });
    try {
      await waitFor(() => good.host.connected, 'the login');
      await new Promise((r) => setTimeout(r, 1000));
      assert.equal(bad.host.connected, false);
    } finally {
      await good.stop();
      await bad.stop();
      await broker.stop();
    }
  });
});

/**
 * A certificate authority and a broker certificate for 127.0.0.1 signed by it, made with openssl.
 * @param {string} dir
 */
function brokerCertificates(dir) {
  const f = (/** @type {string} */ n) => path.join(dir, n);
  // The certificate manager leaves OPENSSL_CONF set to "undefined" in this process: not for openssl.
  const env = { ...process.env };
  delete env.OPENSSL_CONF;
  const ssl = (/** @type {string[]} */ args) => execFileSync('openssl', args, { stdio: ['ignore', 'ignore', 'pipe'], env });
  ssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=test broker CA',
    '-keyout', f('ca.key'), '-out', f('ca.pem')]);
  ssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=another CA',
    '-keyout', f('other.key'), '-out', f('other.pem')]);
  ssl(['req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1', '-keyout', f('broker.key'),
    '-out', f('broker.csr')]);
  fs.writeFileSync(f('san.ext'), 'subjectAltName=IP:127.0.0.1\n');
  ssl(['x509', '-req', '-in', f('broker.csr'), '-CA', f('ca.pem'), '-CAkey', f('ca.key'), '-CAcreateserial',
    '-days', '2', '-extfile', f('san.ext'), '-out', f('broker.pem')]);
  return { ca: f('ca.pem'), other: f('other.pem'), cert: f('broker.pem'), key: f('broker.key') };
}

describe('the broker over TLS', () => {
  it('connects trusting the broker\'s authority, and stays out trusting another', async () => {
    const certs = brokerCertificates(tmpDir());
    const broker = await Broker.start(undefined, { ca: certs.ca, cert: certs.cert, key: certs.key });
    const good = await startTestServer(broker.url, { tls: { ca: [fs.readFileSync(certs.ca)] } });
    const bad = await startTestServer(broker.url, { tls: { ca: [fs.readFileSync(certs.other)] } });
    try {
      await waitFor(() => good.host.connected, 'the TLS connection');
      await new Promise((r) => setTimeout(r, 1000));
      assert.equal(bad.host.connected, false, 'a broker whose certificate no trusted authority signed');
    } finally {
      await good.stop();
      await bad.stop();
      await broker.stop();
    }
  });
});
