import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  describeSession, duplicateRecord, formFromRecord, matchesFilter, recordFromForm, validateForm,
} from '../src/sessionModel.js';
import { emptyForm } from '../src/sessionModel.js';

const formWith = (fields) => ({ ...emptyForm(fields.protocol || 'ssh'), ...fields });

test('editing a stored record keeps what the form does not show, in the stored order', () => {
  const stored = {
    id: 'a'.repeat(32), name: 'box', protocol: 'serial', host: ' COM3 ', port: '115200',
    serial_bits: '7', imported_from: 'putty', ssh_kex: ['diffie-hellman-group1-sha1'], lfhascr: 1,
  };
  const form = formFromRecord(stored);
  form.name = 'box 2';
  const rec = recordFromForm(form, stored);
  assert.deepEqual(Object.keys(rec).slice(0, 6), ['id', 'name', 'protocol', 'host', 'port', 'serial_bits']);
  assert.equal(rec.imported_from, 'putty');
  assert.deepEqual(rec.ssh_kex, ['diffie-hellman-group1-sha1'], 'an SSH field survives a serial edit');
  assert.equal(rec.host, 'COM3');
  assert.equal(rec.port, 115200);
  assert.equal(rec.serial_bits, 7);
  assert.equal(rec.lfhascr, true);
  assert.equal(stored.name, 'box', 'the stored record itself is not touched');
});

test('a new SSH record carries typed values and no id', () => {
  const form = formWith({
    name: ' 路由器 ', host: 'r1', port: '2222', keepalive_sec: '', ssh_ciphers: 'aes128-ctr,  aes256-cbc ',
    ssh_macs: '', port_forwards: [{ type: 'l', spec: ' 8080 : localhost : 80 ' }, { type: 'R', spec: '  ' }],
    ip_version: '',
  });
  const rec = recordFromForm(form);
  assert.equal(rec.id, undefined);
  assert.equal(rec.name, '路由器');
  assert.equal(rec.port, 2222);
  assert.equal('keepalive_sec' in rec, false, 'an empty number is left to the default');
  assert.deepEqual(rec.ssh_ciphers, ['aes128-ctr', 'aes256-cbc']);
  assert.equal('ssh_macs' in rec, false);
  assert.equal('ip_version' in rec, false);
  assert.deepEqual(rec.port_forwards, [{ type: 'L', spec: '8080:localhost:80' }], 'empty rules are dropped');
  assert.equal(rec.line_code_page, 'utf-8');
  assert.equal(rec.ssh_version, '2');
});

test('values stored by hand are read with the back end\'s rules', () => {
  const form = formFromRecord({ protocol: 'ssh', ssh_version: 1, port: 22, rfc_environ: null, telnet_env: [{ key: 'A', value: 5 }, 'junk'] });
  assert.equal(form.ssh_version, '1');
  assert.equal(form.port, '22');
  assert.equal(form.rfc_environ, true, 'missing rfc_environ means on');
  assert.deepEqual(form.telnet_env, [{ key: 'A', value: '5' }]);
  assert.equal(formFromRecord({ rfc_environ: 0 }).rfc_environ, false);
  assert.equal(formFromRecord({}).protocol, 'ssh');
});

test('validation: TCP ports, baud rates, forwards, SSH-1 password, environment names', () => {
  const errorsOf = (fields) => validateForm(formWith({ host: 'h', ...fields }));
  for (const port of ['', '1', '22', '65535']) assert.equal(errorsOf({ port }).port, undefined, port);
  for (const port of ['0', '65536', '22a', '-1', '2.5']) assert.match(errorsOf({ port }).port, /1 到 65535/, port);
  assert.match(errorsOf({ host: '' }).host, /主機/);
  assert.match(errorsOf({ host: 'a b' }).host, /空白/);

  const serial = (port) => validateForm(formWith({ protocol: 'serial', host: '/dev/ttyUSB0', port })).port;
  assert.equal(serial('74880'), undefined);
  assert.equal(serial(''), undefined);
  assert.match(serial('0'), /大於 0/);
  assert.match(serial('3000000000'), /過大/);
  assert.match(validateForm(formWith({ protocol: 'serial', host: ' ' })).host, /序列埠/);
  assert.match(validateForm(formWith({ protocol: 'telnet-serial', host: 'ts', serial_baud: '0' })).serial_baud, /大於 0/);

  const fwd = (type, spec) => errorsOf({ port_forwards: [{ type, spec }] });
  assert.deepEqual(fwd('L', '8080:db:5432'), {});
  assert.deepEqual(fwd('L', ''), {}, 'an empty row is dropped, not refused');
  assert.match(fwd('L', '8080:db')['port_forwards.0.spec'], /格式/);
  assert.match(fwd('R', '0:db:80')['port_forwards.0.spec'], /伺服器埠/);
  assert.match(fwd('L', '80:db:99999')['port_forwards.0.spec'], /目標埠/);
  assert.match(fwd('X', '80:db:80')['port_forwards.0.type'], /L/);

  assert.match(errorsOf({ ssh_version: '1', password: '' }).password, /密碼/);
  assert.equal(errorsOf({ ssh_version: '2', password: '' }).password, undefined);
  assert.match(errorsOf({ ssh_kex: 'good-one, bad;name' }).ssh_kex, /bad;name/);
  assert.match(errorsOf({ keepalive_sec: '-5' }).keepalive_sec, /0 到/);

  const env = (key, value) => validateForm(formWith({ protocol: 'telnet', host: 'h', telnet_env: [{ key, value }] }));
  assert.deepEqual(env('', ''), {});
  assert.match(env('', 'x')['telnet_env.0.key'], /名稱/);
  assert.match(env('A=B', 'x')['telnet_env.0.key'], /=/);
});

test('fields of other protocols are not checked', () => {
  // A bad keep-alive left over from SSH does not block saving the session as serial.
  const form = formWith({ protocol: 'serial', host: 'COM3', keepalive_sec: 'abc', port_forwards: [{ type: 'L', spec: 'x' }] });
  assert.deepEqual(validateForm(form), {});
});

test('list lines and filtering', () => {
  assert.deepEqual(describeSession({ protocol: 'serial', host: 'COM3', port: 115200 }), { title: 'COM3:115200', detail: 'serial · COM3 @ 115200' });
  assert.deepEqual(describeSession({ name: 'r', host: 'h' }), { title: 'r', detail: 'ssh · h:22' });
  assert.equal(describeSession({ protocol: 'ssh', ssh_version: '1', host: 'old' }).detail, 'ssh-1 · old:22');
  assert.equal(describeSession({}).title, '（未命名）');
  const rec = { name: '辦公室 Router', host: '10.0.0.1', port: 2222 };
  assert.ok(matchesFilter(rec, 'router'));
  assert.ok(matchesFilter(rec, '辦公室 10.0'));
  assert.ok(matchesFilter(rec, '10.0.0.1:2222'));
  assert.ok(!matchesFilter(rec, 'router 192'));
});

test('a duplicate gets no id and a name not yet taken', () => {
  const rec = { id: 'x', name: 'a', host: 'h', port_forwards: [{ type: 'L', spec: '1:h:2' }] };
  const copy = duplicateRecord(rec, [rec, { name: 'a（副本）' }]);
  assert.equal(copy.id, undefined);
  assert.equal(copy.name, 'a（副本 2）');
  copy.port_forwards[0].spec = 'changed';
  assert.equal(rec.port_forwards[0].spec, '1:h:2', 'deep copy');
});

test('log fields: kept only while a log file is named, mode and stamps read with the back end\'s rules', () => {
  const stored = { id: 'b'.repeat(32), protocol: 'serial', host: 'COM3', log_file: '~/l/&N.log', log_mode: 'raw', log_timestamps: 1 };
  const form = formFromRecord(stored);
  assert.equal(form.log_mode, 'raw');
  assert.equal(form.log_timestamps, true);
  const kept = recordFromForm(form, stored);
  assert.deepEqual([kept.log_file, kept.log_mode, kept.log_timestamps], ['~/l/&N.log', 'raw', true]);
  assert.equal(formFromRecord({ log_mode: 'RAW' }).log_mode, 'text', 'the back end logs raw only for "raw"');
  const cleared = recordFromForm({ ...form, log_file: '  ' }, stored);
  for (const key of ['log_file', 'log_mode', 'log_timestamps']) assert.equal(key in cleared, false, key);
  const errorsOf = (log_file) => validateForm(formWith({ host: 'h', log_file })).log_file;
  assert.equal(errorsOf('~/logs/&H-&Y&M&D.log'), undefined);
  assert.match(errorsOf('~/logs/'), /檔名/);
  assert.match(errorsOf('a\tb.log'), /控制字元/);
});
