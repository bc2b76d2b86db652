// Session records as the page reads, checks and writes them. No DOM here, so the rules can be
// tested on their own.

import { asText, isPlainObject, toInt, truthy } from './values.js';
import { FIELDS, defaultPort, fieldsShown } from './sessionSchema.js';

const MAX_BAUD = 2147483647;
const MAX_KEEPALIVE_SEC = 86400;

export function protocolOf(rec) {
  return asText(rec && rec.protocol) || 'ssh';
}

export function isSshV1(rec) {
  return protocolOf(rec) === 'ssh' && asText(rec && rec.ssh_version) === '1';
}

// Title and the dim second line of a session in the list.
export function describeSession(rec) {
  const r = isPlainObject(rec) ? rec : {};
  const protocol = protocolOf(r);
  const host = asText(r.host).trim();
  const portText = asText(r.port).trim() || String(defaultPort(protocol));
  const address = host ? `${host}:${portText}` : '';
  const title = asText(r.name).trim() || address || '（未命名）';
  let detail;
  if (protocol === 'serial') {
    detail = `serial · ${host || '?'} @ ${portText}`;
  } else {
    const label = isSshV1(r) ? 'ssh-1' : protocol;
    detail = `${label} · ${address || '?'}`;
  }
  return { title, detail };
}

// Filter words must each appear in the name, the address or the protocol of the session (as the
// list's second line names it, so "ssh-1" and "serial" find what the list shows).
export function matchesFilter(rec, query) {
  const words = String(query || '').toLowerCase().split(/\s+/).filter(Boolean);
  if (words.length === 0) return true;
  const r = isPlainObject(rec) ? rec : {};
  const protocol = isSshV1(r) ? 'ssh-1' : protocolOf(r);
  const haystack = [asText(r.name), asText(r.host), `${asText(r.host)}:${asText(r.port)}`, protocol]
    .join('\n').toLowerCase();
  return words.every((w) => haystack.includes(w));
}

function listText(value) {
  if (Array.isArray(value)) return value.map(asText).filter(Boolean).join(', ');
  return asText(value);
}

function normalizeForwardType(value) {
  const t = asText(value).trim();
  return t.toUpperCase() === 'L' || t.toUpperCase() === 'R' ? t.toUpperCase() : t;
}

// The editor works on a flat form: text fields as text, switches as booleans, rule lists as rows.
export function formFromRecord(rec) {
  const r = isPlainObject(rec) ? rec : {};
  return {
    name: asText(r.name),
    protocol: protocolOf(r),
    ssh_version: asText(r.ssh_version) === '1' ? '1' : '2',
    host: asText(r.host),
    port: asText(r.port),
    username: asText(r.username),
    password: asText(r.password),
    private_key: asText(r.private_key),
    agent_forwarding: truthy(r.agent_forwarding),
    keepalive_sec: asText(r.keepalive_sec),
    compression: truthy(r.compression),
    ssh_legacy_compat: truthy(r.ssh_legacy_compat),
    ssh_kex: listText(r.ssh_kex),
    ssh_ciphers: listText(r.ssh_ciphers),
    ssh_macs: listText(r.ssh_macs),
    ssh_keys: listText(r.ssh_keys),
    ip_version: asText(r.ip_version),
    port_forwards: Array.isArray(r.port_forwards)
      ? r.port_forwards.filter(isPlainObject).map((f) => ({ type: normalizeForwardType(f.type), spec: asText(f.spec) }))
      : [],
    terminal_type: asText(r.terminal_type),
    term_speed: asText(r.term_speed),
    telnet_env: Array.isArray(r.telnet_env)
      ? r.telnet_env.filter(isPlainObject).map((e) => ({ key: asText(e.key), value: asText(e.value) }))
      : [],
    passive_telnet: truthy(r.passive_telnet),
    rfc_environ: r.rfc_environ === undefined || r.rfc_environ === null ? true : truthy(r.rfc_environ),
    serial_baud: asText(r.serial_baud),
    serial_bits: asText(r.serial_bits) || '8',
    serial_parity: asText(r.serial_parity) || 'N',
    serial_stop: asText(r.serial_stop) || '1',
    serial_flow: asText(r.serial_flow) || 'N',
    line_code_page: asText(r.line_code_page) || 'utf-8',
    lfhascr: truthy(r.lfhascr),
    crhaslf: truthy(r.crhaslf),
    log_file: asText(r.log_file),
    log_mode: asText(r.log_mode) === 'raw' ? 'raw' : 'text',
    log_timestamps: truthy(r.log_timestamps),
  };
}

export function emptyForm(protocol = 'ssh') {
  return formFromRecord({ protocol });
}

const DIGITS = /^\d+$/;
const NO_SPACE = /^\S*$/;
const ALGO_NAME = /^[A-Za-z0-9@._+-]+$/;
const ENCODING_NAME = /^[A-Za-z0-9._:+-]+$/;

function splitList(text) {
  return String(text || '').split(/[\s,]+/).filter(Boolean);
}

function checkTcpPort(text) {
  const t = text.trim();
  if (t === '') return null;
  if (!DIGITS.test(t) || Number(t) < 1 || Number(t) > 65535) return '連接埠必須是 1 到 65535 之間的整數';
  return null;
}

function checkBaud(text, required = false) {
  const t = text.trim();
  if (t === '') return required ? '請填入鮑率' : null;
  if (!DIGITS.test(t) || Number(t) <= 0) return '鮑率必須是大於 0 的整數';
  if (Number(t) > MAX_BAUD) return '鮑率過大';
  return null;
}

export function checkForwardSpec(type, spec) {
  const t = String(type || '').trim().toUpperCase();
  if (t !== 'L' && t !== 'R') return { field: 'type', message: '類型必須是 L（本機）或 R（遠端）' };
  const s = String(spec || '').trim();
  const what = t === 'L' ? '本機埠' : '伺服器埠';
  const parts = s.split(':');
  if (parts.length !== 3) return { field: 'spec', message: `格式為「${what}:目標主機:目標埠」，例如 8080:localhost:80` };
  const [listen, host, target] = parts.map((p) => p.trim());
  if (!DIGITS.test(listen) || Number(listen) < 1 || Number(listen) > 65535) {
    return { field: 'spec', message: `${what}必須是 1 到 65535 之間的整數` };
  }
  if (!host || /\s/.test(host)) return { field: 'spec', message: '請填入目標主機（不可包含空白）' };
  if (!DIGITS.test(target) || Number(target) < 1 || Number(target) > 65535) {
    return { field: 'spec', message: '目標埠必須是 1 到 65535 之間的整數' };
  }
  return null;
}

// Errors keyed by field name; rows of lists as "port_forwards.2.spec" and "telnet_env.0.key".
export function validateForm(form) {
  const errors = {};
  const shown = new Set(fieldsShown(form.protocol, form.ssh_version));
  const protocol = form.protocol;
  const serial = protocol === 'serial';

  if (!form.host.trim()) {
    errors.host = serial ? '請填入序列埠名稱，例如 /dev/ttyUSB0' : '請填入主機名稱或 IP 位址';
  } else if (!serial && /\s/.test(form.host.trim())) {
    errors.host = '主機名稱不可包含空白';
  }

  const portError = serial ? checkBaud(form.port) : checkTcpPort(form.port);
  if (portError) errors.port = portError;

  if (shown.has('serial_baud')) {
    const e = checkBaud(form.serial_baud);
    if (e) errors.serial_baud = e;
  }
  if (shown.has('keepalive_sec')) {
    const t = form.keepalive_sec.trim();
    if (t !== '' && (!DIGITS.test(t) || Number(t) > MAX_KEEPALIVE_SEC)) {
      errors.keepalive_sec = `保持連線間隔必須是 0 到 ${MAX_KEEPALIVE_SEC} 之間的整數（秒）`;
    }
  }
  if (shown.has('password') && form.protocol === 'ssh' && form.ssh_version === '1' && form.password === '') {
    errors.password = 'SSH-1 只能以密碼登入，請填入密碼';
  }
  if (shown.has('terminal_type') && !NO_SPACE.test(form.terminal_type.trim())) {
    errors.terminal_type = '終端機類型不可包含空白';
  }
  if (shown.has('term_speed')) {
    const t = form.term_speed.trim();
    if (t !== '' && !/^\d+,\d+$/.test(t)) errors.term_speed = '格式為「傳送速度,接收速度」，例如 38400,38400';
  }
  if (shown.has('line_code_page')) {
    const t = form.line_code_page.trim();
    if (t !== '' && !ENCODING_NAME.test(t)) errors.line_code_page = '編碼名稱只能包含英文字母、數字與 - _ . :';
  }
  if (shown.has('log_file')) {
    const t = form.log_file.trim();
    if (/[\u0000-\u001f\u007f]/.test(t)) errors.log_file = '記錄檔路徑不可包含控制字元';
    else if (t.endsWith('/')) errors.log_file = '請在資料夾後面加上檔名，例如 ~/logs/&N.log';
  }
  for (const name of ['ssh_kex', 'ssh_ciphers', 'ssh_macs', 'ssh_keys']) {
    if (!shown.has(name)) continue;
    const bad = splitList(form[name]).find((n) => !ALGO_NAME.test(n));
    if (bad !== undefined) errors[name] = `「${bad}」不是有效的演算法名稱；名稱之間以逗號分隔`;
  }
  if (shown.has('port_forwards')) {
    form.port_forwards.forEach((row, i) => {
      if (!row.spec.trim()) return; // an empty row is dropped on save
      const e = checkForwardSpec(row.type, row.spec);
      if (e) errors[`port_forwards.${i}.${e.field}`] = e.message;
    });
  }
  if (shown.has('telnet_env')) {
    form.telnet_env.forEach((row, i) => {
      const key = row.key.trim();
      if (!key && row.value !== '') errors[`telnet_env.${i}.key`] = '請填入變數名稱';
      else if (key && /[\s=]/.test(key)) errors[`telnet_env.${i}.key`] = '變數名稱不可包含空白或「=」';
    });
  }
  return errors;
}

function tidySpec(spec) {
  const parts = spec.split(':');
  return parts.length === 3 ? parts.map((p) => p.trim()).join(':') : spec.trim();
}

// A record the back end can take as it is: numbers as numbers, switches as booleans, lists as
// lists. Fields the form does not show for this protocol keep whatever the original record held,
// so switching a session's protocol back and forth loses nothing.
export function recordFromForm(form, original = null) {
  const rec = isPlainObject(original) ? structuredClone(original) : {};
  const put = (key, value) => {
    if (value === undefined) delete rec[key];
    else rec[key] = value;
  };
  const intOrAbsent = (text) => {
    const n = toInt(text);
    return text.trim() === '' || n === null ? undefined : n;
  };
  for (const name of fieldsShown(form.protocol, form.ssh_version)) {
    const kind = FIELDS[name].kind;
    const value = form[name];
    switch (name) {
      case 'name':
      case 'host':
      case 'private_key':
      case 'terminal_type':
      case 'term_speed':
        put(name, value.trim());
        break;
      case 'line_code_page':
        put(name, value.trim() || 'utf-8');
        break;
      case 'serial_bits': {
        const n = toInt(value);
        put(name, n === null ? value : n);
        break;
      }
      case 'ip_version':
        put(name, value === '' ? undefined : value);
        break;
      // A session that keeps no log carries none of the log fields.
      case 'log_file':
        put(name, value.trim() || undefined);
        break;
      case 'log_mode':
      case 'log_timestamps':
        put(name, form.log_file.trim() ? value : undefined);
        break;
      case 'port_forwards':
        put(name, value
          .filter((row) => row.spec.trim() !== '')
          .map((row) => ({ type: String(row.type).trim().toUpperCase(), spec: tidySpec(row.spec) })));
        break;
      case 'telnet_env':
        put(name, value
          .filter((row) => row.key.trim() !== '')
          .map((row) => ({ key: row.key.trim(), value: row.value })));
        break;
      default:
        if (kind === 'int') put(name, intOrAbsent(value));
        else if (kind === 'bool') put(name, Boolean(value));
        else if (kind === 'algos') {
          const list = splitList(value);
          put(name, list.length ? list : undefined);
        } else put(name, value);
    }
  }
  return rec;
}

// A copy to save as a new session: no id, and a name that tells it apart.
export function duplicateRecord(rec, existing = []) {
  const copy = structuredClone(isPlainObject(rec) ? rec : {});
  delete copy.id;
  const base = describeSession(rec).title;
  const taken = new Set(existing.map((r) => asText(r && r.name)));
  let name = `${base}（副本）`;
  for (let i = 2; taken.has(name); i += 1) name = `${base}（副本 ${i}）`;
  copy.name = name;
  return copy;
}
