// The page's own faces: subsets of the system's Noto Sans CJK TC faces, cut at build time and
// served by the application under veltaro-font:. They are added from here rather than by
// @font-face rules, which the engine builds anew (unloaded) whenever a stylesheet changes: a
// terminal opened later would then measure its cells in a fallback face while its own loads.

export const PAGE_FACES = [
  { family: 'Veltaro UI', file: 'ui-regular.otf', weight: '400' },
  { family: 'Veltaro UI', file: 'ui-bold.otf', weight: '700' },
  { family: 'Veltaro Mono', file: 'mono-regular.otf', weight: '400' },
  { family: 'Veltaro Mono', file: 'mono-bold.otf', weight: '700' },
];

function addFace(fonts, FontFaceClass, { family, file, weight }) {
  try {
    const face = new FontFaceClass(family, `url("veltaro-font:${file}")`, { weight });
    fonts.add(face);
    return face.load().catch(() => null);
  } catch {
    return null;
  }
}

// Adds the faces and settles, never rejecting, once each has loaded or failed, or after
// `timeoutMs`: a face that cannot be had leaves the system's faces in its place.
export function addPageFaces(fonts, FontFaceClass, timeoutMs, timers = globalThis) {
  if (!fonts || typeof fonts.add !== 'function' || typeof FontFaceClass !== 'function') return Promise.resolve();
  const loads = Promise.all(PAGE_FACES.map((face) => addFace(fonts, FontFaceClass, face)));
  return new Promise((resolve) => {
    const timer = timers.setTimeout(resolve, timeoutMs);
    loads.then(() => {
      timers.clearTimeout(timer);
      resolve();
    });
  });
}
