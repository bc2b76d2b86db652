// The action on a tab whose server showed a host key other than the one remembered for it: after
// a confirmation that names the new fingerprint, the key replaces what is remembered for that
// host and the tab reconnects. Shown only while the back end offers such a key for the tab.

import { call } from './bridge.js';
import { byId, el } from './dom.js';
import { confirmDialog } from './confirm.js';
import { toastError } from './toasts.js';
import { asText, isPlainObject } from './values.js';

// The offer in a tab summary of get_runtime_state, or null.
export function hostKeyOffer(summary) {
  const offer = isPlainObject(summary) ? summary.host_key : null;
  if (!isPlainObject(offer) || typeof offer.fingerprint !== 'string' || !offer.fingerprint) return null;
  return { host: asText(offer.host), type: asText(offer.type), fingerprint: offer.fingerprint };
}

export class HostKeyAction {
  // reconnect(tab): the page's reconnect, which keeps the terminal and its scrollback.
  constructor({ reconnect }) {
    this.reconnect = reconnect;
    this.tab = null;
    this.button = el('button', {
      id: 'tab-accept-host-key',
      class: 'tool-button warning',
      type: 'button',
      dataset: { testid: 'tab-accept-host-key' },
      text: '接受新的主機金鑰',
    });
    this.button.hidden = true;
    byId('tab-reconnect').after(this.button);
    this.button.addEventListener('click', () => this.tab && this.accept(this.tab));
  }

  render(tab) {
    this.tab = tab || null;
    const offer = tab ? tab.hostKey : null;
    this.button.hidden = !offer;
    this.button.title = offer ? `伺服器提供的新金鑰：${offer.type} ${offer.fingerprint}` : '';
  }

  async accept(tab) {
    const offer = tab.hostKey;
    if (!offer) return;
    const ok = await confirmDialog({
      title: '接受新的主機金鑰？',
      message: `${offer.host} 的主機金鑰與記住的不同。只有在確定這台主機確實更換了金鑰（例如重新安裝）時才接受；否則可能有人冒充它。`,
      detail: `新的金鑰：${offer.type} ${offer.fingerprint}`,
      okLabel: '接受並重新連線',
      danger: true,
    });
    if (!ok) return;
    try {
      const result = await call('accept_host_key', tab.id, offer.fingerprint, false);
      if (!isPlainObject(result) || result.ok !== true) {
        toastError(`沒有接受主機金鑰：${asText(result && result.error) || '後端沒有回應'}`);
        return;
      }
      tab.hostKey = null;
      await this.reconnect(tab);
    } catch (err) {
      toastError(`沒有接受主機金鑰：${err && err.message ? err.message : err}`);
    }
  }
}
