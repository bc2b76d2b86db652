// What the import dialog shows of one PuTTY entry. Entries come from PuTTY's own store, which
// people edit by hand, so every value is read forgivingly and shown as text.

import { asText, isPlainObject, toInt, truthy } from './values.js';

export function describePuttyEntry(entry) {
  const e = isPlainObject(entry) ? entry : {};
  const protocol = (asText(e.Protocol) || 'ssh').toLowerCase();
  const host = truthy(e.HostName) ? asText(e.HostName) : asText(e.SerialLine);
  // A serial line's port is its speed; PuTTY's port number means nothing there.
  const speed = protocol === 'serial' ? toInt(e.SerialSpeed) : null;
  const port = speed !== null ? String(speed) : asText(e.PortNumber);
  return { name: asText(e.name), host, protocol, port };
}

// The entries the page may offer: objects only, in the order the back end listed them.
export function usableEntries(list) {
  return Array.isArray(list) ? list.filter(isPlainObject) : [];
}
