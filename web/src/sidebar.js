// Sidebar width and folding, remembered as view settings.

import { byId } from './dom.js';
import { icon } from './icons.js';
import { getView, setView } from './viewSettings.js';

const MIN_WIDTH = 190;
const MAX_WIDTH = 520;
const KEY_STEP = 16;

const clamp = (w) => Math.max(MIN_WIDTH, Math.min(MAX_WIDTH, Math.round(w)));

export function installSidebar(onLayoutChange) {
  const app = byId('app');
  const resizer = byId('sidebar-resizer');
  const collapse = byId('sidebar-collapse');
  const expand = byId('sidebar-expand');
  collapse.replaceChildren(icon('left', 16));
  expand.replaceChildren(icon('menu', 16));

  let width = clamp(Number(getView('sidebarWidth')) || 264);
  const applyWidth = () => {
    app.style.setProperty('--sidebar-width', `${width}px`);
    resizer.setAttribute('aria-valuenow', String(width));
  };
  const applyCollapsed = (collapsed) => {
    app.classList.toggle('sidebar-collapsed', collapsed);
    byId('sidebar').hidden = collapsed;
    resizer.hidden = collapsed;
    expand.hidden = !collapsed;
    onLayoutChange();
  };
  applyWidth();
  applyCollapsed(Boolean(getView('sidebarCollapsed')));
  resizer.setAttribute('aria-valuemin', String(MIN_WIDTH));
  resizer.setAttribute('aria-valuemax', String(MAX_WIDTH));

  collapse.addEventListener('click', () => {
    setView('sidebarCollapsed', true);
    applyCollapsed(true);
    expand.focus();
  });
  expand.addEventListener('click', () => {
    setView('sidebarCollapsed', false);
    applyCollapsed(false);
    collapse.focus();
  });

  resizer.addEventListener('pointerdown', (event) => {
    if (event.button !== 0) return;
    event.preventDefault();
    resizer.setPointerCapture(event.pointerId);
    const startX = event.clientX;
    const startWidth = width;
    app.classList.add('resizing');
    const move = (e) => {
      width = clamp(startWidth + e.clientX - startX);
      applyWidth();
      onLayoutChange();
    };
    const up = () => {
      resizer.removeEventListener('pointermove', move);
      resizer.removeEventListener('pointerup', up);
      resizer.removeEventListener('pointercancel', up);
      app.classList.remove('resizing');
      setView('sidebarWidth', width);
    };
    resizer.addEventListener('pointermove', move);
    resizer.addEventListener('pointerup', up);
    resizer.addEventListener('pointercancel', up);
  });
  resizer.addEventListener('keydown', (event) => {
    if (event.key !== 'ArrowLeft' && event.key !== 'ArrowRight') return;
    event.preventDefault();
    width = clamp(width + (event.key === 'ArrowRight' ? KEY_STEP : -KEY_STEP));
    applyWidth();
    setView('sidebarWidth', width);
    onLayoutChange();
  });
}
