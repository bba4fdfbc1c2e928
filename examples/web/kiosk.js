// The payment page's logic: one WebSocket to notavero-serve, which pushes
// the validators' events and takes this page's decisions.
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

// Amounts come in 1/10000 currency units: 1000000 is a 100 note.
const ws = new WebSocket(`ws://${location.host}/v1/ws`), send = (m) => ws.send(JSON.stringify(m));
ws.onopen = () => {
  // lastId: the newest bill this kiosk has credited, of the journal it came
  // from; on a reconnect the service replays every event after it (or every
  // event of a journal that replaced that one), so nothing stacked is missed.
  const hello = {cmd: "hello", token: TOKEN};
  if (localStorage.lastId) Object.assign(hello, {since: Number(localStorage.lastId), journal: localStorage.journal});
  send(hello);
  send({cmd: "enable"});
  show("message", "Insert a bill");
};
ws.onmessage = ({data}) => {
  const m = JSON.parse(data);
  if (m.type === "state") show("state", `${m.state} (${m.text})`);
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
    if (paid >= price) {
      send({cmd: "disable"});
      show("message", `Thank you; change due ${paid - price}`);
    }
  }
  if (m.type === "error") show("message", `Service error: ${m.error}`);
};
ws.onclose = () => show("message", "The payment service is not reachable");
