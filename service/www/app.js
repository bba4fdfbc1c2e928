// The status page of notavero-serve: one card per validator, the last
// events live over the service's WebSocket, enable and disable with the
// token.  Plain JavaScript, no build step, nothing fetched from elsewhere.
"use strict";

(() => {
  const MAX_EVENTS = 50;
  const TOKEN_KEY = "notavero-token";
  const STATUS_EVERY_MS = 5000; // refreshes "last answer" and acceptance
  const RETRY_FIRST_MS = 1000;
  const RETRY_LAST_MS = 10000;
  const BACKFILL_BELOW = 2 ** 52;
  const BILL_KINDS = new Set(["escrow", "stacked", "returned", "rejected", "unconfirmed"]);

  const $ = (id) => document.getElementById(id);
  const cards = new Map(); // device name -> card
  let events = []; // newest first: {key, time, order, device, kind, amount, text}
  let arrivals = 0;
  let socket = null;
  let retryMs = RETRY_FIRST_MS;
  let statusTimer = 0;
  let statusSoon = 0;
  let metricsSoon = 0;

  // ---- formatting ----

  const moneyFormat = new Intl.NumberFormat("ru-RU", { maximumFractionDigits: 4 });
  // Amounts come in 1/10000 currency units.
  const money = (amount) => `${moneyFormat.format(amount / 10000)} ₽`;
  const clock = (ms) => new Date(ms).toLocaleTimeString("en-GB", { hour12: false });

  // The look of a state, from the low byte of its status word.
  function severity(word) {
    if (word < 0) return "unknown";
    const state = word & 0xff;
    if (state >= 0x41 && state <= 0x47) return "fault";
    if (state === 0x14 || state === 0x15 || state === 0x17 || state === 0x80 || state === 0x81) return "ok";
    if (state === 0x19) return "off";
    return "busy";
  }

  function describe(m) {
    const amount = m.amount !== undefined ? money(m.amount) : "";
    switch (m.type) {
      case "escrow":
        return m.decision ? `Escrow ${amount} → ${m.decision} (${m.by})` : `Escrow ${amount}, waiting for a decision`;
      case "stacked":
        return `Stacked ${amount}`;
      case "returned":
        return `Returned ${amount}`;
      case "rejected":
        return `Rejected: ${m.reason} (${m.code.toString(16).toUpperCase().padStart(2, "0")})`;  // hex, as the log and docs write it
      case "unconfirmed":
        return `Sent to the stacker, outcome unknown (bill type ${m.bill_type})`;
      case "decision":
        return `Escrow #${m.id} → ${m.decision} (${m.by})`;
      case "state":
        return `State: ${m.state} · ${m.text}`;
      case "link":
        return `Link: ${m.link}`;
      default:
        return m.type;
    }
  }

  // ---- cards ----

  function card(device) {
    let c = cards.get(device);
    if (c) return c;
    const root = $("card-template").content.firstElementChild.cloneNode(true);
    root.dataset.device = device;
    const q = (selector) => root.querySelector(selector);
    c = {
      root,
      q,
      byValue: new Map(), // value text -> count
      word: -1, // the last reported status word
      link: "unknown",
    };
    q(".device").textContent = device;
    q(".enable").addEventListener("click", () => command("enable", device, c));
    q(".disable").addEventListener("click", () => command("disable", device, c));
    cards.set(device, c);
    $("no-devices").hidden = true;
    $("cards").append(root);
    updateButtons();
    return c;
  }

  // A card is red while its validator does not answer or its port is gone,
  // whatever state it last reported (that state is old news then).
  function paint(c) {
    c.root.dataset.severity = c.link === "no answer" || c.link === "port lost" ? "fault" : severity(c.word);
  }

  function showState(c, word, name, text) {
    c.word = word;
    paint(c);
    c.q(".state-name").textContent = name;
    c.q(".state-text").textContent = text;
  }

  function showLink(c, link) {
    const badge = c.q(".link");
    badge.textContent = link === "online" ? "online" : `link: ${link}`;
    badge.dataset.state = link === "online" ? "good" : "bad";
    c.link = link;
    paint(c);
  }

  function showStatus(m) {
    const c = card(m.device);
    c.root.classList.remove("stale");
    showState(c, m.word, m.state, m.text);
    showLink(c, m.link);
    const acceptance = c.q(".acceptance");
    acceptance.textContent = m.enabled ? "acceptance on" : "acceptance off";
    acceptance.dataset.state = m.enabled ? "good" : "off";
    for (const key of ["returned", "rejected", "timeouts", "bad_frames", "reconnects"]) {
      c.q(`.${key}`).textContent = String(m[key] ?? 0);
    }
    c.q(".last-answer").textContent =
      m.last_answer_ms < 0 ? "never" : `${(m.last_answer_ms / 1000).toFixed(1)} s ago`;
  }

  // The bills stacked by value come from the service's own counts, the same
  // figures Prometheus scrapes.
  function showMoney(c) {
    const body = c.q(".by-value");
    const rows = [...c.byValue].sort((a, b) => Number(a[0]) - Number(b[0]));
    let count = 0;
    let amount = 0;
    body.replaceChildren(
      ...rows.map(([value, n]) => {
        const units = Math.round(Number(value) * 10000);
        count += n;
        amount += units * n;
        const tr = document.createElement("tr");
        tr.dataset.value = value;
        for (const text of [money(units), String(n), money(units * n)]) {
          const td = document.createElement("td");
          td.textContent = text;
          tr.append(td);
        }
        return tr;
      }),
    );
    c.q(".total-count").textContent = String(count);
    c.q(".total-amount").textContent = money(amount);
  }

  async function refreshMoney() {
    metricsSoon = 0;
    let text;
    try {
      const response = await fetch("/metrics", { cache: "no-store" });
      if (!response.ok) return;
      text = await response.text();
    } catch {
      return;
    }
    const counts = new Map(); // device -> Map(value -> count)
    for (const [, labelText, sample] of text.matchAll(/^notavero_bills_stacked_total\{([^}]*)\}\s+(\S+)/gm)) {
      const labels = Object.fromEntries([...labelText.matchAll(/(\w+)="([^"]*)"/g)].map((l) => [l[1], l[2]]));
      if (!counts.has(labels.device)) counts.set(labels.device, new Map());
      counts.get(labels.device).set(labels.value, Number(sample));
    }
    for (const [device, c] of cards) {
      c.byValue = counts.get(device) ?? new Map();
      showMoney(c);
    }
  }

  const later = (timer, run, ms) => timer || setTimeout(run, ms);
  function scheduleMoney() {
    metricsSoon = later(metricsSoon, refreshMoney, 150);
  }
  function scheduleStatus() {
    statusSoon = later(statusSoon, askStatus, 250);
  }

  // ---- events ----

  // Newest first, in the order the service sent them; the journal's events
  // fetched after a (re)connection go below every live one, by id.
  function addEvent(key, time, m, order = ++arrivals) {
    if (key && events.some((e) => e.key === key)) return;
    events.push({ key, time, order, device: m.device, kind: m.type, amount: m.amount, text: describe(m) });
    events.sort((a, b) => b.order - a.order);
    events = events.slice(0, MAX_EVENTS);
    showEvents();
  }

  // A decision completes its escrow's line when that is still listed.
  function addDecision(m) {
    const escrow = events.find((e) => e.key === `bill-${m.id}`);
    if (!escrow) {
      addEvent(`decision-${m.id}`, Date.now(), m);
      return;
    }
    escrow.text = describe({ ...m, type: "escrow", amount: escrow.amount });
    showEvents();
  }

  function showEvents() {
    $("events").replaceChildren(
      ...events.map((e) => {
        const li = document.createElement("li");
        li.dataset.kind = e.kind;
        const time = document.createElement("time");
        time.textContent = clock(e.time);
        const device = document.createElement("span");
        device.className = "event-device";
        device.textContent = e.device ?? "";
        const text = document.createElement("span");
        text.className = "event-text";
        text.textContent = e.text;
        li.append(time, device, text);
        return li;
      }),
    );
  }

  function addBillEvent(m, order) {
    addEvent(`bill-${m.id}`, m.time ?? Date.now(), m, order);
  }

  // The newest bill events of the journal, after each (re)connection.
  async function backfill(lastId) {
    const since = Math.max(0, lastId - MAX_EVENTS);
    try {
      // Stacked events nobody acknowledged come too, whatever their age:
      // only those after `since` are recent.
      const response = await fetch(`/v1/events?since=${since}&limit=10000`, { cache: "no-store" });
      if (!response.ok) return;
      const body = await response.json();
      for (const m of body.events) {
        if (m.id > since) addBillEvent(m, m.id - BACKFILL_BELOW);
      }
    } catch {
      // The live stream goes on; the list fills from it.
    }
  }

  // ---- the WebSocket ----

  function send(message) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  function askStatus() {
    statusSoon = 0;
    send({ cmd: "status", ref: "page" });
  }

  function setConnection(state, text) {
    const badge = $("connection");
    badge.dataset.state = state;
    badge.textContent = text;
  }

  function handle(m) {
    if (m.type === "status") {
      showStatus(m);
      scheduleMoney();
    } else if (m.type === "state") {
      const c = card(m.device);
      showState(c, m.word, m.state, m.text);
      addEvent("", Date.now(), m);
      scheduleStatus();
    } else if (m.type === "link") {
      showLink(card(m.device), m.link);
      addEvent("", Date.now(), m);
      scheduleStatus();
    } else if (BILL_KINDS.has(m.type)) {
      addBillEvent(m);
      if (m.type !== "escrow") scheduleMoney();
    } else if (m.type === "decision") {
      addDecision(m);
    } else if (m.type === "ok" && m.cmd === "hello") {
      backfill(m.last_id);
    }
  }

  function connect() {
    setConnection("connecting", "connecting…");
    const scheme = location.protocol === "https:" ? "wss" : "ws";
    const ws = new WebSocket(`${scheme}://${location.host}/v1/ws`);
    socket = ws;
    ws.onopen = () => {
      retryMs = RETRY_FIRST_MS;
      setConnection("live", "live");
      send({ cmd: "hello", ref: "page" });
      statusTimer = setInterval(askStatus, STATUS_EVERY_MS);
    };
    ws.onmessage = (event) => {
      let m;
      try {
        m = JSON.parse(event.data);
      } catch {
        return;
      }
      if (m && typeof m === "object") handle(m);
    };
    ws.onclose = () => {
      if (socket !== ws) return;
      socket = null;
      clearInterval(statusTimer);
      for (const c of cards.values()) c.root.classList.add("stale");
      setConnection("offline", `offline, retrying in ${Math.round(retryMs / 1000)} s`);
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, RETRY_LAST_MS);
    };
  }

  // ---- the token and the commands ----

  function token() {
    return sessionStorage.getItem(TOKEN_KEY) ?? "";
  }

  function updateButtons() {
    const has = token() !== "";
    for (const c of cards.values()) {
      for (const button of c.root.querySelectorAll(".controls button")) {
        button.disabled = !has;
        button.title = has ? "" : "give the token first";
      }
    }
    $("token-forget").hidden = !has;
    $("token-input").placeholder = has ? "token set" : "paste the service's token";
  }

  async function command(cmd, device, c) {
    const note = c.q(".command-note");
    note.textContent = "…";
    let response;
    try {
      response = await fetch("/v1/command", {
        method: "POST",
        cache: "no-store",
        headers: { Authorization: `Bearer ${token()}`, "Content-Type": "application/json" },
        body: JSON.stringify({ cmd, device, ref: "page" }),
      });
    } catch {
      note.textContent = "the service does not answer";
      return;
    }
    if (response.status === 401) {
      sessionStorage.removeItem(TOKEN_KEY);
      updateButtons();
      $("token-note").textContent = "the token was refused: paste it again";
      note.textContent = "";
      return;
    }
    if (!response.ok) {
      note.textContent = `refused (${response.status})`;
      return;
    }
    const replies = await response.json();
    const error = replies.find((r) => r.type === "error");
    note.textContent = error ? error.error : `${cmd}: done`;
    askStatus();
  }

  $("token-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const value = $("token-input").value.trim();
    if (value === "") return;
    sessionStorage.setItem(TOKEN_KEY, value);
    $("token-input").value = "";
    $("token-note").textContent = "";
    updateButtons();
  });
  $("token-forget").addEventListener("click", () => {
    sessionStorage.removeItem(TOKEN_KEY);
    updateButtons();
  });

  updateButtons();
  connect();
})();
