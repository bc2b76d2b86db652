// A stand-in for the application's back end, for looking at the page in a plain browser. It is
// injected before the page starts (as the host injects its bridge) and is never bundled.
//
// Options, set on window.__veltaroMock before this script runs:
//   scenario: "empty" | "sessions"      what the store holds at start
//   hostDelayMs: number                  install window.veltaro only after this long
//   failSaves: boolean                   save_session and delete_session report a write error
//   callDelayMs: number                  how long each call takes (default 4)
(() => {
  const options = Object.assign({ scenario: 'sessions', hostDelayMs: 0, failSaves: false, callDelayMs: 4 }, window.__veltaroMock || {});
  const log = [];
  const inFlight = {}; // "operation:tab" → number of calls under way
  const maxInFlight = {};
  const hex = (n) => Array.from(crypto.getRandomValues(new Uint8Array(n)), (b) => b.toString(16).padStart(2, '0')).join('').slice(0, n * 2);

  const SAMPLE = [
    { id: hex(16), name: '辦公室路由器', protocol: 'ssh', host: '10.10.0.1', port: 22, username: 'admin', line_code_page: 'utf-8' },
    { id: hex(16), name: 'ESP32 板', protocol: 'serial', host: '/dev/ttyUSB0', port: 115200, serial_bits: 8, serial_parity: 'N', serial_stop: '1', serial_flow: 'N' },
    { id: hex(16), name: 'build-server', protocol: 'telnet', host: 'build.lab.example', port: 23 },
    { id: hex(16), name: '機房交換器（舊）', protocol: 'ssh', ssh_version: '1', host: '192.168.50.2', port: 22, username: 'root', password: 'x' },
    { id: hex(16), name: '', protocol: 'raw', host: '127.0.0.1', port: 7000 },
    { id: hex(16), name: '序列伺服器 4 號埠', protocol: 'telnet-serial', host: '10.0.0.50', port: 4004, serial_baud: 9600 },
  ];

  const state = {
    sessions: options.scenario === 'empty' ? [] : SAMPLE,
    tabs: {},
    order: [],
    active: null,
    status: {},
    clipboard: 'echo 貼上測試 && date\n',
  };
  if (state.sessions.length) {
    state.status[state.sessions[0].id] = 'online';
    state.status[state.sessions[2].id] = 'offline';
    state.status[state.sessions[5].id] = 'online';
  }

  const display = (s) => s.name || `${s.host || ''}:${s.port ?? ''}`;
  const summaries = () => state.order.filter((id) => state.tabs[id]).map((id) => {
    const t = state.tabs[id];
    return { id, display: t.display, protocol: t.protocol, alive: t.alive, session_id: t.session.id };
  });
  const runtime = () => ({ tabs: summaries(), active_tab: state.active, session_status: { ...state.status } });
  const info = (tabId, message, isError = false) => {
    if (typeof window.setTerminalInfo === 'function') window.setTerminalInfo(tabId, message, isError);
  };
  // Output into an empty buffer is a change the page's one wait for all tabs reports.
  let generation = 0;
  const push = (tabId, text) => {
    const t = state.tabs[tabId];
    if (!t || !t.reading) return;
    if (!t.buffer.length) t.changedAt = ++generation;
    t.buffer.push(text);
  };
  const banner = (t) => {
    const c = (n, s) => `\x1b[${n}m${s}\x1b[0m`;
    return [
      `Welcome to ${c('1;36', 'Debian GNU/Linux 12')} (bookworm)\r\n`,
      '\r\n',
      ` * 系統負載：0.08    記憶體使用：23%    使用者：${c('33', '2')}\r\n`,
      ` * 文件：https://www.debian.org/doc/\r\n`,
      '\r\n',
      `Last login: Mon Dec  8 09:12:44 2025 from 10.10.0.23\r\n`,
      `${c('1;32', `${t.session.username || 'user'}@${t.session.host}`)}:${c('1;34', '~')}$ ls --color\r\n`,
      `${c('1;34', '備份')}  ${c('1;34', 'projects')}  ${c('1;32', 'deploy.sh')}  README.md  設定檔.yaml  ${c('1;31', 'core.tar.gz')}\r\n`,
      `${c('1;32', `${t.session.username || 'user'}@${t.session.host}`)}:${c('1;34', '~')}$ `,
    ].join('');
  };

  const delay = (ms) => new Promise((r) => setTimeout(r, ms));
  const track = async (key, fn) => {
    inFlight[key] = (inFlight[key] || 0) + 1;
    maxInFlight[key] = Math.max(maxInFlight[key] || 0, inFlight[key]);
    try {
      return await fn();
    } finally {
      inFlight[key] -= 1;
    }
  };

  const ops = {
    get_initial_state: () => ({ sessions: structuredClone(state.sessions), puttygen_path: '', sessions_file: '/root/.local/share/quillmoor/Veltaro/sessions.json' }),
    get_runtime_state: () => runtime(),
    get_images: () => ({ logo: '', logo_ico: '' }),
    save_session: (rec) => {
      rec = structuredClone(rec);
      if (!rec.id) {
        rec.id = hex(16);
        state.sessions.push(rec);
      } else {
        const at = state.sessions.findIndex((s) => s.id === rec.id);
        if (at >= 0) state.sessions[at] = rec;
        else state.sessions.push(rec);
      }
      for (const t of Object.values(state.tabs)) if (t.session.id === rec.id) {
        t.session = rec;
        t.display = display(rec);
        info(t.id, '─── 連線設定已套用 ───');
      }
      const out = { sessions: structuredClone(state.sessions), id: rec.id };
      if (options.failSaves) out.error = '[Errno 28] No space left on device';
      return out;
    },
    delete_session: (id) => {
      state.sessions = state.sessions.filter((s) => s.id !== id);
      const out = { sessions: structuredClone(state.sessions) };
      if (options.failSaves) out.error = '[Errno 13] Permission denied';
      return out;
    },
    connect_session: (sid) => {
      const session = state.sessions.find((s) => s.id === sid);
      if (!session) return { tab_id: null };
      for (const id of state.order) {
        if (state.tabs[id] && state.tabs[id].session.id === sid) {
          state.active = id;
          return { ...runtime(), tab_id: id, existing: true };
        }
      }
      const id = hex(4);
      const t = { id, session, display: display(session), protocol: session.protocol || 'ssh', alive: true, reading: true, buffer: [], connected: false, encoding: 'utf-8' };
      state.tabs[id] = t;
      state.order.push(id);
      state.active = id;
      setTimeout(() => {
        if (!state.tabs[id]) return;
        const where = session.protocol === 'serial'
          ? `正在開啟序列埠 ${session.host} @ ${session.port || 9600} bps ...`
          : `正在連線到 ${session.host}:${session.port || 22}...`;
        info(id, where);
        setTimeout(() => {
          if (!state.tabs[id]) return;
          if (/fail/.test(session.host)) {
            t.alive = false;
            info(id, '連線失敗：[Errno 111] Connection refused', true);
            return;
          }
          t.connected = true;
          if (typeof window.terminalConnected === 'function') window.terminalConnected(id);
          if (session.protocol === 'serial') push(id, `\r\n--- 已連接 ${session.host} @ ${session.port} ---\r\n`);
          else push(id, banner(t));
        }, 250);
      }, 350);
      return { ...runtime(), tab_id: id };
    },
    close_tab: (id) => {
      if (state.tabs[id]) {
        delete state.tabs[id];
        state.order = state.order.filter((x) => x !== id);
        if (state.active === id) state.active = state.order.length ? state.order[state.order.length - 1] : null;
      }
      return runtime();
    },
    send_input: (id, data) => track(`send_input:${id}`, async () => {
      await delay(15); // long enough that fast typing overlaps
      const t = state.tabs[id];
      if (!t || !t.connected) return false;
      push(id, data.replace(/\r/g, '\r\n'));
      return true;
    }),
    resize_pty: () => null,
    set_tab_encoding: (id, enc) => {
      if (!state.tabs[id]) return false;
      if (!/^(utf-8|big5|cp950|gbk|gb18030|gb2312|shift_jis|cp932|euc-jp|euc-kr|cp949|latin-1|iso-8859-15|cp1252|cp437|cp850|cp1251|koi8-r|big5-hkscs)$/i.test(enc)) return false;
      state.tabs[id].encoding = enc;
      return true;
    },
    get_tab_reading: (id) => ({ reading: Boolean(state.tabs[id] && state.tabs[id].reading) }),
    toggle_tab_reading: (id) => {
      const t = state.tabs[id];
      if (!t) return { reading: false };
      t.reading = !t.reading;
      return { reading: t.reading };
    },
    drain_terminal: (id) => track(`drain_terminal:${id}`, async () => {
      const t = state.tabs[id];
      if (!t || !t.buffer.length) return '';
      const text = t.buffer.join('');
      t.buffer = [];
      return text;
    }),
    wait_for_output: (since, waitMs) => track('wait_for_output', async () => {
      const until = performance.now() + Math.min(Math.max(Number(waitMs) || 0, 0), 30000);
      while (generation === since && performance.now() < until) await delay(20);
      const ready = Object.entries(state.tabs).filter(([, t]) => (t.changedAt || 0) > since).map(([id]) => id);
      return { generation, ready, status: false };
    }),
    hard_reset_esp: (id) => Boolean(state.tabs[id] && state.tabs[id].protocol === 'serial'),
    enter_bootloader_esp: (id) => Boolean(state.tabs[id] && state.tabs[id].protocol === 'serial'),
    open_url: (url) => Boolean(url),
    read_clipboard: () => state.clipboard,
    pick_private_key: async () => {
      await delay(50);
      return '/root/.ssh/id_ed25519';
    },
  };

  // Like the host's bridge, the api answers every name (including "then") with a function; an
  // operation it does not have fails.
  const api = new Proxy({}, {
    get: (_, name) => (typeof name !== 'string' ? undefined : async (...args) => {
      log.push({ name, args: structuredClone(args), at: performance.now() });
      await delay(options.callDelayMs);
      if (!Object.prototype.hasOwnProperty.call(ops, name)) throw new Error(`unknown method: ${name}`);
      return structuredClone(await ops[name](...args));
    }),
  });

  // What the checks read back.
  window.__mock = {
    log,
    maxInFlight,
    state,
    options,
    pushOutput: push,
    info,
    calls: (name) => log.filter((c) => c.name === name),
  };

  const install = () => Object.defineProperty(window, 'veltaro', { value: Object.freeze({ api }), writable: false });
  if (options.hostDelayMs > 0) setTimeout(install, options.hostDelayMs);
  else install();
})();
