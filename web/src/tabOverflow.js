// A tab strip wider than the window: the wheel scrolls it, and a button at its end lists every
// tab, shown only while some tabs do not fit.

import { el } from './dom.js';
import { icon } from './icons.js';
import { openMenu } from './menu.js';

// tabs() → the tabs in strip order; activeId() → the active tab's id; activate(id).
export function installTabOverflow(strip, { tabs, activeId, activate }) {
  const button = el('button', {
    type: 'button',
    id: 'tab-list',
    class: 'icon-button tab-list-button',
    title: '所有分頁',
    'aria-label': '列出所有分頁',
    hidden: true,
    dataset: { testid: 'tab-list' },
  }, icon('down', 16));
  strip.after(button);

  strip.addEventListener('wheel', (event) => {
    const delta = Math.abs(event.deltaX) > Math.abs(event.deltaY) ? event.deltaX : event.deltaY;
    if (!delta || strip.scrollWidth <= strip.clientWidth) return;
    event.preventDefault();
    // Lines (Firefox-style deltaMode 1) are turned into a tab's width or so.
    strip.scrollLeft += event.deltaMode === 1 ? delta * 40 : delta;
  }, { passive: false });

  const refresh = () => {
    button.hidden = strip.scrollWidth <= strip.clientWidth + 1;
  };
  // A narrower window must not push the active tab out of sight.
  new ResizeObserver(() => {
    refresh();
    const active = strip.querySelector('.tab.active');
    if (active) active.scrollIntoView({ block: 'nearest', inline: 'nearest' });
  }).observe(strip);
  new MutationObserver(refresh).observe(strip, { childList: true });

  button.addEventListener('click', () => {
    const rect = button.getBoundingClientRect();
    const current = activeId();
    const items = tabs().map((tab) => ({
      label: tab.display || '（未命名）',
      dot: !tab.alive ? 'ended' : tab.connected ? 'live' : 'pending',
      keys: tab.id === current ? '目前' : '',
      testid: 'tab-list-item',
      action: () => activate(tab.id),
    }));
    openMenu(items, rect.right - 240, rect.bottom + 2, { label: '所有分頁', testid: 'tab-list-menu' });
  });
  return button;
}
