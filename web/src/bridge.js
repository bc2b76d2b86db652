// Calls into the back end. The host injects window.veltaro before or soon after the page starts;
// every call waits for it instead of failing early.

const FIRST_CHECKS_MS = 20;
const LATER_CHECKS_MS = 250;
const PATIENT_FOR_MS = 2000;

let ready = null;
let noticeLateHost = () => {};

export function onHostLate(callback) {
  noticeLateHost = callback;
}

function currentApi() {
  const host = window.veltaro;
  return host && host.api ? host.api : null;
}

// Resolves with a holder, never with the api itself: the host's api answers every property name,
// "then" included, so a promise resolved with it would take it for a promise and wait forever.
export function whenHostReady() {
  if (ready) return ready;
  ready = new Promise((resolve) => {
    const api = currentApi();
    if (api) {
      resolve({ api });
      return;
    }
    const started = Date.now();
    let warned = false;
    const check = () => {
      const found = currentApi();
      if (found) {
        resolve({ api: found });
        return;
      }
      const waited = Date.now() - started;
      if (!warned && waited > PATIENT_FOR_MS * 2) {
        warned = true;
        noticeLateHost();
      }
      setTimeout(check, waited < PATIENT_FOR_MS ? FIRST_CHECKS_MS : LATER_CHECKS_MS);
    };
    setTimeout(check, FIRST_CHECKS_MS);
  });
  return ready;
}

export class BridgeError extends Error {
  constructor(operation, cause) {
    super(`${operation}: ${cause && cause.message ? cause.message : String(cause)}`);
    this.operation = operation;
  }
}

// One back-end operation; resolves with its JSON result, rejects with a BridgeError.
export async function call(operation, ...args) {
  const { api } = await whenHostReady();
  let result;
  try {
    const fn = api[operation];
    if (typeof fn !== 'function') throw new Error('operation not offered by the host');
    result = await fn.apply(api, args);
  } catch (err) {
    throw new BridgeError(operation, err);
  }
  return result === undefined ? null : result;
}
