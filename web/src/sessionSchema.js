// What the session editor shows for each protocol: sections, fields, labels and hints. Pure data,
// shared by the editor (rendering) and the session model (validation, building the record).

export const PROTOCOLS = [
  { value: 'ssh', label: 'SSH' },
  { value: 'telnet', label: 'Telnet' },
  { value: 'raw', label: 'Raw TCP' },
  { value: 'serial', label: '序列埠' },
  { value: 'telnet-serial', label: 'Telnet 序列伺服器（RFC 2217）' },
];

export const COMMON_BAUD_RATES = ['9600', '19200', '38400', '57600', '74880', '115200', '230400', '460800', '921600'];

const PARITY = [
  ['N', '無（N）'],
  ['E', '偶同位（E）'],
  ['O', '奇同位（O）'],
  ['M', '標記（M）'],
  ['S', '空白（S）'],
];
const STOP_BITS = [['1', '1'], ['1.5', '1.5'], ['2', '2']];
const FLOW = [
  ['N', '無'],
  ['X', '軟體（XON/XOFF）'],
  ['R', '硬體（RTS/CTS）'],
  ['D', '硬體（DSR/DTR）'],
];
const DATA_BITS = [['5', '5'], ['6', '6'], ['7', '7'], ['8', '8']];

// Field definitions; a layout entry may override label, hint and placeholder per protocol.
export const FIELDS = {
  name: {
    kind: 'text', label: '名稱', placeholder: '例如 辦公室路由器',
    hint: '顯示在清單與分頁上；留空時以「主機:連接埠」顯示',
  },
  protocol: { kind: 'select', label: '協定', options: PROTOCOLS.map((p) => [p.value, p.label]) },
  ssh_version: {
    kind: 'select', label: 'SSH 版本', options: [['2', 'SSH-2'], ['1', 'SSH-1（舊型設備）']],
    hint: 'SSH-1 只支援密碼登入，僅用於無法升級的舊設備',
  },
  host: { kind: 'text', label: '主機', placeholder: '例如 192.168.1.1 或 router.example.com' },
  port: { kind: 'int', label: '連接埠' },
  username: { kind: 'text', label: '使用者名稱', placeholder: '例如 admin' },
  password: {
    kind: 'password', label: '密碼',
    hint: '密碼以明文存放在連線設定檔中；留空則改用金鑰或 SSH 代理程式',
  },
  private_key: {
    kind: 'keyfile', label: '私鑰檔', placeholder: '例如 /home/me/.ssh/id_ed25519',
    hint: 'OpenSSH 或 PuTTY（.ppk）格式',
  },
  agent_forwarding: { kind: 'bool', label: '使用 SSH 代理程式（agent）', hint: '向本機執行中的 SSH agent 取得金鑰' },
  keepalive_sec: {
    kind: 'int', label: '保持連線間隔（秒）', placeholder: '30',
    hint: '定時送出 keep-alive，避免閒置連線被防火牆切斷',
  },
  compression: { kind: 'bool', label: '壓縮', hint: '在慢速線路上減少傳輸量' },
  ssh_legacy_compat: {
    kind: 'bool', label: '舊版相容模式',
    hint: '優先使用舊設備常見的 CBC 加密與 SHA-1、MD5 系列演算法',
  },
  ssh_kex: {
    kind: 'algos', label: '金鑰交換演算法（kex）', placeholder: '留空使用預設值',
    hint: '以逗號分隔，依偏好排序，例如 diffie-hellman-group14-sha1',
  },
  ssh_ciphers: {
    kind: 'algos', label: '加密演算法（ciphers）', placeholder: '留空使用預設值',
    hint: '例如 aes128-ctr, aes256-cbc',
  },
  ssh_macs: {
    kind: 'algos', label: 'MAC 演算法（macs）', placeholder: '留空使用預設值',
    hint: '例如 hmac-sha2-256, hmac-sha1',
  },
  ssh_keys: {
    kind: 'algos', label: '主機金鑰類型（keys）', placeholder: '留空使用預設值',
    hint: '例如 ssh-ed25519, rsa-sha2-256, ssh-rsa',
  },
  ip_version: {
    kind: 'select', label: 'IP 版本',
    options: [['', '（未指定）'], ['auto', '自動'], ['ipv4', 'IPv4'], ['ipv6', 'IPv6']],
    hint: '只保存在設定中，目前連線時不使用',
  },
  port_forwards: {
    kind: 'forwards', label: '轉送規則',
    hint: 'L：本機埠:目標主機:目標埠（在本機 127.0.0.1 監聽）；R：伺服器埠:目標主機:目標埠（在伺服器上監聽）',
  },
  terminal_type: { kind: 'text', label: '終端機類型', hint: '告知伺服器的 TERM 值' },
  term_speed: {
    kind: 'text', label: '終端機速度', placeholder: '38400,38400',
    hint: '格式為「傳送速度,接收速度」',
  },
  telnet_env: {
    kind: 'env', label: '環境變數',
    hint: '登入時透過 Telnet 傳給伺服器，例如 LANG = zh_TW.UTF-8',
  },
  passive_telnet: { kind: 'bool', label: '被動模式（passive）', hint: '連線後等待伺服器先開始選項協商' },
  rfc_environ: {
    kind: 'bool', label: '使用 RFC 標準的環境變數格式',
    hint: '部分舊設備需要關閉此項才能收到環境變數',
  },
  serial_baud: { kind: 'int', label: '鮑率', placeholder: '9600', hint: '終端伺服器上序列埠的速度', datalist: COMMON_BAUD_RATES },
  serial_bits: { kind: 'select', label: '資料位元', options: DATA_BITS },
  serial_parity: { kind: 'select', label: '同位檢查', options: PARITY },
  serial_stop: { kind: 'select', label: '停止位元', options: STOP_BITS },
  serial_flow: { kind: 'select', label: '流量控制', options: FLOW },
  line_code_page: {
    kind: 'encoding', label: '字元編碼', placeholder: 'utf-8',
    hint: '例如 utf-8、big5、gbk；也可在分頁工具列上臨時切換',
  },
  lfhascr: { kind: 'bool', label: '收到 LF 時補 CR', hint: 'lfhascr：收到 LF 時自動補 CR' },
  crhaslf: { kind: 'bool', label: '收到 CR 時補 LF', hint: 'crhaslf：收到 CR 時自動補 LF' },
  log_file: {
    kind: 'text', label: '記錄檔', placeholder: '例如 ~/logs/&N-&Y&M&D.log',
    hint: '留空則不記錄。&H 主機、&P 連接埠、&N 連線名稱、&Y &M &D 日期、&T 時間；檔名含日期時每天午夜換新檔；相對路徑從家目錄算起',
  },
  log_mode: {
    kind: 'select', label: '記錄格式', options: [['text', '純文字（去除控制碼）'], ['raw', '原始位元組']],
    hint: '純文字方便閱讀與搜尋；原始位元組保留收到的一切，可供重播或除錯',
  },
  log_timestamps: {
    kind: 'bool', label: '每行加上時間戳記',
    hint: '純文字記錄的每一行以收到的時間開頭，精確到毫秒，例如 [2026-12-08 14:03:07.123]',
  },
};

export const SECTION_TITLES = {
  connection: '連線',
  auth: '驗證',
  terminal: '終端機',
  forwards: '連接埠轉送',
  advanced: '進階',
  logging: '工作階段記錄',
};

// Sections that start folded until the user opens them.
export const FOLDED_BY_DEFAULT = new Set(['forwards', 'advanced']);

const EOL = ['line_code_page', 'lfhascr', 'crhaslf'];
const SERIAL_LINE = ['serial_bits', 'serial_parity', 'serial_stop', 'serial_flow'];
const LOGGING = ['log_file', 'log_mode', 'log_timestamps'];

// For a serial session the port field holds the baud rate.
export function defaultPort(protocol) {
  if (protocol === 'serial') return 9600;
  if (protocol === 'telnet' || protocol === 'raw' || protocol === 'telnet-serial') return 23;
  return 22;
}

export function defaultTerminalType(protocol, sshVersion) {
  return protocol === 'ssh' && String(sshVersion) !== '1' ? 'xterm-256color' : 'xterm';
}

// Sections of the editor for a protocol: [{ key, title, fields: [{ name, ...definition }] }].
export function layoutFor(protocol, sshVersion) {
  const v1 = String(sshVersion) === '1';
  const portPlaceholder = String(defaultPort(protocol));
  const term = { name: 'terminal_type', placeholder: defaultTerminalType(protocol, sshVersion) };
  let sections;
  switch (protocol) {
    case 'serial':
      sections = [
        ['connection', [
          { name: 'host', label: '序列埠', placeholder: '/dev/ttyUSB0', hint: '例如 /dev/ttyUSB0、/dev/ttyACM0（Windows：COM3）' },
          { name: 'port', label: '鮑率', placeholder: '9600', datalist: COMMON_BAUD_RATES },
          ...SERIAL_LINE,
        ]],
        ['terminal', EOL],
      ];
      break;
    case 'telnet-serial':
      sections = [
        ['connection', [
          { name: 'host', label: '終端伺服器', placeholder: '例如 10.0.0.50', hint: '支援 RFC 2217 的序列埠伺服器位址' },
          { name: 'port', placeholder: portPlaceholder, hint: '伺服器上對應該序列埠的 TCP 連接埠' },
          'serial_baud', ...SERIAL_LINE,
        ]],
        ['auth', [{ name: 'username', hint: '透過 Telnet 送給伺服器；多數設備仍會另外詢問' }]],
        ['terminal', [term, 'term_speed', ...EOL]],
        ['advanced', ['passive_telnet', 'rfc_environ', 'ip_version']],
      ];
      break;
    case 'telnet':
      sections = [
        ['connection', ['host', { name: 'port', placeholder: portPlaceholder }]],
        ['auth', [{ name: 'username', hint: '透過 Telnet 送給伺服器；多數設備仍會另外詢問' }]],
        ['terminal', [term, 'term_speed', ...EOL]],
        ['advanced', ['passive_telnet', 'rfc_environ', 'telnet_env', 'ip_version']],
      ];
      break;
    case 'raw':
      sections = [
        ['connection', ['host', { name: 'port', placeholder: portPlaceholder }]],
        ['terminal', EOL],
        ['advanced', ['ip_version']],
      ];
      break;
    default: // ssh, and records whose protocol this page does not know
      sections = v1
        ? [
          ['connection', ['host', { name: 'port', placeholder: portPlaceholder }, 'ssh_version']],
          ['auth', ['username', { name: 'password', hint: 'SSH-1 只能以密碼登入，必須填寫；密碼以明文存放在連線設定檔中' }]],
          ['terminal', [term, ...EOL]],
          ['advanced', ['ip_version']],
        ]
        : [
          ['connection', ['host', { name: 'port', placeholder: portPlaceholder }, 'ssh_version']],
          ['auth', ['username', 'password', 'private_key', 'agent_forwarding']],
          ['terminal', [term, ...EOL]],
          ['forwards', ['port_forwards']],
          ['advanced', ['keepalive_sec', 'compression', 'ssh_legacy_compat', 'ssh_kex', 'ssh_ciphers', 'ssh_macs', 'ssh_keys', 'ip_version']],
        ];
  }
  sections.push(['logging', LOGGING]);
  return sections.map(([key, fields]) => ({
    key,
    title: SECTION_TITLES[key],
    fields: fields.map((f) => {
      const entry = typeof f === 'string' ? { name: f } : f;
      return { ...FIELDS[entry.name], ...entry };
    }),
  }));
}

export function fieldsShown(protocol, sshVersion) {
  const names = ['name', 'protocol'];
  for (const s of layoutFor(protocol, sshVersion)) for (const f of s.fields) names.push(f.name);
  return names;
}
