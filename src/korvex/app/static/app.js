// The korvex page: plain JavaScript over the JSON API under /api/, plots by Plotly.
import { $, api, download, fmt, newJob, say } from "./api.js";
import { schematic } from "./schematic.js";

const state = {
  spectra: [],        // {id, name, file, meta, f, re, im}
  active: null,       // id of the spectrum shown
  circuit: null,      // {text, names, units, values, bounds}
  rows: {},           // name -> {value, hold, lo, hi}
  fits: {},           // spectrum id -> fit response
  kk: {},             // spectrum id -> KK response
  many: null,         // {ids, results}
  job: null,          // id of the running job
};

// ---- spectra ----------------------------------------------------------------

async function upload(files) {
  const notes = [];
  for (const file of files) {
    try {
      const data = await api("spectra?name=" + encodeURIComponent(file.name), file);
      state.spectra.push(...data.spectra);
      notes.push(...data.warnings);
      if (!state.active && data.spectra.length) state.active = data.spectra[0].id;
    } catch (error) {
      notes.push(error.message);
    }
  }
  say(notes.join("\n"), "info");
  refreshSpectra();
}

function activeSpectrum() {
  return state.spectra.find((s) => s.id === state.active) || null;
}

function refreshSpectra() {
  const list = $("spectra");
  list.replaceChildren();
  for (const s of state.spectra) {
    const item = document.createElement("li");
    item.className = s.id === state.active ? "active" : "";
    item.dataset.id = s.id;
    const name = document.createElement("span");
    name.textContent = `${s.name} (${s.f.length} points)`;
    const remove = document.createElement("button");
    remove.className = "remove";
    remove.textContent = "✕";
    remove.title = "close";
    remove.onclick = async (event) => {
      event.stopPropagation();
      await api("spectra/" + s.id, undefined, { method: "DELETE" }).catch(() => {});
      state.spectra = state.spectra.filter((x) => x.id !== s.id);
      if (state.active === s.id) state.active = state.spectra.length ? state.spectra[0].id : null;
      refreshSpectra();
    };
    item.append(name, remove);
    item.onclick = () => {
      state.active = s.id;
      refreshSpectra();
    };
    list.append(item);
  }
  const columns = new Set(state.spectra.flatMap((s) => Object.keys(s.meta)));
  const xSelect = $("trend-x");
  const chosen = xSelect.value;
  xSelect.replaceChildren(new Option("file order", ""), ...[...columns].map((c) => new Option(c, c)));
  xSelect.value = columns.has(chosen) ? chosen : "";
  drawSpectrum();
  drawKK();
  showFit();
}

// ---- plots --------------------------------------------------------------------

const layoutBase = { margin: { l: 60, r: 10, t: 30, b: 45 }, legend: { orientation: "h", y: -0.25 } };
const plotConfig = { responsive: true, displaylogo: false };

function inRange(f) {
  const lo = parseFloat($("fmin").value), hi = parseFloat($("fmax").value);
  return (!isFinite(lo) || f >= lo) && (!isFinite(hi) || f <= hi);
}

function range() {
  const lo = parseFloat($("fmin").value), hi = parseFloat($("fmax").value);
  return { fmin: isFinite(lo) ? lo : null, fmax: isFinite(hi) ? hi : null };
}

function traces(curve, name, style) {
  const mod = curve.re.map((r, i) => Math.hypot(r, curve.im[i]));
  const phase = curve.re.map((r, i) => (Math.atan2(curve.im[i], r) * 180) / Math.PI);
  const text = curve.f.map((f) => `${fmt(f, 3)} Hz`);
  return {
    nyquist: { x: curve.re, y: curve.im.map((v) => -v), name, text, ...style },
    mod: { x: curve.f, y: mod, name: name + " |Z|", text, ...style },
    phase: { x: curve.f, y: phase.map((p) => -p), name: name + " −phase", text, yaxis: "y2", ...style, line: { ...(style.line || {}), dash: "dot" } },
  };
}

let modelCurve = null; // what the parameter table or the last fit draws

function drawSpectrum() {
  const s = activeSpectrum();
  const nyquist = [], bode = [];
  if (s) {
    const keep = s.f.map(inRange);
    const pick = (a) => a.filter((_, i) => keep[i]);
    const data = traces({ f: pick(s.f), re: pick(s.re), im: pick(s.im) }, "data", { mode: "markers", marker: { size: 6, color: "#1f6fb2" } });
    nyquist.push(data.nyquist);
    bode.push(data.mod, { ...data.phase, marker: { size: 6, color: "#e67e22" } });
    if (modelCurve) {
      const model = traces(modelCurve, modelCurve.label, { mode: "lines", line: { color: "#c0392b" }, hoverinfo: "skip" });
      nyquist.push(model.nyquist);
      bode.push(model.mod, model.phase);
    }
  }
  Plotly.react("nyquist", nyquist, {
    ...layoutBase, title: { text: s ? s.name : "Nyquist", font: { size: 13 } },
    xaxis: { title: { text: "Z′ / Ω" } }, yaxis: { title: { text: "−Z″ / Ω" }, scaleanchor: "x" }, hovermode: "closest",
  }, plotConfig);
  Plotly.react("bode", bode, {
    ...layoutBase, title: { text: "Bode", font: { size: 13 } },
    xaxis: { title: { text: "f / Hz" }, type: "log" }, yaxis: { title: { text: "|Z| / Ω" }, type: "log" },
    yaxis2: { title: { text: "−phase / °" }, type: "linear", tickmode: "auto", overlaying: "y", side: "right", showgrid: false }, hovermode: "closest",
    margin: { ...layoutBase.margin, r: 60 },
  }, plotConfig);
}

// Hovering a point in one plot shows the same frequency in the other.
function linkHover() {
  let busy = false;
  $("nyquist").on("plotly_hover", (event) => {
    if (busy || event.points[0].curveNumber !== 0) return;
    busy = true;
    const i = event.points[0].pointNumber;
    Plotly.Fx.hover("bode", [{ curveNumber: 0, pointNumber: i }, { curveNumber: 1, pointNumber: i }]);
    busy = false;
  });
  $("bode").on("plotly_hover", (event) => {
    if (busy || event.points[0].curveNumber > 1) return;
    busy = true;
    Plotly.Fx.hover("nyquist", [{ curveNumber: 0, pointNumber: event.points[0].pointNumber }]);
    busy = false;
  });
}

// ---- Kramers-Kronig -------------------------------------------------------------

async function runKK() {
  const s = activeSpectrum();
  if (!s) return say("open a spectrum first");
  try {
    state.kk[s.id] = await api("kk", { spectrum: s.id, ...range() });
    say("");
  } catch (error) {
    say("KK: " + error.message);
  }
  drawKK();
}

function drawKK() {
  const s = activeSpectrum();
  const kk = s && state.kk[s.id];
  const verdict = $("kk-verdict");
  if (!kk) {
    verdict.textContent = "";
    Plotly.purge("kk-plot");
    return;
  }
  verdict.innerHTML = kk.valid
    ? `<span class="ok">valid</span>`
    : `<span class="bad">not valid</span>`;
  verdict.innerHTML += ` · M = ${kk.m} (${kk.m_choice}), noise ${fmt(100 * kk.noise, 3)} %`;
  const why = document.createElement("small");
  why.textContent = ` · ${kk.reason}`;
  verdict.appendChild(why);
  const band = kk.local_threshold.map((v) => 100 * v);
  Plotly.react("kk-plot", [
    { x: kk.frequencies, y: band, name: "threshold", mode: "lines", line: { width: 0 }, showlegend: false, hoverinfo: "skip" },
    { x: kk.frequencies, y: band.map((v) => -v), name: "threshold", mode: "lines", line: { width: 0 }, fill: "tonexty", fillcolor: "#9995", hoverinfo: "skip" },
    { x: kk.frequencies, y: kk.residuals_real.map((v) => 100 * v), name: "real", mode: "lines+markers" },
    { x: kk.frequencies, y: kk.residuals_imag.map((v) => 100 * v), name: "imaginary", mode: "lines+markers" },
  ], {
    ...layoutBase, xaxis: { title: { text: "f / Hz" }, type: "log" }, yaxis: { title: { text: "residual / %" } },
  }, plotConfig);
}

// ---- circuit and parameter table ----------------------------------------------------

let circuitTimer = null;

function circuitTyped() {
  clearTimeout(circuitTimer);
  circuitTimer = setTimeout(checkCircuit, 200);
}

async function checkCircuit() {
  const text = $("circuit").value;
  try {
    const info = await api("circuit", { circuit: text });
    $("circuit").classList.remove("bad");
    $("circuit-error").textContent = "";
    setCircuit(info);
  } catch (error) {
    $("circuit").classList.add("bad");
    $("circuit-error").textContent = error.message;
  }
}

function setCircuit(info, values) {
  const same = state.circuit && state.circuit.text === info.text;
  state.circuit = info;
  if (!same) {
    state.rows = {};
    info.names.forEach((name, i) => {
      state.rows[name] = { value: info.values[i], hold: false, lo: info.bounds[i][0], hi: info.bounds[i][1] };
    });
  }
  if (values) for (const [name, v] of Object.entries(values)) if (state.rows[name]) state.rows[name].value = v;
  const models = $("models");
  if (models.options.length === 1) for (const m of info.models) models.add(new Option(m, m));
  $("schematic").replaceChildren(schematic(info.text));
  drawParams();
  if (!same) simulate();
}

function drawParams() {
  const table = $("params");
  table.replaceChildren();
  const head = table.insertRow();
  for (const h of ["parameter", "value", "unit", "hold", "lower bound", "upper bound"]) head.append(Object.assign(document.createElement("th"), { textContent: h }));
  if (!state.circuit) return;
  state.circuit.names.forEach((name, i) => {
    const row = state.rows[name];
    const tr = table.insertRow();
    tr.insertCell().textContent = name;
    const number = (key, onChange) => {
      const shown = typeof row[key] === "number" ? Number(row[key].toPrecision(6)) : "";
      const input = Object.assign(document.createElement("input"), { className: "num", value: shown });
      input.dataset.param = name;
      input.dataset.field = key;
      input.oninput = () => {
        const v = input.value.trim() === "" ? null : Number(input.value);
        if (v !== null && !isFinite(v)) return input.classList.add("bad");
        input.classList.remove("bad");
        row[key] = v;
        if (onChange) onChange();
      };
      return input;
    };
    tr.insertCell().append(number("value", simulateSoon));
    tr.insertCell().textContent = state.circuit.units[i];
    const hold = Object.assign(document.createElement("input"), { type: "checkbox", checked: row.hold });
    hold.onchange = () => (row.hold = hold.checked);
    tr.insertCell().append(hold);
    tr.insertCell().append(number("lo"));
    tr.insertCell().append(number("hi"));
  });
}

function tableValues() {
  return Object.fromEntries(Object.entries(state.rows).map(([n, r]) => [n, r.value]));
}

let simulateTimer = null;
function simulateSoon() {
  clearTimeout(simulateTimer);
  simulateTimer = setTimeout(simulate, 120);
}

async function simulate() {
  const s = activeSpectrum();
  if (!state.circuit || !s) return;
  const lo = Math.log10(Math.min(...s.f)), hi = Math.log10(Math.max(...s.f));
  const f = Array.from({ length: 200 }, (_, i) => 10 ** (lo + ((hi - lo) * i) / 199));
  try {
    const curve = await api("simulate", { circuit: state.circuit.text, values: tableValues(), f });
    modelCurve = { ...curve, label: "model (table)" };
    drawSpectrum();
  } catch (error) {
    say("simulate: " + error.message);
  }
}

async function runIdentify() {
  const s = activeSpectrum();
  if (!s) return say("open a spectrum first");
  const button = $("run-identify");
  button.disabled = true;
  button.textContent = "Identifying…";
  try {
    const { ranking } = await api("identify", { spectrum: s.id, ...range() });
    const table = $("ranking");
    table.replaceChildren();
    const head = table.insertRow();
    for (const h of ["circuit", "weight", "BIC", "flags", ""]) head.append(Object.assign(document.createElement("th"), { textContent: h }));
    for (const r of ranking) {
      const tr = table.insertRow();
      tr.insertCell().textContent = r.text;
      Object.assign(tr.insertCell(), { className: "num", textContent: fmt(r.weight, 3) });
      Object.assign(tr.insertCell(), { className: "num", textContent: fmt(r.bic, 5) });
      tr.insertCell().textContent = [...r.flags, r.error].filter(Boolean).join(", ");
      const use = Object.assign(document.createElement("button"), { textContent: "use" });
      use.onclick = async () => {
        $("circuit").value = r.text;
        await checkCircuit();
        if (r.params) setCircuit(state.circuit, r.params);
        simulate();
      };
      tr.insertCell().append(use);
    }
  } catch (error) {
    say("identify: " + error.message);
  }
  button.disabled = false;
  button.textContent = "Identify: rank candidate circuits";
}

// ---- fitting ----------------------------------------------------------------------

function fitRequest() {
  const start = $("start").value;
  const constants = {}, bounds = {};
  const values = tableValues();
  state.circuit.names.forEach((name, i) => {
    const row = state.rows[name];
    if (row.hold) constants[name] = row.value;
    const lo = row.lo ?? -Infinity, hi = row.hi ?? Infinity;
    const [dlo, dhi] = state.circuit.bounds[i];
    if (lo !== (dlo ?? -Infinity) || hi !== (dhi ?? Infinity)) bounds[name] = [row.lo, row.hi];
  });
  const request = { circuit: state.circuit.text, method: $("method").value, ...range() };
  if (Object.keys(constants).length) request.constants = constants;
  if (Object.keys(bounds).length) request.bounds = bounds;
  if (start === "table" || start === "auto") request.values = values;
  if (start === "auto") request.starts = "auto";
  return request;
}

let busyTimer = null;

// While a job runs: the other jobs' buttons off, Cancel on, the time so far.
function busy(on, status) {
  for (const id of ["run-fit", "run-many", "run-kk", "run-drt"]) $(id).disabled = on;
  $("cancel").disabled = !on;
  clearInterval(busyTimer);
  if (!on) return;
  const started = performance.now();
  $(status).textContent = "running…";
  busyTimer = setInterval(() => {
    if (status === "fit-status") $(status).textContent = `running… ${((performance.now() - started) / 1000).toFixed(1)} s`;
  }, 200);
}

async function runFit() {
  const s = activeSpectrum();
  if (!s) return say("open a spectrum first");
  if (!state.circuit) return say("the circuit text has an error");
  const job = (state.job = newJob());
  busy(true, "fit-status");
  const started = performance.now();
  try {
    const fit = await api("fit", { spectrum: s.id, job, ...fitRequest() });
    state.fits[s.id] = fit;
    setCircuit(state.circuit, fit.params);
    say("");
    busy(false);
    showFit();
    // From the click to the table and plots drawn.
    const ms = performance.now() - started;
    $("fit-status").textContent = `done in ${ms.toFixed(0)} ms`;
    document.body.dataset.lastFitMs = ms.toFixed(1);
  } catch (error) {
    busy(false);
    $("fit-status").textContent = error.status === 409 ? "cancelled" : "failed";
    if (error.status !== 409) say("fit: " + error.message);
    showFit();
  }
  state.job = null;
}

async function cancelJob() {
  if (state.job) await api("jobs/" + state.job, undefined, { method: "DELETE" }).catch(() => {});
}

function showFit() {
  const s = activeSpectrum();
  const fit = s && state.fits[s.id];
  const table = $("result");
  table.replaceChildren();
  $("fit-warnings").replaceChildren();
  if (!fit) {
    $("fit-summary").textContent = "No fit yet.";
    Plotly.purge("residual-plot");
    modelCurve = null;
    drawSpectrum();
    simulate(); // the table's model over this spectrum's range
    return;
  }
  const chi = fit.chi_square;
  $("fit-summary").innerHTML = `${fit.success ? '<span class="ok">converged</span>' : '<span class="bad">did not converge</span>'} · <code>${fit.circuit}</code> · χ² = ${fmt(chi, 4)}`;
  const head = table.insertRow();
  for (const h of ["parameter", "value", "std. error", "rel. error", "unit", "flags"]) head.append(Object.assign(document.createElement("th"), { textContent: h }));
  fit.names.forEach((name, i) => {
    const tr = table.insertRow();
    tr.dataset.param = name;
    const value = fit.params[name], err = fit.stderr ? fit.stderr[name] : null;
    tr.insertCell().textContent = name;
    Object.assign(tr.insertCell(), { className: "num value", textContent: fmt(value, 6) });
    Object.assign(tr.insertCell(), { className: "num", textContent: fmt(err, 3) });
    Object.assign(tr.insertCell(), { className: "num", textContent: err === null ? "–" : `${fmt((100 * err) / Math.abs(value), 2)} %` });
    tr.insertCell().textContent = fit.units[i];
    const flags = [];
    if (fit.at_bounds.includes(name)) flags.push("at bound");
    if (state.rows[name] && state.rows[name].hold) flags.push("held");
    if (err !== null && Math.abs(err) > Math.abs(value)) flags.push("unidentifiable");
    tr.insertCell().textContent = flags.join(", ");
  });
  for (const w of fit.warnings) $("fit-warnings").append(Object.assign(document.createElement("li"), { textContent: w }));
  modelCurve = { ...fit.model, label: "fit" };
  drawSpectrum();
  const p = fit.at_points;
  const data = { f: [], re: [], im: [] };
  s.f.forEach((f, i) => {
    if (inRange(f)) data.f.push(f), data.re.push(s.re[i]), data.im.push(s.im[i]);
  });
  const rel = (k) => data.f.map((_, i) => (100 * (data[k][i] - p[k][i])) / Math.hypot(data.re[i], data.im[i]));
  Plotly.react("residual-plot", [
    { x: p.f, y: rel("re"), name: "real", mode: "lines+markers" },
    { x: p.f, y: rel("im"), name: "imaginary", mode: "lines+markers" },
  ], { ...layoutBase, title: { text: "fit residuals", font: { size: 13 } }, xaxis: { title: { text: "f / Hz" }, type: "log" }, yaxis: { title: { text: "(Z − Z_fit)/|Z| / %" } } }, plotConfig);
}

// ---- DRT --------------------------------------------------------------------------

async function runDRT() {
  const s = activeSpectrum();
  if (!s) return say("open a spectrum first");
  try {
    const d = await api("drt", { spectrum: s.id, ...range() });
    const peakGamma = d.peaks.map((p) => {
      let best = 0;
      d.tau.forEach((t, i) => { if (Math.abs(Math.log(t / p.tau)) < Math.abs(Math.log(d.tau[best] / p.tau))) best = i; });
      return d.gamma[best];
    });
    Plotly.react("drt-plot", [
      { x: d.tau, y: d.gamma, name: "γ", mode: "lines" },
      { x: d.peaks.map((p) => p.tau), y: peakGamma, name: "peaks", mode: "markers+text", cliponaxis: false, marker: { symbol: "triangle-down", size: 10 }, text: d.peaks.map((p) => `${fmt(p.r, 3)} Ω`), textposition: "top center" },
    ], { ...layoutBase, title: { text: `DRT (R∞ = ${fmt(d.r_inf, 4)} Ω)`, font: { size: 13 } }, xaxis: { title: { text: "τ / s" }, type: "log" }, yaxis: { title: { text: "γ / Ω" } }, margin: { ...layoutBase.margin, t: 50 } }, plotConfig);
    const table = $("peaks");
    table.replaceChildren();
    const head = table.insertRow();
    for (const h of ["τ / s", "f = 1/(2πτ) / Hz", "R / Ω", "width / decades"]) head.append(Object.assign(document.createElement("th"), { textContent: h }));
    for (const p of d.peaks) {
      const tr = table.insertRow();
      for (const v of [p.tau, 1 / (2 * Math.PI * p.tau), p.r, p.width]) Object.assign(tr.insertCell(), { className: "num", textContent: fmt(v, 4) });
    }
  } catch (error) {
    say("DRT: " + error.message);
  }
}

// ---- several spectra ------------------------------------------------------------------

async function runMany() {
  if (!state.spectra.length) return say("open spectra first");
  if (!state.circuit) return say("the circuit text has an error");
  const job = (state.job = newJob());
  const ids = state.spectra.map((s) => s.id);
  busy(true, "many-status");
  const poll = setInterval(async () => {
    const p = await api("jobs/" + job).catch(() => null);
    if (p && p.total) $("many-status").textContent = `${p.done}/${p.total}`;
  }, 250);
  try {
    const { results } = await api("fit_many", { spectra: ids, job, chain: $("chain").checked, ...fitRequest() });
    state.many = { ids, results };
    ids.forEach((id, i) => { if (results[i].params) state.fits[id] = results[i]; });
    const failed = results.filter((r) => !r.params).length;
    $("many-status").textContent = `${results.length - failed}/${results.length} fitted`;
  } catch (error) {
    $("many-status").textContent = error.status === 409 ? "cancelled" : "failed";
    if (error.status !== 409) say("fit all: " + error.message);
  }
  clearInterval(poll);
  state.job = null;
  busy(false);
  refreshTrendChoices();
  showFit();
}

function refreshTrendChoices() {
  const select = $("trend-param");
  const chosen = select.value;
  const names = state.circuit ? state.circuit.names : [];
  select.replaceChildren(...["chi_square", ...names].map((n) => new Option(n, n)));
  if ([...select.options].some((o) => o.value === chosen)) select.value = chosen;
  drawTrend();
}

function drawTrend() {
  if (!state.many) return;
  const param = $("trend-param").value, column = $("trend-x").value;
  const points = state.many.ids.map((id, i) => {
    const r = state.many.results[i], s = state.spectra.find((x) => x.id === id);
    const y = !r.params ? null : param === "chi_square" ? r.chi_square : r.params[param];
    const e = r.stderr && param !== "chi_square" ? r.stderr[param] : null;
    const x = column ? (s ? s.meta[column] : null) : i + 1;
    return { x, y, e, name: s ? s.name : id };
  });
  $("trend-plot").hidden = false;
  Plotly.react("trend-plot", [{
    x: points.map((p) => p.x), y: points.map((p) => p.y), text: points.map((p) => p.name),
    error_y: { type: "data", array: points.map((p) => p.e), visible: true }, mode: "lines+markers", name: param,
  }], { ...layoutBase, xaxis: { title: { text: column || "file" }, dtick: column ? undefined : 1 }, yaxis: { title: { text: param } } }, plotConfig);
}

// ---- export and sessions ------------------------------------------------------------

function fitted() {
  return state.spectra.filter((s) => state.fits[s.id]).map((s) => [s, state.fits[s.id]]);
}

function exportCSV() {
  const rows = fitted();
  if (!rows.length) return say("fit a spectrum first");
  const quote = (t) => `"${String(t).replace(/"/g, '""')}"`;
  const lines = ["spectrum,circuit,parameter,value,stderr,unit,success,chi_square"];
  for (const [s, fit] of rows) {
    fit.names.forEach((name, i) => {
      const err = fit.stderr ? fit.stderr[name] : "";
      lines.push([quote(s.name), quote(fit.circuit), name, fit.params[name], err ?? "", quote(fit.units[i]), fit.success, fit.chi_square].join(","));
    });
  }
  download("korvex-parameters.csv", lines.join("\n") + "\n", "text/csv");
}

function exportJSON() {
  const rows = fitted();
  if (!rows.length) return say("fit a spectrum first");
  const out = rows.map(([s, fit]) => ({ spectrum: s.name, ...fit.result }));
  download("korvex-parameters.json", JSON.stringify(out, null, 1), "application/json");
}

function exportFigures(format) {
  for (const id of ["nyquist", "bode", "kk-plot", "residual-plot", "drt-plot", "trend-plot"]) {
    const plot = $(id);
    if (plot.data && plot.data.length) Plotly.downloadImage(plot, { format, filename: "korvex-" + id, width: 800, height: 500 });
  }
}

function saveSession() {
  const session = {
    korvex_app_session: 1,
    spectra: state.spectra.map(({ name, file, meta, f, re, im }) => ({ name, file, meta, f, re, im })),
    active: state.spectra.findIndex((s) => s.id === state.active),
    circuit: $("circuit").value,
    rows: state.rows,
    fmin: $("fmin").value, fmax: $("fmax").value,
    start: $("start").value, method: $("method").value,
    fits: state.spectra.map((s) => state.fits[s.id] || null),
    kk: state.spectra.map((s) => state.kk[s.id] || null),
  };
  download("korvex-session.json", JSON.stringify(session), "application/json");
}

async function loadSession(file) {
  let session;
  try {
    session = JSON.parse(await file.text());
    if (!session.korvex_app_session) throw new Error("not a korvex session file");
  } catch (error) {
    return say(`${file.name}: ${error.message}`);
  }
  Object.assign(state, { spectra: [], active: null, fits: {}, kk: {}, many: null });
  for (const [i, s] of session.spectra.entries()) {
    const { spectra } = await api("spectra", { name: s.name, f: s.f, re: s.re, im: s.im });
    const added = { ...spectra[0], file: s.file, meta: s.meta };
    state.spectra.push(added);
    if (session.fits[i]) state.fits[added.id] = session.fits[i];
    if (session.kk[i]) state.kk[added.id] = session.kk[i];
    if (i === session.active) state.active = added.id;
  }
  $("fmin").value = session.fmin;
  $("fmax").value = session.fmax;
  $("start").value = session.start;
  $("method").value = session.method;
  $("circuit").value = session.circuit;
  await checkCircuit();
  Object.assign(state.rows, session.rows);
  drawParams();
  refreshSpectra();
}

// ---- wiring -------------------------------------------------------------------------

function dropFiles() {
  let depth = 0;
  document.addEventListener("dragenter", (e) => { e.preventDefault(); depth++; document.body.classList.add("dragging"); });
  document.addEventListener("dragleave", () => { if (--depth <= 0) document.body.classList.remove("dragging"); });
  document.addEventListener("dragover", (e) => e.preventDefault());
  document.addEventListener("drop", (e) => {
    e.preventDefault();
    depth = 0;
    document.body.classList.remove("dragging");
    upload([...e.dataTransfer.files]);
  });
}

function init() {
  $("files").onchange = (e) => { upload([...e.target.files]); e.target.value = ""; };
  $("load-session").onchange = (e) => { loadSession(e.target.files[0]); e.target.value = ""; };
  $("save-session").onclick = saveSession;
  $("run-kk").onclick = runKK;
  $("run-identify").onclick = runIdentify;
  $("run-fit").onclick = runFit;
  $("cancel").onclick = cancelJob;
  $("run-drt").onclick = runDRT;
  $("run-many").onclick = runMany;
  $("export-csv").onclick = exportCSV;
  $("export-json").onclick = exportJSON;
  $("export-svg").onclick = () => exportFigures("svg");
  $("export-png").onclick = () => exportFigures("png");
  $("circuit").oninput = circuitTyped;
  $("models").onchange = async (e) => {
    if (!e.target.value) return;
    $("circuit").value = e.target.value;
    await checkCircuit();
    $("circuit").value = state.circuit.text; // the model's circuit, spelled out
  };
  $("fmin").oninput = $("fmax").oninput = () => { drawSpectrum(); };
  $("trend-param").onchange = $("trend-x").onchange = drawTrend;
  dropFiles();
  drawSpectrum();
  linkHover();
  checkCircuit().then(refreshTrendChoices);
  document.body.dataset.readyMs = performance.now().toFixed(0);
  document.body.dataset.ready = "1";
}

init();
