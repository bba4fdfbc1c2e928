// The payment page's logic: one WebSocket to notavero-serve, which pushes
// the validators' events and takes this page's decisions.  The page outlives
// the service: when the connection drops (the service restarts, the kiosk's
// network hiccups) it connects again, with a growing pause, and the service
// replays what the page has not credited yet.
"use strict";

// How the page gets its token: the kiosk's launcher (kiosk-browser.sh) reads
// the service's token file and opens this page with the token in the URL's
// fragment (#token=...), which the browser never sends to any server.  The
// page keeps it for the tab's life and takes it out of the address bar.
const fragment = new URLSearchParams(location.hash.slice(1));
if (fragment.has("token")) {
  sessionStorage.token = fragment.get("token");
  history.replaceState(null, "", location.pathname + location.search);
}
const TOKEN = sessionStorage.token;

const price = Number(new URLSearchParams(location.search).get("price") || 100);
let paid = 0;
const show = (id, text) => { document.getElementById(id).textContent = text; };
show("price", price);

// What the customer reads, from the validator's state (the low byte of its
// status word) and link: plain words, never the driver's own text.
let link = "unknown", word = -1, pause = 500;
const CANNOT_TAKE = [0x41, 0x42, 0x43, 0x44, 0x45, 0x47];  // full, no cassette, jams, fraud block, failure
function tell() {
  const state = word & 0xFF;
  if (paid >= price) show("message", `Thank you; change due ${paid - price}`);
  else if (link !== "online") show("message", "The bill acceptor is not available at the moment; please wait");
  else if (CANNOT_TAKE.includes(state)) show("message", "The bill acceptor cannot take bills now; please call staff");
  else if (state === 0x1C) show("message", "That bill was not accepted; please try another");
  else if (state === 0x14 || state === 0x15) show("message", "Insert a bill");
  else show("message", "Please wait");
}
function follow(m) {  // a state, link or status message of the validator
  if (m.link) link = m.link;
  if (m.word !== undefined) word = m.word;
  if (m.state) show("state", m.state);
  if (m.text !== undefined) document.getElementById("state").title = m.text;  // the driver's text, for staff
  tell();
}

// Amounts come in 1/10000 currency units: 1000000 is a 100 note.
let ws, send;
function connect() {
  ws = new WebSocket(`ws://${location.host}/v1/ws`), send = (m) => ws.send(JSON.stringify(m));
  ws.onopen = () => {
    // lastId: the newest bill this kiosk has credited, of the journal it came
    // from; on a reconnect the service replays every event after it (or every
    // event of a journal that replaced that one), so nothing stacked is missed.
    const hello = {cmd: "hello", token: TOKEN};
    if (localStorage.lastId) Object.assign(hello, {since: Number(localStorage.lastId), journal: localStorage.journal});
    send(hello);
    send({cmd: paid < price ? "enable" : "disable"});
  };
  ws.onmessage = ({data}) => {
    const m = JSON.parse(data);
    if (m.type === "ok" && m.cmd === "hello") pause = 500;  // connected: the next drop starts short again
    if (m.type === "state" || m.type === "link" || m.type === "status") follow(m);
    if (m.type === "escrow" && !m.decision) send({cmd: paid < price ? "stack" : "return", id: m.id});
    if (m.type === "stacked") {
      if (m.journal !== localStorage.journal) {  // another journal: its ids start again
        localStorage.journal = m.journal;
        localStorage.lastId = 0;
      }
      if (m.id > Number(localStorage.lastId || 0)) {  // credit each bill once, by its journal and id
        paid += m.amount / 10000;
        localStorage.lastId = m.id;
        show("paid", paid);
      }
      send({cmd: "ack", id: m.id});  // credited: the service stops offering it again
      if (paid >= price) send({cmd: "disable"});
      tell();
    }
    if (m.type === "error") show("message", `Service error: ${m.error}`);
  };
  ws.onclose = () => {
    link = "unknown";
    show("message", "Reconnecting to the payment service…");
    setTimeout(connect, pause);
    pause = Math.min(pause * 2, 8000);
  };
}
connect();
