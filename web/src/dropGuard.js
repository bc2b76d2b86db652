// A link or file dropped onto the window would be loaded in place of the page. Such drags are
// refused everywhere in the page; dragging text (a selection, a command) is left alone.

const REFUSED_TYPES = ['Files', 'text/uri-list', 'text/x-moz-url'];

export function carriesLinkOrFile(types) {
  return Array.from(types || []).some((type) => REFUSED_TYPES.includes(type));
}

export function refuseLinkAndFileDrops(target) {
  const refuse = (event) => {
    if (!event.dataTransfer || !carriesLinkOrFile(event.dataTransfer.types)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'none';
  };
  for (const type of ['dragenter', 'dragover', 'drop']) {
    target.addEventListener(type, refuse, { capture: true });
  }
}
