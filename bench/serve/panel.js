// What both pages share: the tiles of a panel's controls, drawn from the state's JSON.
const $ = (s) => document.querySelector(s);
const tiles = new Map();

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function status(text, error) {
  const s = $("#status");
  s.textContent = text || "";
  s.classList.toggle("error", !!error);
}

// A state's colour: blank and the usual "off" words unlit, the usual "on" words lit, any other
// name a steady colour of its own.
const UNLIT = ["off", "0", "false", "none", "idle"];
function stateColour(s) {
  const k = (s || "").toLowerCase();
  if (k === "") return ["#3a3f47", "#aab2bc"];
  if (UNLIT.includes(k)) return ["#4b5058", "#d8dde3"];
  if (["on", "1", "true", "active", "lit", "armed"].includes(k)) return ["#e0a020", "#1a1300"];
  let h = 0;
  for (const c of k) h = (h * 31 + c.codePointAt(0)) % 360;
  return ["hsl(" + h + ",55%,42%)", "#ffffff"];
}

function alarmOn(v) {
  return v !== undefined && v !== "" && !["0", "off", "none", "clear", "ok", "false", "normal"].includes(String(v).toLowerCase());
}

function panelGrid(panel) {
  let sec = document.querySelector('section[data-panel="' + CSS.escape(panel) + '"]');
  if (!sec) {
    sec = el("section");
    sec.dataset.panel = panel;
    sec.append(el("h2", "", "Panel " + panel), el("div", "grid"));
    const all = [...$("#panels").children];
    const after = all.find((s) => s.dataset.panel.localeCompare(panel) > 0);
    $("#panels").insertBefore(sec, after || null);
  }
  return sec.querySelector(".grid");
}

// Buttons and alarms are pressed from the live page, and so are controls of no declared kind;
// texts and indicators only show (a press on them is still a step away, under "Any step").
const SHOWN_ONLY = new Set(["text", "indicator"]);

// The tile of a control, made again when its declared kind changes what element it is. press, when
// given, is what a click on a pressable tile does; without it no tile is pressable.
function tileFor(c, press) {
  const k = c.panel + "\u0000" + c.id;
  const kind = c.kind || "";
  const old = tiles.get(k);
  if (old && old.dataset.kind === kind) return old;
  const pressable = !!press && !SHOWN_ONLY.has(kind);
  const t = el(pressable ? "button" : "div", "tile" + (kind ? " kind-" + kind : ""));
  t.dataset.panel = c.panel;
  t.dataset.control = c.id;
  t.dataset.kind = kind;
  if (pressable) {
    t.type = "button";
    t.title = "press " + c.panel + " " + c.id;
    t.addEventListener("click", () => press(c));
  }
  if (old) old.replaceWith(t); else panelGrid(c.panel).append(t);
  tiles.set(k, t);
  return t;
}

function renderTile(c, press) {
  const t = tileFor(c, press);
  const p = c.properties || {};
  const parts = [el("span", "id", c.id)];
  if (c.kind) parts.push(el("span", "kind", c.kind));
  if (c.kind === "indicator") {
    const lamp = el("div", "lamp");
    const [bg] = stateColour(p.statesheet);
    lamp.style.background = bg;
    const k = (p.statesheet || "").toLowerCase();
    if (k !== "" && !UNLIT.includes(k)) lamp.style.boxShadow = "0 0 14px " + bg;
    parts.push(lamp);
  }
  if ("statesheet" in p) {
    const [bg, fg] = stateColour(p.statesheet);
    const s = el("div", "state", p.statesheet === "" ? "(blank)" : p.statesheet);
    s.style.background = bg;
    s.style.color = fg;
    parts.push(s);
    t.dataset.state = p.statesheet;
  } else {
    delete t.dataset.state;
  }
  if ("text" in p) {
    parts.push(el("div", "tally", p.text));
    t.dataset.text = p.text;
  } else {
    delete t.dataset.text;
  }
  const alarmish = c.kind === "alarm" || "alarm" in p || "value" in p;
  if (alarmish)
    parts.push(el("div", "alarm", "alarm " + (p.alarm === undefined ? "-" : p.alarm || "(blank)") + " \u00b7 value " + (p.value === undefined ? "-" : p.value)));
  t.classList.toggle("alarm-on", alarmish && alarmOn(p.alarm));
  const rest = Object.keys(p).filter((n) => !["statesheet", "text", "alarm", "value"].includes(n));
  if (rest.length) parts.push(el("div", "props", rest.map((n) => n + "=" + p[n]).join("  ")));
  t.replaceChildren(...parts);
}


// The session's token: in the address's fragment, which the browser never sends, kept for this tab
// alone and sent in a header on every call (no cookie, no storage: another port's page gets none).
const TOKEN = new URLSearchParams(location.hash.slice(1)).get("token") || "";

function call(path, init) {
  const headers = Object.assign({}, (init && init.headers) || {});
  if (TOKEN) headers["X-Zeph-Token"] = TOKEN;
  return fetch(path, Object.assign({}, init || {}, { headers, credentials: "omit", cache: "no-store" }));
}

// A download fetched with the token and saved from memory: a plain link would carry no header.
async function download(path, fallbackName) {
  try {
    const r = await call(path);
    if (!r.ok) {
      const body = await r.json().catch(() => ({ error: "HTTP " + r.status }));
      status(body.error, true);
      return;
    }
    const named = /filename="([^"]+)"/.exec(r.headers.get("Content-Disposition") || "");
    const a = el("a");
    a.href = URL.createObjectURL(await r.blob());
    a.download = named ? named[1] : fallbackName;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  } catch (e) {
    status("the bench does not answer (" + e.message + ")", true);
  }
}

// Server-sent events read from a fetch, as an event source cannot send the token's header: each
// message's data to onMessage; reconnects a second after a drop, from the last id seen.
function eventStream(path, onOpen, onDrop, onMessage) {
  let last = "";
  async function run() {
    try {
      const r = await call(path, last ? { headers: { "Last-Event-ID": last } } : {});
      if (!r.ok || !r.body) throw new Error("HTTP " + r.status);
      onOpen();
      const reader = r.body.getReader();
      const text = new TextDecoder();
      let buffer = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += text.decode(value, { stream: true });
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const data = [];
          for (const line of block.split("\n")) {
            if (line.startsWith("id:")) last = line.slice(3).trim();
            else if (line.startsWith("data:")) data.push(line.slice(5).replace(/^ /, ""));
          }
          if (data.length) onMessage(data.join("\n"));
        }
      }
    } catch (e) {
      // dropped: reconnect below
    }
    onDrop();
    setTimeout(run, 1000);
  }
  run();
}
