// The page script, exactly as the launcher builds it, run in a sandboxed page
// whose network entry points and document are recording stand-ins.
import { test } from "node:test";
import assert from "node:assert/strict";
import vm from "node:vm";
import path from "node:path";
import { spawnSync } from "node:child_process";
import { fileURLToPath } from "node:url";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const tool =
  process.env.VORLIA_PRINT_BRIDGE_SCRIPT ?? path.join(root, "build/tools/print-bridge-script");

const HOST = "play.vorlia.example";
const VERSION = "2.4.1";
const TOKEN = "481500.0123456789abcdef0123456789abcdef";
const LATER = "481501.fedcba9876543210fedcba9876543210";
const START = `https://${HOST}/act_web_tiyan/index.html?launcher=1`;

const scripts = new Map();
function bridgeScript(version = VERSION, token = TOKEN, host = HOST) {
  const key = JSON.stringify([version, token, host]);
  if (!scripts.has(key)) {
    const run = spawnSync(tool, [version, token, host], { encoding: "utf8" });
    assert.equal(run.status, 0, `${tool} ${key} failed: ${run.error ?? run.stderr}`);
    scripts.set(key, run.stdout);
  }
  return scripts.get(key);
}

// A page at `href` with stand-ins that record what reaches them.
function makePage(href = START) {
  const log = { fetch: [], requests: [], sockets: [], listeners: [] };

  function fetch(...args) {
    const call = { self: this, args };
    log.fetch.push(call);
    return call;
  }
  class Request {
    constructor(url, init = {}) {
      this.url = new URL(url, href).href;
      this.method = init.method ?? "GET";
      this.body = init.body ?? null;
      this.headers = new Headers(init.headers);
    }
  }
  class XMLHttpRequest {
    constructor() {
      this.opened = null;
      this.headers = [];
      this.sent = null;
      log.requests.push(this);
    }
    open(...args) {
      this.opened = args;
      this.headers = [];
      return "open result";
    }
    setRequestHeader(name, value) {
      this.headers.push([name, value]);
    }
    send(...args) {
      this.sent = { args, headers: [...this.headers] };
      return "send result";
    }
  }
  class WebSocket {
    constructor(...args) {
      this.args = args;
      log.sockets.push(this);
    }
    send() {}
    close() {}
  }
  Object.assign(WebSocket, { CONNECTING: 0, OPEN: 1, CLOSING: 2, CLOSED: 3 });

  const document = new EventTarget();
  const addEventListener = document.addEventListener.bind(document);
  document.addEventListener = (type, listener, options) => {
    log.listeners.push({ type, capture: options === true || options?.capture === true });
    addEventListener(type, listener, options);
  };

  const context = vm.createContext({
    URL,
    Headers,
    Request,
    fetch,
    XMLHttpRequest,
    WebSocket,
    document,
    location: { href },
  });
  vm.runInContext("globalThis.window = globalThis;", context);
  const originals = { fetch, open: XMLHttpRequest.prototype.open, send: XMLHttpRequest.prototype.send, WebSocket };
  return {
    log,
    originals,
    context,
    run: (code) => vm.runInContext(code, context),
    load(script = bridgeScript()) {
      vm.runInContext(script, context);
      return this;
    },
  };
}

const js = JSON.stringify;

test("publishes the launcher version and the token as page globals", () => {
  const page = makePage().load();
  assert.equal(page.run("window.__vrlLauncher"), VERSION);
  assert.equal(page.run("window.__vrlTok"), TOKEN);
  assert.equal(page.run("typeof HOST"), "undefined", "the host stays private to the script");
});

test("gated fetches go to https on the default port under /g with the current token", () => {
  const cases = [
    ["http, port 8080, upper-case extension, query", js(`http://${HOST}:8080/act_web_tiyan/res/a.SWF?v=3`), `https://${HOST}/g/act_web_tiyan/res/a.SWF?v=3`],
    ["relative to the start page", js("res/b.dat"), `https://${HOST}/g/act_web_tiyan/res/b.dat`],
    ["absolute path with fragment", js("/act_web_tiyan/x/y.Dat#part"), `https://${HOST}/g/act_web_tiyan/x/y.Dat#part`],
    ["URL object", `new URL(${js(`https://${HOST}/act_web_tiyan/a.swf`)})`, `https://${HOST}/g/act_web_tiyan/a.swf`],
    ["Request", `new Request("/act_web_tiyan/a.swf")`, `https://${HOST}/g/act_web_tiyan/a.swf`],
  ];
  for (const [name, input, expected] of cases) {
    const page = makePage().load();
    const result = page.run(`fetch(${input})`);
    assert.equal(page.log.fetch.length, 1, name);
    const [call] = page.log.fetch;
    assert.equal(result, call, `${name}: the page's own fetch answers`);
    assert.equal(call.args.length, 2, name);
    assert.equal(call.args[0], expected, name);
    assert.equal(call.args[1].headers.get("X-VRL-T"), TOKEN, name);
  }
});

test("other fetches reach the page's own fetch exactly as made, without the token", () => {
  const inputs = [
    ["not an asset type", js("/act_web_tiyan/res/c.png")],
    ["outside the asset folder", js("/other/a.swf")],
    ["a sub-domain of the game host", js(`https://cdn.${HOST}/act_web_tiyan/a.swf`)],
    ["a host that merely starts with the game host", js(`https://${HOST}.evil.test/act_web_tiyan/a.swf`)],
    ["extension not at the end", js("/act_web_tiyan/a.swf.bak")],
    ["folder in other letter case", js("/ACT_WEB_TIYAN/a.swf")],
    ["another host", js("https://other.example.test/act_web_tiyan/a.swf")],
    ["already gated", js("/g/act_web_tiyan/a.swf")],
    ["an address that does not parse", js("http://[/act_web_tiyan/a.swf")],
    ["ungated Request", `new Request("/act_web_tiyan/c.png", { headers: { A: "1" } })`],
  ];
  for (const [name, input] of inputs) {
    const page = makePage().load();
    page.run(`var input = ${input}, init = { method: "POST", headers: { B: "2" } };
              var result = fetch(input, init);`);
    const [call] = page.log.fetch;
    assert.equal(page.log.fetch.length, 1, name);
    assert.equal(page.run("result"), call, name);
    assert.equal(call.args.length, 2, name);
    assert.equal(call.args[0], page.run("input"), `${name}: same input`);
    assert.equal(call.args[1], page.run("init"), `${name}: same init`);
    assert.equal(page.run("JSON.stringify(init)"), '{"method":"POST","headers":{"B":"2"}}', name);
  }

  const page = makePage().load();
  page.run("fetch()");
  assert.equal(page.log.fetch[0].args.length, 0, "a fetch without arguments passes as it is");
});

test("fetch keeps the page's this", () => {
  const page = makePage().load();
  page.run("var holder = { fetch: window.fetch }; holder.fetch('res/a.swf'); holder.fetch('res/a.png');");
  const holder = page.run("holder");
  assert.equal(page.log.fetch[0].self, holder);
  assert.equal(page.log.fetch[1].self, holder);
});

test("a gated fetch takes its headers from init before the Request, and the Request's method and body stay behind", () => {
  const cases = [
    {
      name: "init headers win over the Request's",
      code: `fetch(new Request("/act_web_tiyan/a.swf", { method: "POST", body: "x", headers: { "X-From-Request": "1" } }),
                   { headers: { "X-From-Init": "2" }, cache: "no-store" })`,
      present: { "x-from-init": "2", "x-vrl-t": TOKEN },
      absent: ["x-from-request"],
      init: { cache: "no-store" },
    },
    {
      name: "the Request's headers when init has none",
      code: `fetch(new Request("/act_web_tiyan/a.swf", { method: "PUT", body: "x", headers: { "X-From-Request": "1" } }),
                   { mode: "cors" })`,
      present: { "x-from-request": "1", "x-vrl-t": TOKEN },
      absent: [],
      init: { mode: "cors" },
    },
    {
      name: "a token header set by the page is replaced",
      code: `fetch("res/a.dat", { headers: [["X-VRL-T", "forged"], ["Accept", "*/*"]] })`,
      present: { "x-vrl-t": TOKEN, accept: "*/*" },
      absent: [],
      init: {},
    },
  ];
  for (const { name, code, present, absent, init } of cases) {
    const page = makePage().load();
    page.run(code);
    const [call] = page.log.fetch;
    assert.equal(typeof call.args[0], "string", name);
    const sent = call.args[1];
    assert.deepEqual(Object.keys(sent).sort(), [...Object.keys(init), "headers"].sort(), name);
    for (const [key, value] of Object.entries(init)) assert.equal(sent[key], value, name);
    assert.deepEqual(Object.fromEntries(sent.headers), present, name);
    for (const header of absent) assert.equal(sent.headers.has(header), false, name);
  }
});

test("a gated fetch leaves the page's init untouched", () => {
  const page = makePage().load();
  page.run(`var init = { headers: { A: "1" } }; fetch("res/a.swf", init);`);
  assert.equal(page.run("JSON.stringify(init)"), '{"headers":{"A":"1"}}');
  assert.notEqual(page.log.fetch[0].args[1], page.run("init"));
});

test("requests carry the token of the moment they are made", () => {
  const page = makePage().load();
  page.run(`window.__vrlTok = ${js(LATER)};
            fetch("res/a.swf");
            var x = new XMLHttpRequest(); x.open("GET", "res/a.swf");
            window.__vrlTok = ${js(TOKEN)};
            x.send();
            window.__vrlTok = ${js(LATER)};
            new WebSocket("/ws/game");`);
  assert.equal(page.log.fetch[0].args[1].headers.get("X-VRL-T"), LATER);
  assert.deepEqual(page.log.requests[0].sent.headers, [["X-VRL-T", TOKEN]], "XHR: the token at send, not at open");
  assert.equal(page.log.sockets[0].args[0], `wss://${HOST}/g/ws/game?t=${LATER}`);
});

test("XMLHttpRequest: gated per the last open, token header at send", () => {
  const gatedURL = `https://${HOST}/g/act_web_tiyan/a.swf`;
  const cases = [
    ["gated", [`["GET", "res/../a.swf"]`], ["GET", gatedURL], true],
    ["not gated", [`["GET", "a.png"]`], ["GET", "a.png"], false],
    ["gated, then opened again ungated", [`["GET", "a.swf"]`, `["GET", "/other/a.swf"]`], ["GET", "/other/a.swf"], false],
    ["ungated, then opened again gated", [`["GET", "/other/a.swf"]`, `["GET", "a.swf"]`], ["GET", gatedURL], true],
    [
      "every further argument passed on",
      [`["POST", "http://${HOST}:8080/act_web_tiyan/a.swf?q=1", false, "user", "secret"]`],
      ["POST", `https://${HOST}/g/act_web_tiyan/a.swf?q=1`, false, "user", "secret"],
      true,
    ],
  ];
  for (const [name, opens, opened, isGated] of cases) {
    const page = makePage().load();
    page.run(`var x = new XMLHttpRequest(), results = [];
              for (const args of [${opens.join(",")}]) results.push(x.open(...args));
              results.push(x.setRequestHeader("Accept", "*/*"), x.send("body"));`);
    const [request] = page.log.requests;
    assert.deepEqual([...request.opened], opened, name);
    assert.equal(page.run("x.__vrlG"), isGated, name);
    assert.deepEqual([...request.sent.args], ["body"], name);
    const expectedHeaders = isGated ? [["Accept", "*/*"], ["X-VRL-T", TOKEN]] : [["Accept", "*/*"]];
    assert.deepEqual(request.sent.headers, expectedHeaders, name);
    assert.equal(page.run("results.at(-1)"), "send result", name);
    assert.equal(page.run("results[0]"), "open result", name);
  }
});

test("WebSocket: the game socket goes to wss /g/ws/game with t, everything else exactly as passed", () => {
  const cases = [
    ["ws, port 9000, other parameter kept", js(`ws://${HOST}:9000/ws/game?room=1`), `wss://${HOST}/g/ws/game?room=1&t=${TOKEN}`],
    ["an existing t replaced", js(`wss://${HOST}/ws/game?t=old&room=1`), `wss://${HOST}/g/ws/game?t=${TOKEN}&room=1`],
    ["relative to the page", js("/ws/game"), `wss://${HOST}/g/ws/game?t=${TOKEN}`],
    ["URL object", `new URL(${js(`ws://${HOST}/ws/game`)})`, `wss://${HOST}/g/ws/game?t=${TOKEN}`],
    ["trailing slash", js("/ws/game/"), "/ws/game/"],
    ["already gated", js("/g/ws/game"), "/g/ws/game"],
    ["a sub-domain", js(`ws://cdn.${HOST}/ws/game`), `ws://cdn.${HOST}/ws/game`],
    ["another host", js("ws://other.example.test/ws/game"), "ws://other.example.test/ws/game"],
    ["does not parse", js("ws://[/ws/game"), "ws://[/ws/game"],
  ];
  for (const [name, url, expected] of cases) {
    const page = makePage().load();
    page.run(`var u = ${url}; var socket = new WebSocket(u);`);
    const [socket] = page.log.sockets;
    assert.equal(page.run("socket"), socket, name);
    assert.deepEqual([...socket.args], [expected], name);
  }
  const page = makePage().load();
  page.run(`var u = new URL("ws://other.example.test/ws/game"); new WebSocket(u);`);
  assert.equal(page.log.sockets[0].args[0], page.run("u"), "an unmatched URL object passes itself");
});

test("WebSocket: protocols passed on, with or without new, still a WebSocket", () => {
  const gatedURL = `wss://${HOST}/g/ws/game?t=${TOKEN}`;
  const cases = [
    ["new, no protocols", `new WebSocket("/ws/game")`, [gatedURL]],
    ["new, undefined protocols", `new WebSocket("/ws/game", undefined)`, [gatedURL]],
    ["new, one protocol", `new WebSocket("/ws/game", "game")`, [gatedURL, "game"]],
    ["new, protocol list", `new WebSocket("/ws/game", ["a", "b"])`, [gatedURL, ["a", "b"]]],
    ["called without new", `WebSocket("/ws/game")`, [gatedURL]],
    ["without new, with protocols", `WebSocket("/ws/game", "game")`, [gatedURL, "game"]],
  ];
  for (const [name, code, args] of cases) {
    const page = makePage().load();
    page.run(`var socket = ${code};`);
    const [socket] = page.log.sockets;
    assert.equal(page.run("socket"), socket, name);
    assert.deepEqual(JSON.parse(JSON.stringify(socket.args)), args, name);
    assert.equal(page.run("socket instanceof WebSocket"), true, name);
    assert.equal(socket instanceof page.originals.WebSocket, true, name);
  }
  const page = makePage().load();
  assert.equal(page.run("[WebSocket.CONNECTING, WebSocket.OPEN, WebSocket.CLOSING, WebSocket.CLOSED].join()"), "0,1,2,3");
  assert.equal(page.run("WebSocket.prototype"), page.originals.WebSocket.prototype);
  assert.notEqual(page.run("WebSocket"), page.originals.WebSocket);
});

test("a second run in the same document changes nothing", () => {
  const page = makePage().load();
  const before = page.run("[window.fetch, XMLHttpRequest.prototype.open, XMLHttpRequest.prototype.send, window.WebSocket]");
  const listeners = page.log.listeners.length;
  page.load(bridgeScript("9.9.9", LATER));
  assert.equal(page.run("window.__vrlLauncher"), VERSION);
  assert.equal(page.run("window.__vrlTok"), TOKEN);
  const after = page.run("[window.fetch, XMLHttpRequest.prototype.open, XMLHttpRequest.prototype.send, window.WebSocket]");
  after.forEach((entry, i) => assert.equal(entry, before[i]));
  assert.equal(page.log.listeners.length, listeners);

  page.run(`fetch("a.swf"); var x = new XMLHttpRequest(); x.open("GET", "a.swf"); x.send();`);
  assert.equal(page.log.fetch[0].args[0], `https://${HOST}/g/act_web_tiyan/a.swf`);
  assert.deepEqual(page.log.requests[0].sent.headers, [["X-VRL-T", TOKEN]]);
});

test("context menus and drags are cancelled in the capture phase; other events are not", () => {
  const page = makePage().load();
  assert.deepEqual(
    page.log.listeners.map(({ type, capture }) => [type, capture]),
    [["contextmenu", true], ["dragstart", true]],
  );
  for (const [type, cancelled] of [["contextmenu", true], ["dragstart", true], ["click", false], ["drop", false]]) {
    const event = new Event(type, { cancelable: true });
    page.context.document.dispatchEvent(event);
    assert.equal(event.defaultPrevented, cancelled, type);
  }
});

test("in a sub-frame, relative addresses resolve against that frame's address", () => {
  const page = makePage(`https://${HOST}/act_web_tiyan/frames/inner.html`).load();
  page.run(`fetch("assets/a.swf"); new WebSocket("../../ws/game");`);
  assert.equal(page.log.fetch[0].args[0], `https://${HOST}/g/act_web_tiyan/frames/assets/a.swf`);
  assert.equal(page.log.sockets[0].args[0], `wss://${HOST}/g/ws/game?t=${TOKEN}`);
});

test("any version text gives a script that runs and publishes that exact version", () => {
  const versions = [
    "1.0",
    "",
    "2.4.1-beta+7",
    'quote"d',
    "back\\slash",
    "ends with a backslash\\",
    "line\nbreak",
    "carriage\rreturn",
    "tab\tand\u0001control\u001f",
    "line\u2028and\u2029paragraph separators",
    "ünïcödé ✓",
    '";alert(1);//',
    "</script><script>",
    "${template}`",
  ];
  for (const version of versions) {
    const page = makePage().load(bridgeScript(version));
    assert.equal(page.run("window.__vrlLauncher"), version, js(version));
    page.run(`fetch("a.swf")`);
    assert.equal(page.log.fetch[0].args[0], `https://${HOST}/g/act_web_tiyan/a.swf`, js(version));
  }
});

test("ordinary versions stand in the script exactly as they are", () => {
  for (const version of ["1.0", "2.4.1", "10.0.3-beta.2+build7", "1.0 (42)"]) {
    assert.ok(bridgeScript(version).includes(`\n  window.__vrlLauncher = "${version}";\n`), version);
  }
});
