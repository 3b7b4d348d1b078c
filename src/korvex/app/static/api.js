// Talking to the server, and small helpers that every part of the page uses.

const token = new URLSearchParams(location.search).get("token") || "";

export const $ = (id) => document.getElementById(id);

export async function api(path, body, options = {}) {
  const init = { method: body === undefined ? "GET" : "POST", headers: { Authorization: "token " + token } };
  if (options.method) init.method = options.method;
  if (body instanceof Blob) {
    init.body = body;
  } else if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  const response = await fetch("api/" + path, init);
  const data = await response.json().catch(() => ({ error: `server answered ${response.status}` }));
  if (!response.ok) {
    const error = new Error(data.error || `server answered ${response.status}`);
    error.status = response.status;
    throw error;
  }
  return data;
}

export function say(text, kind = "error") {
  const box = $("message");
  box.textContent = text;
  box.className = kind;
  box.hidden = !text;
}

export function newJob() {
  return Math.random().toString(16).slice(2) + Date.now().toString(16);
}

export const fmt = (x, digits = 4) => (x === null || x === undefined ? "–" : Number(x).toPrecision(digits));

export function download(name, text, type) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([text], { type }));
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}
