// Small line icons drawn as SVG, so no icon font or image file has to be shipped.

const SVG_NS = 'http://www.w3.org/2000/svg';

const PATHS = {
  play: ['M8 5.5v13l10.5-6.5z'],
  edit: ['M4 20h4L19 9l-4-4L4 16z', 'M13.5 6.5l4 4'],
  copy: ['M9 9h10v10H9z', 'M15 9V5H5v10h4'],
  trash: ['M4 7h16', 'M10 4h4', 'M6 7l1 13h10l1-13', 'M10 11v5', 'M14 11v5'],
  close: ['M7 7l10 10', 'M17 7L7 17'],
  plus: ['M12 5v14', 'M5 12h14'],
  left: ['M14.5 6l-6 6 6 6'],
  right: ['M9.5 6l6 6-6 6'],
  down: ['M6 9.5l6 6 6-6'],
  reconnect: ['M19 12a7 7 0 1 1-2.05-4.95', 'M19 4.5V9h-4.5'],
  menu: ['M4 7h16', 'M4 12h16', 'M4 17h16'],
  terminal: ['M4 5h16v14H4z', 'M7.5 9.5l3 2.5-3 2.5', 'M12.5 15h4'],
};

export function icon(name, size = 16) {
  const svg = document.createElementNS(SVG_NS, 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('width', String(size));
  svg.setAttribute('height', String(size));
  svg.setAttribute('aria-hidden', 'true');
  svg.setAttribute('class', `icon icon-${name}`);
  for (const d of PATHS[name] || []) {
    const path = document.createElementNS(SVG_NS, 'path');
    path.setAttribute('d', d);
    svg.appendChild(path);
  }
  return svg;
}
