// Keys that would reload the page or move through its history do nothing here: the page is the
// whole application, and leaving it would hide every tab. The terminal is left alone, because
// xterm.js sends these keys to the remote program (Ctrl+R is the shell's history search).

const EDITABLE_INPUTS = new Set(['text', 'search', 'password', 'number', 'email', 'url', 'tel']);

// Reloading and history keys, whatever has the focus.
export function isNavigationKey(event) {
  if (event.type !== 'keydown') return false;
  const ctrl = event.ctrlKey || event.metaKey;
  if (event.key === 'F5' || event.code === 'F5') return true;
  if (ctrl && !event.altKey && event.code === 'KeyR') return true;
  if (event.altKey && !ctrl && ['ArrowLeft', 'ArrowRight', 'Home'].includes(event.code)) return true;
  return ['BrowserBack', 'BrowserForward', 'BrowserRefresh', 'BrowserHome'].includes(event.key);
}

export function isEditable(node) {
  if (!node || node.nodeType !== 1) return false;
  if (node.isContentEditable) return true;
  const tag = node.tagName;
  if (tag === 'TEXTAREA') return !node.readOnly && !node.disabled;
  if (tag === 'INPUT') return EDITABLE_INPUTS.has((node.type || 'text').toLowerCase()) && !node.readOnly && !node.disabled;
  return false;
}

// Backspace goes back a page in some engines unless a text field takes it.
export function isGuardedKey(event) {
  return isNavigationKey(event) || (event.type === 'keydown' && event.key === 'Backspace' && !isEditable(event.target));
}

export function installKeyGuard(win) {
  // Bubbling, so that the page's own handlers (and xterm.js) have seen the key first.
  win.addEventListener('keydown', (event) => {
    const target = event.target;
    if (target && target.closest && target.closest('.terminal-view')) return;
    if (isGuardedKey(event)) event.preventDefault();
  });
  // Mouse back and forward buttons.
  win.addEventListener('mouseup', (event) => {
    if (event.button === 3 || event.button === 4) event.preventDefault();
  }, true);
}
