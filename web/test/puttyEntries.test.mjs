import { test } from 'node:test';
import assert from 'node:assert/strict';
import { describePuttyEntry, usableEntries } from '../src/puttyEntries.js';

test('an import row shows the host or serial line, the protocol and the port PuTTY kept', () => {
  assert.deepEqual(
    describePuttyEntry({ name: 'a/b', HostName: '10.0.0.1', Protocol: 'SSH', PortNumber: 2222 }),
    { name: 'a/b', host: '10.0.0.1', protocol: 'ssh', port: '2222' });
  assert.deepEqual(
    describePuttyEntry({ name: 'board', HostName: '', SerialLine: 'COM3', Protocol: 'serial',
      PortNumber: 22, SerialSpeed: 115200 }),
    { name: 'board', host: 'COM3', protocol: 'serial', port: '115200' });
  assert.deepEqual(describePuttyEntry({ name: 'Default Settings' }),
    { name: 'Default Settings', host: '', protocol: 'ssh', port: '' });
  assert.deepEqual(describePuttyEntry({ name: 7, HostName: ['x'], PortNumber: 'abc' }),
    { name: '7', host: '', protocol: 'ssh', port: 'abc' });
  assert.deepEqual(usableEntries([{ name: 'x' }, null, 'y', [1]]), [{ name: 'x' }]);
  assert.deepEqual(usableEntries({ name: 'x' }), []);
});
