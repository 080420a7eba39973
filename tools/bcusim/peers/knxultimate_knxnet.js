// knxultimate on bcusim's KNXnet/IP server or router, in a network namespace
// of the check's own: connects, writes 5/0/2 = 1, reads 1/0/2, waits for the
// hall dimmer's answer and a device's write on the bus, and disconnects.
// Prints each step; exits 0 when all were seen, 1 otherwise. MODE:
//   udp           plain tunnelling over UDP (TunnelUDP)
//   tcp-secure    TunnelTCP, which always opens a secure session: user 2 and
//                 its password given directly
//   tcp-keyring   the same with bcusim's keyring (DIR/bcusim.knxkeys)
//   routing       routing on the multicast group ADDRESS:PORT (Multicast)
//   routing-secure  the same in KNX IP Secure routing, the backbone key from
//                 bcusim's keyring (DIR/bcusim.knxkeys)
// (Its description request names port 3671 in the HPAI whatever its
// socket's port, so the answer would miss it: not asked for.)
// usage: node knxultimate_knxnet.js NODE_MODULES MODE ADDRESS PORT [LOCAL [DIR]]
'use strict';

const path = require('path');
const [modules, mode, address, port, local = address, dir] = process.argv.slice(2);
const { KNXClient, KNXClientEvents } = require(path.join(modules, 'knxultimate'));

const options = {
    ipAddr: address,
    ipPort: Number(port),
    localIPAddress: local,
    physAddr: '1.1.202',
    loglevel: process.env.LOG_LEVEL || 'error',
};
// Demo credentials bcusim writes with --knxnet-secure: not secrets.
const tunnel = { tunnelInterfaceIndividualAddress: '1.1.241' };
if (mode === 'udp') {
    options.hostProtocol = 'TunnelUDP';
} else if (mode === 'tcp-secure') {
    options.hostProtocol = 'TunnelTCP';
    options.isSecureKNXEnabled = true;
    options.secureTunnelConfig = { ...tunnel, tunnelUserId: 2, tunnelUserPassword: 'bcusim tunnel' };
} else if (mode === 'tcp-keyring') {
    options.hostProtocol = 'TunnelTCP';
    options.isSecureKNXEnabled = true;
    options.secureTunnelConfig = {
        ...tunnel,
        knxkeys_file_path: path.join(dir, 'bcusim.knxkeys'),
        knxkeys_password: 'bcusim keyring',
    };
} else if (mode === 'routing') {
    options.hostProtocol = 'Multicast';
} else if (mode === 'routing-secure') {
    options.hostProtocol = 'Multicast';
    options.isSecureKNXEnabled = true;
    options.secureTunnelConfig = {
        knxkeys_file_path: path.join(dir, 'bcusim.knxkeys'),
        knxkeys_password: 'bcusim keyring',
    };
} else {
    console.log(`FAILED: unknown mode ${mode}`);
    process.exit(2);
}
const client = new KNXClient(options);

const seen = { answer: false, write: false };
let done = false;
function finish(status, why) {
    if (done) return;
    done = true;
    console.log(why);
    client.Disconnect().finally(() => {
        console.log('disconnected');
        process.exit(status);
    });
    setTimeout(() => process.exit(status), 5000).unref();
}
function check() {
    if (seen.answer && seen.write) finish(0, 'passed');
}

// In secure routing knxultimate takes its own TIMER_NOTIFY, looped back, as
// the group's timer and seals its first telegram with its own timer, which
// the router drops as old (its answer with the group's timer comes a moment
// later): there it begins once a telegram from the bus has come through.
const waitForBus = mode === 'routing-secure';
let begun = false;
function begin() {
    if (begun) return;
    begun = true;
    client.write('5/0/2', true, '1.001');
    console.log('wrote 5/0/2 = 1');
    client.read('1/0/2');
    console.log('read 1/0/2');
}

client.on(KNXClientEvents.error, (err) => console.log(`error: ${err.message}`));
// Not the options it passes: they hold the password.
client.on(KNXClientEvents.connected, () => {
    console.log(`connected to ${address}:${port} (${mode})`);
    if (!waitForBus) begin();
});
client.on(KNXClientEvents.indication, (packet, echoed) => {
    const cemi = packet.cEMIMessage;
    const from = cemi.srcAddress.toString();
    const to = cemi.dstAddress.toString();
    const value = cemi.npdu.dataValue ? cemi.npdu.dataValue.toString('hex') : '';
    const kind = cemi.npdu.isGroupResponse ? 'response' : cemi.npdu.isGroupWrite ? 'write' : 'read';
    // Its own requests come back marked echoed; L_Data.con is not an event.
    console.log(`indication: ${echoed ? 'echoed ' : ''}${kind} from ${from} to ${to}: ${value}`);
    if (kind === 'response' && from === '1.1.20' && to === '1/0/2') seen.answer = true;
    if (kind === 'write' && from === '1.1.30' && to === '1/0/3') seen.write = true;
    if (!echoed) begin();
    check();
});
setTimeout(() => finish(1, `FAILED: not seen after 60 s: ${JSON.stringify(seen)}`), 60000).unref();
client.Connect();
