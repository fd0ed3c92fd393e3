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
