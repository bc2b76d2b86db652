// View settings only (sizes, folds, which sessions were opened last); the sessions themselves
// belong to the back end's store and are never kept here.

const KEY = 'veltaro.view.v1';
const MAX_RECENT = 8;

const DEFAULTS = {
  sidebarWidth: 264,
  sidebarCollapsed: false,
  folds: {}, // editor section key → true when open
  recent: [], // session ids, most recent first
};

let cache = null;

function load() {
  if (cache) return cache;
  let stored = {};
  try {
    const text = window.localStorage.getItem(KEY);
    if (text) stored = JSON.parse(text) || {};
  } catch {
    stored = {}; // storage unavailable or damaged: start from the defaults
  }
  cache = { ...DEFAULTS, ...stored };
  if (typeof cache.folds !== 'object' || cache.folds === null) cache.folds = {};
  if (!Array.isArray(cache.recent)) cache.recent = [];
  return cache;
}

function save() {
  try {
    window.localStorage.setItem(KEY, JSON.stringify(cache));
  } catch {
    // Quota or a disabled store: the view simply forgets across restarts.
  }
}

export function getView(name) {
  return load()[name];
}

export function setView(name, value) {
  load()[name] = value;
  save();
}

export function sectionOpen(key, openByDefault) {
  const folds = load().folds;
  return key in folds ? Boolean(folds[key]) : openByDefault;
}

export function setSectionOpen(key, open) {
  load().folds[key] = Boolean(open);
  save();
}

export function noteOpened(sessionId) {
  if (!sessionId) return;
  const recent = load().recent.filter((id) => id !== sessionId);
  recent.unshift(sessionId);
  cache.recent = recent.slice(0, MAX_RECENT);
  save();
}
